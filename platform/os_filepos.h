// Size and position of an open file handle (os_CreateFile), as
// GetFileSizeEx and SetFilePointerEx: 64-bit, 0 or -1 with the last error.
#pragma once
#include <cstdint>

#include "platform/os_handle.h"

enum : uint32_t { OS_FILE_BEGIN = 0, OS_FILE_CURRENT = 1, OS_FILE_END = 2 };

int os_GetFileSizeEx(OsHandle h, int64_t *size);
int os_SetFilePointerEx(OsHandle h, int64_t distance, int64_t *newPosition, uint32_t method);

// Creation, last-access and last-write times of an open file, in 100 ns
// units since 1601 (FILETIME). 0 or -1.
int os_GetFileTimes(OsHandle h, uint64_t times[3]);
