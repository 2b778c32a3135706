#include "platform/os_filepos.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os_error.h"
#include "platform/os_io.h"

int os_GetFileSizeEx(OsHandle h, int64_t *size) {
  int fd = os_HandleFd(h);
  if (fd < 0 || !size) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return os_Fail(os_ErrorFromErrno(errno)), -1;
  *size = static_cast<int64_t>(st.st_size);
  return 0;
}

int os_SetFilePointerEx(OsHandle h, int64_t distance, int64_t *newPosition, uint32_t method) {
  int fd = os_HandleFd(h);
  if (fd < 0) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  int whence = method == OS_FILE_BEGIN ? SEEK_SET : method == OS_FILE_CURRENT ? SEEK_CUR : method == OS_FILE_END ? SEEK_END : -1;
  if (whence < 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  off_t at = lseek(fd, static_cast<off_t>(distance), whence);
  if (at < 0) return os_Fail(os_ErrorFromErrno(errno)), -1;
  if (newPosition) *newPosition = static_cast<int64_t>(at);
  return 0;
}

int os_GetFileTimes(OsHandle h, uint64_t times[3]) {
  int fd = os_HandleFd(h);
  if (fd < 0 || !times) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return os_Fail(os_ErrorFromErrno(errno)), -1;
  // Linux keeps no creation time here: the status change time stands in.
  const struct timespec *ts[3] = {&st.st_ctim, &st.st_atim, &st.st_mtim};
  for (int i = 0; i < 3; ++i)
    times[i] = (static_cast<uint64_t>(ts[i]->tv_sec) + 11644473600ull) * 10000000ull +
               static_cast<uint64_t>(ts[i]->tv_nsec) / 100;
  return 0;
}
