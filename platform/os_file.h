// Files and folders by Windows path.
//
// Each call translates its path (os_TranslatePath) and then behaves as the
// Windows call the system relies on:
//   - a move never replaces an existing file;
//   - deleting a read-only file fails with OS_ERROR_ACCESS_DENIED;
//   - directory listings come sorted by name; file times are UTC.
//
// Files are handles (OsHandle), opened with os_CreateFile (os_io.h), read and
// written with os_ReadFile / os_WriteFile, closed with os_CloseHandle:
//   - access: OS_GENERIC_READ and/or OS_GENERIC_WRITE; OS_FILE_APPEND_DATA
//     without OS_GENERIC_WRITE sends every write to the end of the file in
//     one step, also when other processes append to it;
//   - share modes are accepted, not enforced: every opener may read and write;
//   - creation: OS_CREATE_NEW (an existing file: OS_ERROR_FILE_EXISTS),
//     OS_CREATE_ALWAYS (truncates), OS_OPEN_EXISTING, OS_OPEN_ALWAYS,
//     OS_TRUNCATE_EXISTING; a missing file OS_ERROR_FILE_NOT_FOUND, a missing
//     folder on creation OS_ERROR_PATH_NOT_FOUND;
//   - OS_FILE_FLAG_WRITE_THROUGH: each write returns once its data is on the
//     disk (O_DSYNC);
//   - a folder, a named pipe or a socket is no file (OS_ERROR_ACCESS_DENIED):
//     the open of a pipe would wait for its other end;
//   - the file pointer starts at 0 and moves with each read and write;
//     positions and sizes are 64-bit; a read at the end gets 0 bytes;
//   - byte-range locks belong to the handle (open-file-description locks):
//     closing another handle of the same file keeps them, closing this one
//     ends them; a range of length 0 conflicts with nothing;
//   - a file on which any open handle holds a byte lock cannot be moved or
//     deleted (OS_ERROR_SHARING_VIOLATION), as Windows refuses to move a file
//     its writer holds open.
// Failures return -1 (or NULL) with the Windows code in last error and errno.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/os_handle.h"

// Moves the file pointer: distance from the start, the current position or
// the end (OS_FILE_BEGIN, ...). *position (may be NULL) gets the new place.
// A place before the start: OS_ERROR_NEGATIVE_SEEK.
enum : uint32_t { OS_FILE_BEGIN = 0, OS_FILE_CURRENT = 1, OS_FILE_END = 2 };
int os_SetFilePointer(OsHandle file, int64_t distance, uint32_t method, uint64_t *position);
int os_GetFileSize(OsHandle file, uint64_t *size);
// Creation, last-access and last-write times of an open file, in 100 ns
// units since 1601 (FILETIME); Linux keeps no creation time, the status
// change time stands in.
int os_GetFileTimes(OsHandle file, uint64_t times[3]);
// Cuts or extends the file to the file pointer.
int os_SetEndOfFile(OsHandle file);
// Positioned reads and writes: at a 64-bit offset, the file pointer stays.
// 0 with *done set (a read at or past the end gets 0 bytes), or -1.
int os_ReadFileAt(OsHandle file, uint64_t offset, void *buf, uint32_t n, uint32_t *got);
int os_WriteFileAt(OsHandle file, uint64_t offset, const void *buf, uint32_t n, uint32_t *written);
// exclusive: no other handle may lock any byte of the range, else others may
// share it; wait: block until granted, else fail at once
// (OS_ERROR_LOCK_VIOLATION).
int os_LockFile(OsHandle file, uint64_t offset, uint64_t length, bool exclusive, bool wait);
int os_UnlockFile(OsHandle file, uint64_t offset, uint64_t length);

// What a path names. A name that is neither file nor folder (a device, a pipe)
// is OS_FILE_ATTRIBUTE_DEVICE.
enum : uint32_t {
  OS_FILE_ATTRIBUTE_READONLY = 0x01,
  OS_FILE_ATTRIBUTE_DIRECTORY = 0x10,
  OS_FILE_ATTRIBUTE_DEVICE = 0x40,
  OS_FILE_ATTRIBUTE_NORMAL = 0x80,
  OS_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu,
};
struct OsFileInfo {
  uint32_t attributes;
  uint64_t size;
  int64_t writeSeconds;  // last write, seconds since 1970 (UTC)
  uint32_t writeNanoseconds;
};
int os_GetFileInfo(const char *path, OsFileInfo *info);
// OS_INVALID_FILE_ATTRIBUTES (with the error) when there is nothing.
uint32_t os_GetFileAttributes(const char *path);
// Whether the process may use the path as `access` asks (OS_GENERIC_READ,
// _WRITE, _EXECUTE, _ALL; 0: whether it is there). 0 or -1.
int os_CheckAccess(const char *path, uint32_t access);
// Sets or clears the read-only attribute (OS_FILE_ATTRIBUTE_READONLY; the
// other bits are ignored, OS_FILE_ATTRIBUTE_NORMAL clears it).
int os_SetFileAttributes(const char *path, uint32_t attributes);

FILE *os_FOpen(const char *path, const char *mode);  // fopen(3)
int os_MakeDirectory(const char *path);              // one level; exists -> -1 (183)
int os_RemoveDirectory(const char *path);
int os_DeleteFile(const char *path);                 // read-only -> -1 (5)
// os_DeleteFile for each of `count` entries of one folder, named as its
// listing gives them (a name with '/', "." or ".." is refused, 123); the
// folder is resolved once. `readOnlyToo` deletes read-only files as if their
// attribute were cleared first. errors[i] is 0 or the error for names[i]. The
// number deleted (the last error: the first failure, else 0), or -1 when the
// folder cannot be opened.
int os_DeleteFilesIn(const char *folder, const char *const *names, size_t count, bool readOnlyToo, uint32_t *errors);
int os_MoveFile(const char *from, const char *to);   // existing target -> -1 (183)
int os_CopyFile(const char *from, const char *to, bool failIfExists);
// Puts `from` in the place of `to` in one step: a reader sees the old file or
// the new one, never none. A read-only or locked target is refused (5, 32);
// a missing target is created.
int os_ReplaceFile(const char *to, const char *from);
int os_SetCurrentDirectory(const char *path);
// The working folder as a Linux path. 0 or -1.
int os_GetCurrentDirectory(char *out, size_t size);

// Lists the names in a folder (without "." and ".."), sorted by name (bytewise).
// Calls fn(name, isDir, ctx) for each; a nonzero result stops the walk and is
// returned. -1 when the folder cannot be read.
typedef int (*OsDirEntryFn)(const char *name, bool isDir, void *ctx);
int os_ListDirectory(const char *path, OsDirEntryFn fn, void *ctx);
// The same names in the file system's own order, each given as it is read:
// for a reader that needs no order, in a folder of many thousand names.
int os_ScanDirectory(const char *path, OsDirEntryFn fn, void *ctx);
