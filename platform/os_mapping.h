// File mappings ("Global\N") and named mutexes.
//
// A mapping is a file of the mapping's size at ROOT/kernel/ + name (with '\'
// as folder separator), mapped MAP_SHARED. A named mutex is a process-shared,
// recursive, robust mutex in its own small file at ROOT/kernel/ + its name: a
// holder that dies leaves it usable, and the next wait acquires it with
// OS_WAIT_ABANDONED_0.
//
// Unlike Windows, names are not counted: a mapping or mutex stays until
// os_DeleteFileMapping / os_DeleteMutex, also after its last handle is closed,
// so probe with the Open calls, which never create.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/os_handle.h"

// Creates a mapping of `size` bytes, zero-filled, or opens an existing one
// (then last error is OS_ERROR_ALREADY_EXISTS and the handle is returned).
OsHandle os_CreateFileMapping(const char *name, uint64_t size, const OsSecurityAttributes *sa);
// Opens an existing mapping; never creates (OS_ERROR_FILE_NOT_FOUND).
OsHandle os_OpenFileMapping(const char *name);
// The mapping's real size in bytes.
uint64_t os_MappingSize(OsHandle h);
// Maps `size` bytes from the start (0: the whole mapping). A size beyond the
// mapping's real size fails with OS_ERROR_INVALID_PARAMETER (never SIGBUS).
void *os_MapViewOfFile(OsHandle h, size_t size);
int os_UnmapViewOfFile(void *view);
// Removes a mapping's name (the creator does this when the world ends).
int os_DeleteFileMapping(const char *name);

// Named mutexes.
// Creates (or opens, last error OS_ERROR_ALREADY_EXISTS) the mutex; with
// initialOwner the calling thread holds it when it was newly created.
OsHandle os_CreateMutex(const char *name, bool initialOwner, const OsSecurityAttributes *sa);
OsHandle os_OpenMutex(const char *name);  // OS_ERROR_FILE_NOT_FOUND when missing
// OS_WAIT_OBJECT_0, OS_WAIT_ABANDONED_0 (acquired from a dead holder),
// OS_WAIT_TIMEOUT or OS_WAIT_FAILED. Recursive per thread.
uint32_t os_WaitMutex(OsHandle h, uint32_t ms);
int os_ReleaseMutex(OsHandle h);  // -1 with OS_ERROR_NOT_OWNER when not held
int os_DeleteMutex(const char *name);
