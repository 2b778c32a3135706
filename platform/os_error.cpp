#include "platform/os_error.h"

#include <cerrno>

static thread_local uint32_t t_lastError;

uint32_t os_GetLastError(void) { return t_lastError; }
void os_SetLastError(uint32_t code) { t_lastError = code; }

uint32_t os_ErrorFromErrno(int err) {
  switch (err) {
    case 0: return OS_ERROR_SUCCESS;
    case ENOENT: return OS_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return OS_ERROR_PATH_NOT_FOUND;
    case EMFILE: case ENFILE: return OS_ERROR_TOO_MANY_OPEN_FILES;
    case EACCES: case EPERM: case EROFS: return OS_ERROR_ACCESS_DENIED;
    case EBADF: return OS_ERROR_INVALID_HANDLE;
    case ENOMEM: return OS_ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return OS_ERROR_ALREADY_EXISTS;
    case EINVAL: return OS_ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return OS_ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return OS_ERROR_DISK_FULL;
    case EPIPE: return OS_ERROR_BROKEN_PIPE;
    case ENOTEMPTY: return OS_ERROR_DIR_NOT_EMPTY;
    case EISDIR: return OS_ERROR_ACCESS_DENIED;
    case EBUSY: return OS_ERROR_BUSY;
    case EAGAIN: case ETIMEDOUT: return OS_ERROR_SEM_TIMEOUT;
    case ECONNREFUSED: case ENOTCONN: return OS_ERROR_PIPE_NOT_CONNECTED;
    case ECONNRESET: return OS_ERROR_NETNAME_DELETED;
    case ENOSYS: case EOPNOTSUPP: return OS_ERROR_NOT_SUPPORTED;
    case ENOEXEC: return OS_ERROR_BAD_EXE_FORMAT;
    case EDEADLK: case ENOLCK: return OS_ERROR_LOCK_VIOLATION;
    case EIO: return OS_ERROR_GEN_FAILURE;
    case EMSGSIZE: return OS_ERROR_MORE_DATA;
    case ESRCH: return OS_ERROR_INVALID_HANDLE;
    case EXDEV: return OS_ERROR_NOT_SUPPORTED;
    default: return OS_ERROR_GEN_FAILURE;
  }
}

uint32_t os_Fail(uint32_t code) {
  t_lastError = code;
  errno = static_cast<int>(code);
  return code;
}

uint32_t os_FailErrno(int err) { return os_Fail(os_ErrorFromErrno(err)); }
