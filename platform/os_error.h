// Windows error codes and the thread's last error.
//
// Every platform call that fails leaves a Windows error code both in the
// thread's last error and in errno, so callers that copy "the last error" into
// the error number and callers that read errno see the same value.
#pragma once
#include <cstdint>

enum : uint32_t {
  OS_ERROR_SUCCESS = 0,
  OS_ERROR_INVALID_FUNCTION = 1,
  OS_ERROR_FILE_NOT_FOUND = 2,
  OS_ERROR_PATH_NOT_FOUND = 3,
  OS_ERROR_TOO_MANY_OPEN_FILES = 4,
  OS_ERROR_ACCESS_DENIED = 5,
  OS_ERROR_INVALID_HANDLE = 6,
  OS_ERROR_NOT_ENOUGH_MEMORY = 8,
  OS_ERROR_INVALID_DATA = 13,
  OS_ERROR_OUTOFMEMORY = 14,
  OS_ERROR_NOT_READY = 21,
  OS_ERROR_WRITE_FAULT = 29,
  OS_ERROR_READ_FAULT = 30,
  OS_ERROR_GEN_FAILURE = 31,
  OS_ERROR_SHARING_VIOLATION = 32,
  OS_ERROR_LOCK_VIOLATION = 33,
  OS_ERROR_HANDLE_EOF = 38,
  OS_ERROR_NOT_SUPPORTED = 50,
  OS_ERROR_BAD_NETPATH = 53,
  OS_ERROR_NETNAME_DELETED = 64,
  OS_ERROR_BAD_NET_NAME = 67,
  OS_ERROR_FILE_EXISTS = 80,
  OS_ERROR_INVALID_PARAMETER = 87,
  OS_ERROR_BROKEN_PIPE = 109,
  OS_ERROR_BUFFER_OVERFLOW = 111,
  OS_ERROR_DISK_FULL = 112,
  OS_ERROR_CALL_NOT_IMPLEMENTED = 120,
  OS_ERROR_SEM_TIMEOUT = 121,
  OS_ERROR_INSUFFICIENT_BUFFER = 122,
  OS_ERROR_INVALID_NAME = 123,
  OS_ERROR_MOD_NOT_FOUND = 126,
  OS_ERROR_PROC_NOT_FOUND = 127,
  OS_ERROR_DIR_NOT_EMPTY = 145,
  OS_ERROR_BAD_PATHNAME = 161,
  OS_ERROR_NEGATIVE_SEEK = 131,
  OS_ERROR_BUSY = 170,
  OS_ERROR_ALREADY_EXISTS = 183,
  OS_ERROR_BAD_EXE_FORMAT = 193,
  OS_ERROR_ENVVAR_NOT_FOUND = 203,
  OS_ERROR_FILENAME_EXCED_RANGE = 206,
  OS_ERROR_PIPE_BUSY = 231,
  OS_ERROR_NO_DATA = 232,
  OS_ERROR_PIPE_NOT_CONNECTED = 233,
  OS_ERROR_MORE_DATA = 234,
  OS_ERROR_WAIT_TIMEOUT = 258,
  OS_ERROR_NO_MORE_ITEMS = 259,
  OS_ERROR_DIRECTORY = 267,
  OS_ERROR_NOT_OWNER = 288,
  OS_ERROR_ABANDONED_WAIT_0 = 735,
  OS_ERROR_OPERATION_ABORTED = 995,
  OS_ERROR_IO_PENDING = 997,
  OS_ERROR_BADDB = 1009,
  OS_ERROR_BADKEY = 1010,
  OS_ERROR_CANTOPEN = 1011,
  OS_ERROR_CANTREAD = 1012,
  OS_ERROR_CANTWRITE = 1013,
  OS_ERROR_KEY_DELETED = 1018,
  OS_ERROR_CHILD_MUST_BE_VOLATILE = 1021,
  OS_ERROR_NOT_FOUND = 1168,
  OS_ERROR_PRIVILEGE_NOT_HELD = 1314,
  OS_ERROR_TIMEOUT = 1460,
  OS_ERROR_XML_PARSE_ERROR = 1465,
};

// The calling thread's last error (GetLastError / SetLastError).
uint32_t os_GetLastError(void);
void os_SetLastError(uint32_t code);

// The Windows code that stands for a C library errno value.
uint32_t os_ErrorFromErrno(int err);

// Records a failure: last error and errno both become `code`. Returns code.
uint32_t os_Fail(uint32_t code);
// Records a failure from an errno value (mapped). Returns the Windows code.
uint32_t os_FailErrno(int err);
