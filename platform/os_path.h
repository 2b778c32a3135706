// The platform root and the translation of Windows path texts.
//
// Everything that is a named object or a machine-wide setting on Windows lives
// under one folder, the platform root: $PLATFORM_ROOT, or /var/lib/tnwell/platform
// when unset. The root is read once per process and created on first use.
//
// Translation (only at the file-system calls; the system keeps Windows texts):
//   "C:\a\b"            -> ROOT/drives/c/a/b          (drive letter lower-cased)
//   "\\H\S\a"           -> ROOT/hosts/H/shares/S/a    (H is "." for this computer)
//   "\\.\COM3:"         -> ROOT/dev/COM3
//   "\\.\mailslot\X"    -> ROOT/kernel/mailslot/X
//   "\\H\pipe\X"        -> ROOT/hosts/H/pipe/X        (H "." or this computer's name -> ".")
//   "\a\b"              -> ROOT/drives/c/a/b          (root of the current drive: C)
//   "/a/b"              -> /a/b                       (a Linux path passes unchanged)
//   "a\b", "..\b"       -> a/b, ../b                  (relative to the working folder)
// Every '\' becomes '/'. When a component does not exist with its exact name,
// an existing entry that matches it case-insensitively is used instead.
#pragma once
#include <cstddef>

// The platform root folder (no trailing '/'). Never NULL.
const char *os_Root(void);

// Forgets the cached root so that the next os_Root reads $PLATFORM_ROOT again.
// For tests only.
void os_ResetRootForTests(void);

// Translates `path` into a Linux path in `out` (size bytes).
// Returns 0, or -1 with OS_ERROR_FILENAME_EXCED_RANGE (too long) or
// OS_ERROR_INVALID_NAME (empty or malformed).
int os_TranslatePath(const char *path, char *out, size_t size);

// Kernel object name ("Global\dm_device") -> ROOT/kernel/Global/dm_device.
// Returns 0 or -1 (OS_ERROR_INVALID_NAME, OS_ERROR_FILENAME_EXCED_RANGE).
int os_ObjectPath(const char *name, char *out, size_t size);

// Creates every missing folder of a Linux path (like mkdir -p). 0 or -1.
int os_MakeFolders(const char *linuxPath);


// The entry of folder `dir` (a Linux path) named `name`, or else one whose
// name matches it ignoring case; its name goes to `out`. 0, or -1
// (OS_ERROR_FILE_NOT_FOUND, OS_ERROR_FILENAME_EXCED_RANGE).
int os_FindEntryCaseless(const char *dir, const char *name, char *out, size_t size);
