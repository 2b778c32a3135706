// Kernel handles: events, threads, processes, waits on several handles, and
// the critical section.
//
// A handle is an in-process object; it never crosses a process boundary.
// Waitable handles (events, threads, processes) can be mixed in one wait.
// Calls return NULL / -1 on failure with the Windows code in last error and errno.
#pragma once
#include <cstdint>
#include <pthread.h>

typedef struct OsObject *OsHandle;

enum : uint32_t {
  OS_INFINITE = 0xFFFFFFFFu,
  OS_WAIT_OBJECT_0 = 0,
  OS_WAIT_ABANDONED_0 = 0x80,
  OS_WAIT_TIMEOUT = 258,
  OS_WAIT_FAILED = 0xFFFFFFFFu,
  OS_STILL_ACTIVE = 259,
  OS_MAXIMUM_WAIT_OBJECTS = 64,
};

// Security attributes as the system passes them; the stand-in grants everyone
// access whatever they say.
struct OsSecurityAttributes {
  uint32_t length;
  void *descriptor;
  int inheritHandle;
};

// Closes any handle. 0, or -1 (OS_ERROR_INVALID_HANDLE).
int os_CloseHandle(OsHandle h);

// Waits until one of n handles (1..OS_MAXIMUM_WAIT_OBJECTS) is signalled.
// A named mutex (os_mapping.h) can be waited for alone (as os_WaitMutex), not
// among other handles (OS_WAIT_FAILED, OS_ERROR_INVALID_HANDLE).
// Returns OS_WAIT_OBJECT_0 + index of the first signalled handle (an
// auto-reset event is consumed by the wait that returns it), OS_WAIT_TIMEOUT,
// or OS_WAIT_FAILED. ms = OS_INFINITE waits for ever.
uint32_t os_WaitForMultipleObjects(uint32_t n, const OsHandle *handles, uint32_t ms);
uint32_t os_WaitForSingleObject(OsHandle h, uint32_t ms);

// Events. A manual-reset event stays signalled until reset; an auto-reset
// event releases one wait and resets itself.
OsHandle os_CreateEvent(bool manualReset, bool initialState);
int os_SetEvent(OsHandle h);
int os_ResetEvent(OsHandle h);

// Threads. The handle is signalled when the thread has returned.
typedef uint32_t (*OsThreadProc)(void *arg);
OsHandle os_CreateThread(OsThreadProc fn, void *arg, uint32_t *threadId);
int os_GetExitCodeThread(OsHandle h, uint32_t *code);  // OS_STILL_ACTIVE while running
uint32_t os_GetCurrentThreadId(void);

// Processes. `commandLine` is split as Windows splits a command line (quotes,
// backslashes); the program is looked up in the folders of PATH when it has no
// '/' or '\' (a Windows path is translated); a name ending in ".exe" is also
// tried without it. The handle is signalled when the process has ended; the
// process outlives its handle. A process ended by a signal exits with 128 +
// the signal, one ended by os_TerminateProcess with the code given there.
// Not found: OS_ERROR_FILE_NOT_FOUND.
OsHandle os_CreateProcess(const char *commandLine, uint32_t *processId);
// Starts a program with an explicit argument vector (argv[0] is the program).
OsHandle os_CreateProcessArgv(const char *const *argv, uint32_t *processId);
int os_GetExitCodeProcess(OsHandle h, uint32_t *code);  // OS_STILL_ACTIVE while running
int os_TerminateProcess(OsHandle h, uint32_t code);
uint32_t os_GetCurrentProcessId(void);
// Closes the C runtime's descriptor 0, as a program ending on Windows lets go
// of its standard input: a parent writing to it sees the pipe closed at once,
// not only when the process is gone. 0 or -1.
int os_CloseStandardInput(void);
// Marks a socket that a library opened (given as its descriptor) as not
// inherited by programs started later, as SetHandleInformation clears
// HANDLE_FLAG_INHERIT. 0, or -1 (OS_ERROR_INVALID_HANDLE for no socket).
int os_SetSocketNotInheritable(int socket);
// Whether programs started now would inherit the socket: 1 yes, 0 no, -1
// when it is no open descriptor (OS_ERROR_INVALID_HANDLE).
int os_IsSocketInheritable(int socket);

// Priority classes.
enum : uint32_t {
  OS_NORMAL_PRIORITY_CLASS = 0x20,
  OS_HIGH_PRIORITY_CLASS = 0x80,
  OS_REALTIME_PRIORITY_CLASS = 0x100,
};
// Raises (or lowers) the own process's priority as far as the process may.
// Lack of privilege is not a refusal: Windows lowers the class silently.
// Returns 0, or -1 on a real failure (an unknown class: OS_ERROR_INVALID_PARAMETER).
int os_SetPriorityClass(uint32_t cls);

void os_Sleep(uint32_t ms);
// Milliseconds of a monotonic clock (wraps at 2^32).
uint32_t os_GetTickCount(void);

// Critical section: a recursive in-process lock.
struct OsCriticalSection {
  pthread_mutex_t mutex;
};
void os_InitializeCriticalSection(OsCriticalSection *cs);
void os_EnterCriticalSection(OsCriticalSection *cs);
bool os_TryEnterCriticalSection(OsCriticalSection *cs);
void os_LeaveCriticalSection(OsCriticalSection *cs);
void os_DeleteCriticalSection(OsCriticalSection *cs);
