#include "platform/os_io.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"
#include "platform/os_pipe.h"

namespace {

int ReadPlain(OsObject *o, void *buf, uint32_t n, uint32_t *got) {
  ssize_t r;
  do r = read(o->fd, buf, n);
  while (r < 0 && errno == EINTR);
  if (r < 0) return os_Fail(errno == EBADF ? OS_ERROR_ACCESS_DENIED : os_ErrorFromErrno(errno)), -1;
  *got = static_cast<uint32_t>(r);  // 0 at the end of the file, as ReadFile
  return 0;
}

}  // namespace

int os_WriteDescriptor(OsObject *o, const void *buf, uint32_t n, uint32_t *written) {
  const char *p = static_cast<const char *>(buf);
  uint32_t done = 0;
  while (done < n) {
    ssize_t w = write(o->fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) {
      *written = done;
      return os_Fail(errno == EBADF ? OS_ERROR_ACCESS_DENIED : os_ErrorFromErrno(errno)), -1;
    }
    done += static_cast<uint32_t>(w);
  }
  *written = done;
  return 0;
}

namespace {

void ClosePlain(OsObject *o) { close(o->fd); }

// A named pipe or socket in a folder is no file a Windows path could open; an
// open of one would wait for the other end (for ever, if none comes), so
// every open is non-blocking until the kind of file is known.
int OpenNoWait(const char *path, int flags) { return open(path, flags | O_NONBLOCK, 0666); }

OsHandle OpenPlain(const char *path, uint32_t access, uint32_t disposition, uint32_t flagsAndAttributes) {
  int flags = O_CLOEXEC;
  bool rd = access & OS_GENERIC_READ, wr = access & (OS_GENERIC_WRITE | OS_FILE_APPEND_DATA);
  flags |= rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
  if ((access & OS_FILE_APPEND_DATA) && !(access & OS_GENERIC_WRITE)) flags |= O_APPEND;
  if (flagsAndAttributes & OS_FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
  bool existed = false;
  int fd;
  switch (disposition) {
    case OS_CREATE_NEW: fd = OpenNoWait(path, flags | O_CREAT | O_EXCL); break;
    case OS_OPEN_EXISTING: fd = OpenNoWait(path, flags); break;
    case OS_TRUNCATE_EXISTING:
      if (!wr) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
      fd = OpenNoWait(path, flags | O_TRUNC);
      break;
    case OS_CREATE_ALWAYS:
    case OS_OPEN_ALWAYS:
      // Windows reports whether the file was there before.
      fd = OpenNoWait(path, flags | O_CREAT | O_EXCL);
      if (fd < 0 && errno == EEXIST) {
        existed = true;
        fd = OpenNoWait(path, flags | (disposition == OS_CREATE_ALWAYS ? O_TRUNC : 0));
      }
      break;
    default: return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  }
  if (fd < 0) {
    if (errno == EEXIST) return os_Fail(OS_ERROR_FILE_EXISTS), nullptr;
    if (errno == ENXIO) return os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;  // a pipe without a reader
    if (errno == ENOENT && disposition != OS_OPEN_EXISTING && disposition != OS_TRUNCATE_EXISTING)
      return os_Fail(OS_ERROR_PATH_NOT_FOUND), nullptr;
    return os_FailErrno(errno), nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return os_FailErrno(errno), close(fd), nullptr;
  if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode))
    return close(fd), os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  OsHandle h = os_NewHandle(&g_osFileKind, fd, nullptr);
  if (!h) return close(fd), nullptr;
  os_SetLastError(existed ? OS_ERROR_ALREADY_EXISTS : OS_ERROR_SUCCESS);
  return h;
}

// Under ROOT/hosts/ lie the pipes of every host and the shares' files.
OsHandle OpenUnderHosts(const char *path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
  if (os_IsPipePath(path)) return os_OpenPipeClient(path, access, share, disposition, flags);
  return OpenPlain(path, access, disposition, flags);
}

// Kinds that are opened by path, found by where the path leads under the root.
struct Opener {
  const char *prefix;  // relative to the platform root
  OsHandle (*open)(const char *linuxPath, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
};

const Opener kOpeners[] = {
    {"/kernel/mailslot/", os_OpenMailslotWriter},
    {"/dev/", os_OpenSerialPort},
    {"/hosts/", OpenUnderHosts},
};

}  // namespace

const OsKind g_osFileKind = {"file", ReadPlain, os_WriteDescriptor, nullptr, nullptr, ClosePlain};

OsHandle os_CreateFile(const char *path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
  if (path && strcasecmp(path, "CONOUT$") == 0) return os_OpenConsoleOutput();
  char lpath[PATH_MAX];
  if (os_TranslatePath(path, lpath, sizeof lpath) != 0) return nullptr;
  const char *root = os_Root();
  size_t rootLen = strlen(root);
  if (strncmp(lpath, root, rootLen) == 0) {
    for (const Opener &op : kOpeners)
      if (strncmp(lpath + rootLen, op.prefix, strlen(op.prefix)) == 0) return op.open(lpath, access, share, disposition, flags);
  }
  // Sharing is not enforced on files: every opener may read and write.
  return OpenPlain(lpath, access, disposition, flags);
}

int os_ReadFile(OsHandle h, void *buf, uint32_t n, uint32_t *got) {
  OsObject *o = os_CheckHandle(h, nullptr);
  if (!o) return -1;
  uint32_t dummy;
  if (!got) got = &dummy;
  *got = 0;
  if (!o->kind->read) return os_Fail(OS_ERROR_INVALID_FUNCTION), -1;
  if (!buf && n) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return o->kind->read(o, buf, n, got);
}

int os_WriteFile(OsHandle h, const void *buf, uint32_t n, uint32_t *written) {
  OsObject *o = os_CheckHandle(h, nullptr);
  if (!o) return -1;
  uint32_t dummy;
  if (!written) written = &dummy;
  *written = 0;
  if (!o->kind->write) return os_Fail(OS_ERROR_INVALID_FUNCTION), -1;
  if (!buf && n) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return o->kind->write(o, buf, n, written);
}
