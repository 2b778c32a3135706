#include "platform/os_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_path.h"

namespace {

struct Translated {
  char path[PATH_MAX];
  bool ok;
  explicit Translated(const char *windowsPath) { ok = os_TranslatePath(windowsPath, path, sizeof path) == 0; }
};

int Fail(void) { return os_FailErrno(errno), -1; }

bool ReadOnly(const struct stat &st) { return (st.st_mode & S_IWUSR) == 0; }

int CopyData(int in, int out) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      done += w;
    }
  }
}

// Copies a file's data, mode and modification time to a new or truncated target.
int CopyPlain(const char *from, const char *to, bool failIfExists) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail();
  struct stat st;
  if (fstat(in, &st) != 0) return Fail(), close(in), -1;
  if (S_ISDIR(st.st_mode)) return close(in), os_Fail(OS_ERROR_ACCESS_DENIED), -1;
  struct stat dst;
  if (stat(to, &dst) == 0) {
    if (failIfExists) return close(in), os_Fail(OS_ERROR_FILE_EXISTS), -1;
    if (dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) return close(in), os_Fail(OS_ERROR_SHARING_VIOLATION), -1;
    if (S_ISDIR(dst.st_mode) || ReadOnly(dst)) return close(in), os_Fail(OS_ERROR_ACCESS_DENIED), -1;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
  int out = open(to, flags, st.st_mode & 07777);
  if (out < 0) {
    int e = errno;
    close(in);
    return os_Fail(e == EEXIST ? OS_ERROR_FILE_EXISTS : os_ErrorFromErrno(e)), -1;
  }
  int rc = CopyData(in, out);
  int e = errno;
  if (rc == 0) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
    fchmod(out, st.st_mode & 07777);
  }
  close(in);
  if (close(out) != 0 && rc == 0) rc = -1, e = errno;
  if (rc != 0) return unlink(to), os_FailErrno(e), -1;
  return 0;
}

// A named pipe or socket in a folder is no file a Windows path could open; an
// open of one would wait for the other end (for ever, if none comes).
bool IsChannel(const struct stat &st) { return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode); }

}  // namespace

int os_Open(const char *path, int flags, int mode) {
  Translated t(path);
  if (!t.ok) return -1;
  int fd = open(t.path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return errno == ENXIO ? (os_Fail(OS_ERROR_ACCESS_DENIED), -1) : Fail();
  struct stat st;
  if (fstat(fd, &st) == 0 && IsChannel(st)) {
    close(fd);
    return os_Fail(OS_ERROR_ACCESS_DENIED), -1;
  }
  if (!(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FILE *os_FOpen(const char *path, const char *mode) {
  Translated t(path);
  if (!t.ok || !mode) return nullptr;
  struct stat st;
  if (stat(t.path, &st) == 0 && IsChannel(st)) return os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;
  std::string m = std::string(mode) + "e";  // close on exec, as Windows handles are not inherited
  FILE *f = fopen(t.path, m.c_str());
  if (!f) os_FailErrno(errno);
  return f;
}

int os_Stat(const char *path, struct stat *st) {
  Translated t(path);
  if (!t.ok) return -1;
  return stat(t.path, st) == 0 ? 0 : Fail();
}

int os_Access(const char *path, int amode) {
  Translated t(path);
  if (!t.ok) return -1;
  return access(t.path, amode) == 0 ? 0 : Fail();
}

int os_MakeDirectory(const char *path) {
  Translated t(path);
  if (!t.ok) return -1;
  if (mkdir(t.path, 0777) == 0) return 0;
  if (errno == ENOENT) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
  return Fail();
}

int os_RemoveDirectory(const char *path) {
  Translated t(path);
  if (!t.ok) return -1;
  if (rmdir(t.path) == 0) return 0;
  if (errno == ENOTDIR) return os_Fail(OS_ERROR_DIRECTORY), -1;
  if (errno == EEXIST) return os_Fail(OS_ERROR_DIR_NOT_EMPTY), -1;
  return Fail();
}

int os_DeleteFile(const char *path) {
  Translated t(path);
  if (!t.ok) return -1;
  struct stat st;
  if (lstat(t.path, &st) != 0) return Fail();
  // Permissions do not stop root or the owner of the folder, a read-only file must.
  if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && ReadOnly(st))) return os_Fail(OS_ERROR_ACCESS_DENIED), -1;
  return unlink(t.path) == 0 ? 0 : Fail();
}

int os_MoveFile(const char *from, const char *to) {
  Translated a(from), b(to);
  if (!a.ok || !b.ok) return -1;
  if (renameat2(AT_FDCWD, a.path, AT_FDCWD, b.path, RENAME_NOREPLACE) == 0) return 0;
  if (errno == EEXIST) return os_Fail(OS_ERROR_ALREADY_EXISTS), -1;
  struct stat st;
  if (errno == EINVAL || errno == ENOSYS) {
    // File systems without no-replace renames: a link never replaces either.
    if (lstat(a.path, &st) == 0 && !S_ISDIR(st.st_mode)) {
      if (link(a.path, b.path) != 0) return errno == EEXIST ? (os_Fail(OS_ERROR_ALREADY_EXISTS), -1) : Fail();
      return unlink(a.path) == 0 ? 0 : Fail();
    }
    return os_Fail(OS_ERROR_NOT_SUPPORTED), -1;
  }
  if (errno == EXDEV) {
    // Across volumes files are copied, as MoveFile does; folders are not.
    if (lstat(a.path, &st) != 0) return Fail();
    if (S_ISDIR(st.st_mode)) return os_Fail(OS_ERROR_NOT_SUPPORTED), -1;
    if (CopyPlain(a.path, b.path, true) != 0) {
      if (os_GetLastError() == OS_ERROR_FILE_EXISTS) os_Fail(OS_ERROR_ALREADY_EXISTS);
      return -1;
    }
    return unlink(a.path) == 0 ? 0 : Fail();
  }
  return Fail();
}

int os_CopyFile(const char *from, const char *to, bool failIfExists) {
  Translated a(from), b(to);
  if (!a.ok || !b.ok) return -1;
  return CopyPlain(a.path, b.path, failIfExists);
}

int os_SetCurrentDirectory(const char *path) {
  Translated t(path);
  if (!t.ok) return -1;
  return chdir(t.path) == 0 ? 0 : Fail();
}

int os_GetCurrentDirectory(char *out, size_t size) {
  if (!out || size == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (getcwd(out, size)) return 0;
  if (errno == ERANGE) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;
  return Fail();
}

int os_ListDirectory(const char *path, OsDirEntryFn fn, void *ctx) {
  Translated t(path);
  if (!t.ok) return -1;
  if (!fn) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  DIR *d = opendir(t.path);
  if (!d) return errno == ENOTDIR ? (os_Fail(OS_ERROR_DIRECTORY), -1) : Fail();
  std::vector<std::pair<std::string, bool>> entries;
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      isDir = fstatat(dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    entries.emplace_back(e->d_name, isDir);
  }
  int readErr = errno;
  closedir(d);
  if (readErr != 0) return os_FailErrno(readErr), -1;
  std::sort(entries.begin(), entries.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
  for (const auto &e : entries)
    if (int r = fn(e.first.c_str(), e.second, ctx)) return r;
  return 0;
}

static int Lock(int fd, short type, uint64_t offset, uint64_t length, bool wait) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  // A range beyond what off_t holds reaches to the end of every file (length 0).
  fl.l_len = length > static_cast<uint64_t>(INT64_MAX) - offset ? 0 : static_cast<off_t>(length);
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return os_Fail(OS_ERROR_LOCK_VIOLATION), -1;
    return Fail();
  }
}

int os_LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive, bool wait) {
  if (length == 0) return 0;  // an empty range conflicts with nothing
  return Lock(fd, exclusive ? F_WRLCK : F_RDLCK, offset, length, wait);
}

int os_UnlockRange(int fd, uint64_t offset, uint64_t length) {
  if (length == 0) return 0;
  return Lock(fd, F_UNLCK, offset, length, false);
}
