// File-system calls on Windows path texts.
//
// Each call translates its path (os_TranslatePath) and then behaves as the
// Windows call the system relies on:
//   - a move never replaces an existing file;
//   - deleting a read-only file fails with OS_ERROR_ACCESS_DENIED;
//   - byte-range locks are open-file-description locks, so closing another
//     descriptor of the same file keeps them;
//   - directory listings come sorted by name; file times are UTC.
// Failures return -1 (or NULL) with the Windows code in last error and errno.
#pragma once
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

int os_Open(const char *path, int flags, int mode);  // open(2): a descriptor or -1
FILE *os_FOpen(const char *path, const char *mode);  // fopen(3)
int os_Stat(const char *path, struct stat *st);
int os_Access(const char *path, int amode);          // access(2): 0 or -1
int os_MakeDirectory(const char *path);              // one level; exists -> -1 (183)
int os_RemoveDirectory(const char *path);
int os_DeleteFile(const char *path);                 // read-only -> -1 (5)
int os_MoveFile(const char *from, const char *to);   // existing target -> -1 (183)
int os_CopyFile(const char *from, const char *to, bool failIfExists);
int os_SetCurrentDirectory(const char *path);
// The working folder as a Linux path. 0 or -1.
int os_GetCurrentDirectory(char *out, size_t size);

// Lists the names in a folder (without "." and ".."), sorted by name (bytewise).
// Calls fn(name, isDir, ctx) for each; a nonzero result stops the walk and is
// returned. -1 when the folder cannot be read.
typedef int (*OsDirEntryFn)(const char *name, bool isDir, void *ctx);
int os_ListDirectory(const char *path, OsDirEntryFn fn, void *ctx);

// Byte-range locks on a descriptor (open-file-description locks).
// exclusive: write lock, else read lock; wait: block until granted.
int os_LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive, bool wait);
int os_UnlockRange(int fd, uint64_t offset, uint64_t length);
