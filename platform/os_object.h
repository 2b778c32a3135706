// Handle objects: what the platform's own source files share about them.
//
// Every handle is an OsObject: a kind (a small table of operations), the
// descriptor that a wait polls (or that reads and writes use), and the kind's
// own state. A new kind (a COM port, a named pipe) is a new OsKind plus, when
// os_CreateFile opens it by path, one row in the opener table of os_io.cpp.
// A handle must not be closed while another thread still uses it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/os_handle.h"

struct OsKind {
  const char *name;
  // os_ReadFile / os_WriteFile; NULL when the kind does not support them.
  int (*read)(OsObject *o, void *buf, uint32_t n, uint32_t *got);
  int (*write)(OsObject *o, const void *buf, uint32_t n, uint32_t *written);
  // A wait found the descriptor readable: take the signal. False when another
  // waiter took it first (an auto-reset event). NULL: not waitable by poll.
  bool (*claim)(OsObject *o);
  // A single-handle wait of its own (named mutexes); NULL: poll and claim.
  uint32_t (*waitOne)(OsObject *o, uint32_t ms);
  // Releases the kind's state and descriptor.
  void (*close)(OsObject *o);
};

struct OsObject {
  const OsKind *kind;
  int fd;  // -1 when the kind has none
  void *state;
};

// Makes and registers a handle. NULL (OS_ERROR_NOT_ENOUGH_MEMORY) on failure;
// the caller then still owns fd and state.
OsHandle os_NewHandle(const OsKind *kind, int fd, void *state);
// The object of a live handle, when `kind` is NULL or matches; otherwise NULL
// with OS_ERROR_INVALID_HANDLE.
OsObject *os_CheckHandle(OsHandle h, const OsKind *kind);

// Milliseconds left until a monotonic deadline (OS_INFINITE stays OS_INFINITE).
uint64_t os_MonotonicMs(void);
int os_PollTimeout(uint64_t deadline);  // -1 for no deadline, else >= 0
uint64_t os_Deadline(uint32_t ms);      // UINT64_MAX for OS_INFINITE

// Writes all n bytes to the object's descriptor (retrying short writes):
// the write operation of every kind that is a plain descriptor.
int os_WriteDescriptor(OsObject *o, const void *buf, uint32_t n, uint32_t *written);

// Kinds that os_CreateFile opens by path.
extern const OsKind g_osFileKind;
// Openers take the translated path and os_CreateFile's other arguments.
OsHandle os_OpenMailslotWriter(const char *linuxPath, uint32_t access, uint32_t share, uint32_t disposition,
                               uint32_t flags);
// Serial ports (ROOT/dev/COMn): a port opened without sharing is exclusive.
OsHandle os_OpenSerialPort(const char *linuxPath, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags);

// Serialises every read and change of the process environment.
void os_LockEnvironment(void);
void os_UnlockEnvironment(void);

// Kernel-object files (mappings, mutexes): a file of `size` bytes at `path` is
// made unless one exists. A private file is sized, prepared and then linked
// into place, so the name appears only complete and of two creators exactly
// one creates. Returns an O_RDWR descriptor with *created, or -1.
struct OsObjectFileInit {
  bool (*prepare)(int fd, void *ctx);  // false: give up (last error set)
  void (*discard)(void *ctx);          // undoes prepare when another creator won
  void *ctx;
};
int os_CreateObjectFile(const char *path, uint64_t size, const OsObjectFileInit *init, bool *created);
