// CreateFile / ReadFile / WriteFile over the handle kinds the system opens by
// a Windows path: plain files, the write side of a mailslot ("\\.\mailslot\X"),
// serial ports ("\\.\COMn:", os_serial.h), the console ("CONOUT$", os_debug.h).
#pragma once
#include <cstdint>
#include "platform/os_handle.h"

enum : uint32_t {
  // access rights
  OS_GENERIC_READ = 0x80000000u,
  OS_GENERIC_WRITE = 0x40000000u,
  OS_GENERIC_EXECUTE = 0x20000000u,
  OS_GENERIC_ALL = 0x10000000u,
  OS_FILE_APPEND_DATA = 0x0004u,  // files: every write goes to the end
  // share modes
  OS_FILE_SHARE_READ = 1,
  OS_FILE_SHARE_WRITE = 2,
  // dispositions
  OS_CREATE_NEW = 1,
  OS_CREATE_ALWAYS = 2,
  OS_OPEN_EXISTING = 3,
  OS_OPEN_ALWAYS = 4,
  OS_TRUNCATE_EXISTING = 5,
  // flags
  OS_FILE_FLAG_WRITE_THROUGH = 0x80000000u,  // files: a write returns once it is on the disk
};

// Opens a file or device by Windows path. NULL on failure (last error set;
// a missing mailslot or file gives OS_ERROR_FILE_NOT_FOUND). On success the
// last error is OS_ERROR_ALREADY_EXISTS when OS_CREATE_ALWAYS or
// OS_OPEN_ALWAYS found the file there, else 0. Share modes are accepted, not
// enforced; a folder cannot be opened (OS_ERROR_ACCESS_DENIED). What a file
// handle does besides reading and writing is in os_file.h.
OsHandle os_CreateFile(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags);

// Reads at most n bytes. For a mailslot: one whole message; a message longer
// than n fails with OS_ERROR_INSUFFICIENT_BUFFER and is discarded.
// 0 on success (with *got set), -1 on failure.
int os_ReadFile(OsHandle h, void *buf, uint32_t n, uint32_t *got);

// Writes n bytes. For a mailslot: one message; the writer blocks while the
// slot's queue is full, at most a bounded time (then OS_ERROR_SEM_TIMEOUT).
// 0 on success (with *written set), -1 on failure.
int os_WriteFile(OsHandle h, const void *buf, uint32_t n, uint32_t *written);

// The descriptor behind a handle, or -1 when it has none: for the platform's
// own tests and the Linux programs in tools/, never above the platform.
int os_HandleFd(OsHandle h);
