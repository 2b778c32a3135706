// Environment, names of this computer and user, dynamic loading, platform queries.
#pragma once
#include <cstdint>
#include <string>

// Environment variables; names match case-insensitively (as on Windows).
// Returns the length of the value, or the size needed (with terminator) when
// `size` is too small, or 0 with OS_ERROR_ENVVAR_NOT_FOUND.
uint32_t os_GetEnvironmentVariable(const char *name, char *buf, uint32_t size);
// The whole value, whatever its length. False when the variable is not set
// (last error and errno stay as they are).
bool os_GetEnvironmentText(const char *name, std::string *value);
// value NULL removes the variable. 0 or -1.
int os_SetEnvironmentVariable(const char *name, const char *value);

// This computer's name: gethostname, upper case, at most 15 characters.
// *size in: buffer size; out: the length (0), or the size needed with the
// terminator (-1, OS_ERROR_BUFFER_OVERFLOW).
int os_GetComputerName(char *buf, uint32_t *size);
const char *os_ComputerName(void);  // cached
// True for ".", "localhost", "127.0.0.1" and this computer's name, short or
// full (case-insensitive).
bool os_IsLocalHost(const char *host);
// The user's login name. *size in: buffer size, out: length + 1 (also when
// the buffer is too small: -1, OS_ERROR_INSUFFICIENT_BUFFER).
int os_GetUserName(char *buf, uint32_t *size);

// The Windows system folder ("C:\WINDOWS\system32"): its length, or the size
// needed with the terminator when `size` is too small.
uint32_t os_GetSystemDirectory(char *buf, uint32_t size);

// True when the process plays Windows 9x ($PLATFORM_WIN9X is "1"), so the
// framework's 9x branches can be exercised; the NT family otherwise.
bool os_IsWindows9x(void);

// Dynamic libraries. A name "X.dll" is looked for as "X.so", case-insensitively,
// in the program's folder, then the folders of LD_LIBRARY_PATH and PATH, then by
// the system loader's own rules; a name with a folder only in that folder.
// Opened RTLD_NOW | RTLD_LOCAL. Not found: OS_ERROR_MOD_NOT_FOUND; a file that
// is no loadable library: OS_ERROR_BAD_EXE_FORMAT; a missing symbol:
// OS_ERROR_PROC_NOT_FOUND.
typedef struct OsModule *OsModuleHandle;
OsModuleHandle os_LoadLibrary(const char *name);
void *os_GetProcAddress(OsModuleHandle m, const char *symbol);
int os_FreeLibrary(OsModuleHandle m);  // 0 or -1
// The full path of the running program (Linux form). Returns its length; a
// buffer too small gets it cut short and terminated, returns size and sets
// OS_ERROR_INSUFFICIENT_BUFFER.
uint32_t os_GetModuleFileName(char *buf, uint32_t size);
