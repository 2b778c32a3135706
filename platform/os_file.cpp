#include "platform/os_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_object.h"
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

// Whether any open description holds a byte lock on the file `name` of the
// folder `dir` (AT_FDCWD: a path): a fresh description holds none, so any
// lock the test meets is another's.
bool HeldByLockAt(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool held = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  }
  close(fd);
  return held;
}

bool HeldByLock(const char *path) { return HeldByLockAt(AT_FDCWD, path); }

// File systems whose stat device and inode numbers are the ones the
// kernel's lock list shows (not so for btrfs subvolumes or overlays).
bool LockListMatchesStat(int dir) {
  struct statfs fs;
  if (fstatfs(dir, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x01021994:  // tmpfs
      return true;
    default:
      return false;
  }
}

// The inodes of device `dev` on which a byte lock is held, sorted. POSIX and
// open-description locks are the ones F_OFD_GETLK meets; "->" lines are
// waiters, which hold nothing. False when the list cannot be read.
bool ReadLockedInodes(dev_t dev, std::vector<ino_t> *out) {
  out->clear();
  FILE *f = fopen("/proc/locks", "re");
  if (!f) return false;
  char line[512];
  while (fgets(line, sizeof line, f)) {
    // "1: OFDLCK ADVISORY WRITE -1 08:01:1234 0 EOF"
    char kind[16];
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long long ino = 0;
    if (sscanf(line, "%*d: %15s %*15s %*15s %ld %x:%x:%llu", kind, &pid, &major, &minor, &ino) != 5) continue;
    if ((strcmp(kind, "POSIX") == 0 || strcmp(kind, "OFDLCK") == 0) && makedev(major, minor) == dev)
      out->push_back(static_cast<ino_t>(ino));
  }
  fclose(f);
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return true;
}

// The names in the open folder `dir` whose inode is among `locked` (sorted),
// sorted: one reading of the folder in place of a status call per name.
// False when the folder cannot be read.
bool NamesOfInodes(int dir, const std::vector<ino_t> &locked, std::vector<std::string> *out) {
  out->clear();
  int fd = dup(dir);
  if (fd < 0) return false;
  DIR *d = fdopendir(fd);
  if (!d) return close(fd), false;
  rewinddir(d);
  errno = 0;
  while (struct dirent *e = readdir(d))
    if (std::binary_search(locked.begin(), locked.end(), static_cast<ino_t>(e->d_ino))) out->emplace_back(e->d_name);
  bool ok = errno == 0;
  closedir(d);
  std::sort(out->begin(), out->end());
  return ok;
}

// os_DeleteFile for the entry `name` of the open folder `dir`. `locked`, when
// given, lists the inodes of `dev` that may be held; any other is not.
// `unheld`: the name is known to be none of them.
uint32_t DeleteAt(int dir, const char *name, bool readOnlyToo, const std::vector<ino_t> *locked, dev_t dev,
                  bool unheld) {
  // A plain name of the folder, never a way out of it.
  if (!name || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return OS_ERROR_INVALID_NAME;
  // With nothing held and no read-only test, the delete alone decides.
  if (readOnlyToo && locked && (locked->empty() || unheld)) {
    if (unlinkat(dir, name, 0) == 0) return 0;
    return errno == EISDIR ? OS_ERROR_ACCESS_DENIED : os_ErrorFromErrno(errno);
  }
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return os_ErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode) || (!readOnlyToo && !S_ISLNK(st.st_mode) && ReadOnly(st))) return OS_ERROR_ACCESS_DENIED;
  if (S_ISREG(st.st_mode)) {
    bool maybe = !locked || st.st_dev != dev || std::binary_search(locked->begin(), locked->end(), st.st_ino);
    if (maybe && HeldByLockAt(dir, name)) return OS_ERROR_SHARING_VIOLATION;
  }
  return unlinkat(dir, name, 0) == 0 ? 0 : os_ErrorFromErrno(errno);
}

}  // namespace

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

int os_GetFileInfo(const char *path, OsFileInfo *info) {
  Translated t(path);
  if (!t.ok) return -1;
  if (!info) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  struct stat st;
  if (stat(t.path, &st) != 0) return Fail();
  uint32_t attributes = S_ISDIR(st.st_mode) ? OS_FILE_ATTRIBUTE_DIRECTORY
                        : S_ISREG(st.st_mode) ? 0u
                                              : OS_FILE_ATTRIBUTE_DEVICE;
  if (ReadOnly(st)) attributes |= OS_FILE_ATTRIBUTE_READONLY;
  info->attributes = attributes ? attributes : OS_FILE_ATTRIBUTE_NORMAL;
  info->size = static_cast<uint64_t>(st.st_size);
  info->writeSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  info->writeNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  return 0;
}

uint32_t os_GetFileAttributes(const char *path) {
  OsFileInfo info;
  return os_GetFileInfo(path, &info) == 0 ? info.attributes : OS_INVALID_FILE_ATTRIBUTES;
}

int os_CheckAccess(const char *path, uint32_t access) {
  Translated t(path);
  if (!t.ok) return -1;
  int mode = 0;
  if (access & (OS_GENERIC_READ | OS_GENERIC_ALL)) mode |= R_OK;
  if (access & (OS_GENERIC_WRITE | OS_GENERIC_ALL)) mode |= W_OK;
  if (access & (OS_GENERIC_EXECUTE | OS_GENERIC_ALL)) mode |= X_OK;
  return ::access(t.path, mode == 0 ? F_OK : mode) == 0 ? 0 : Fail();
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
  if (S_ISREG(st.st_mode) && HeldByLock(t.path)) return os_Fail(OS_ERROR_SHARING_VIOLATION), -1;
  return unlink(t.path) == 0 ? 0 : Fail();
}

int os_DeleteFilesIn(const char *folder, const char *const *names, size_t count, bool readOnlyToo, uint32_t *errors) {
  Translated t(folder);
  if (!t.ok) return -1;
  if (count > 0 && (!names || !errors)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  int dir = open(t.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno == ENOTDIR ? (os_Fail(OS_ERROR_DIRECTORY), -1) : Fail();
  // One reading of the lock list stands for a lock test of each file; it is
  // read again now and then, so a lock taken meanwhile is seen soon. When
  // something on the device is held and the names are many for the folder's
  // size (a status call costs about as much as reading 8 entries of a
  // folder, an entry takes some 64 bytes of it), one reading of the folder
  // finds the names of the held inodes: only those are tested one by one. A
  // lock on an inode that reading did not look for makes it read again, a few
  // times at most (other processes may lock and unlock all the time); after
  // that every name is tested.
  constexpr size_t kRereadEvery = 64;
  constexpr int kFolderReadsMax = 4;
  struct stat st;
  std::vector<ino_t> locked, readFor;
  std::vector<std::string> heldNames;
  bool listed = fstat(dir, &st) == 0 && LockListMatchesStat(dir);
  int folderReads = count * 8 >= static_cast<uint64_t>(st.st_size) / 64 ? 0 : kFolderReadsMax;
  bool byName = false;
  int deleted = 0;
  uint32_t first = 0;
  for (size_t i = 0; i < count; ++i) {
    if (listed && i % kRereadEvery == 0) {
      listed = ReadLockedInodes(st.st_dev, &locked);
      const bool covered = std::includes(readFor.begin(), readFor.end(), locked.begin(), locked.end());
      if (listed && readOnlyToo && !locked.empty() && !covered && folderReads < kFolderReadsMax) {
        ++folderReads;
        if (NamesOfInodes(dir, locked, &heldNames)) readFor = locked;
        else readFor.clear(), heldNames.clear();
      }
      byName = !readFor.empty() && std::includes(readFor.begin(), readFor.end(), locked.begin(), locked.end());
    }
    const bool unheld =
        byName && names[i] && !std::binary_search(heldNames.begin(), heldNames.end(), std::string_view(names[i]));
    errors[i] = DeleteAt(dir, names[i], readOnlyToo, listed ? &locked : nullptr, st.st_dev, unheld);
    if (errors[i] == 0) ++deleted;
    else if (first == 0) first = errors[i];
  }
  close(dir);
  os_SetLastError(first);
  return deleted;
}

int os_MoveFile(const char *from, const char *to) {
  Translated a(from), b(to);
  if (!a.ok || !b.ok) return -1;
  if (HeldByLock(a.path)) return os_Fail(OS_ERROR_SHARING_VIOLATION), -1;
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

int os_ReplaceFile(const char *to, const char *from) {
  Translated a(from), b(to);
  if (!a.ok || !b.ok) return -1;
  struct stat st;
  if (lstat(a.path, &st) != 0) return Fail();
  if (S_ISDIR(st.st_mode)) return os_Fail(OS_ERROR_ACCESS_DENIED), -1;
  if (stat(b.path, &st) == 0) {
    if (S_ISDIR(st.st_mode) || ReadOnly(st)) return os_Fail(OS_ERROR_ACCESS_DENIED), -1;
    if (HeldByLock(b.path)) return os_Fail(OS_ERROR_SHARING_VIOLATION), -1;
  }
  if (HeldByLock(a.path)) return os_Fail(OS_ERROR_SHARING_VIOLATION), -1;
  return rename(a.path, b.path) == 0 ? 0 : Fail();
}

int os_SetFileAttributes(const char *path, uint32_t attributes) {
  Translated t(path);
  if (!t.ok) return -1;
  struct stat st;
  if (stat(t.path, &st) != 0) return Fail();
  mode_t mode = st.st_mode & 07777;
  if (attributes & OS_FILE_ATTRIBUTE_READONLY) mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else mode |= S_IWUSR;
  return chmod(t.path, mode) == 0 ? 0 : Fail();
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

int os_ScanDirectory(const char *path, OsDirEntryFn fn, void *ctx) {
  Translated t(path);
  if (!t.ok) return -1;
  if (!fn) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  DIR *d = opendir(t.path);
  if (!d) return errno == ENOTDIR ? (os_Fail(OS_ERROR_DIRECTORY), -1) : Fail();
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      isDir = fstatat(dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    if (int r = fn(e->d_name, isDir, ctx)) return closedir(d), r;
    // A link that leads nowhere is no read error.
    errno = 0;
  }
  int readErr = errno;
  closedir(d);
  if (readErr != 0) return os_FailErrno(readErr), -1;
  return 0;
}

int os_ListDirectory(const char *path, OsDirEntryFn fn, void *ctx) {
  if (!fn) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  // All names in one buffer: a folder of many thousand runs is listed
  // without an allocation per name.
  struct Entry {
    size_t at;
    bool isDir;
  };
  struct Listing {
    std::string names;
    std::vector<Entry> entries;
  } all;
  auto keep = [](const char *name, bool isDir, void *c) {
    Listing *l = static_cast<Listing *>(c);
    l->entries.push_back(Entry{l->names.size(), isDir});
    l->names.append(name, strlen(name) + 1);
    return 0;
  };
  if (os_ScanDirectory(path, keep, &all) != 0) return -1;
  const char *base = all.names.data();
  std::sort(all.entries.begin(), all.entries.end(),
            [base](const Entry &x, const Entry &y) { return strcmp(base + x.at, base + y.at) < 0; });
  for (const Entry &e : all.entries)
    if (int r = fn(base + e.at, e.isDir, ctx)) return r;
  return 0;
}

namespace {

// The descriptor of a plain file's handle, or -1 (OS_ERROR_INVALID_HANDLE).
int FileFd(OsHandle file) {
  OsObject *o = os_CheckHandle(file, &g_osFileKind);
  return o ? o->fd : -1;
}

int Lock(OsHandle file, short type, uint64_t offset, uint64_t length, bool wait) {
  int fd = FileFd(file);
  if (fd < 0) return -1;
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

}  // namespace

int os_LockFile(OsHandle file, uint64_t offset, uint64_t length, bool exclusive, bool wait) {
  if (length == 0) return FileFd(file) < 0 ? -1 : 0;  // an empty range conflicts with nothing
  return Lock(file, exclusive ? F_WRLCK : F_RDLCK, offset, length, wait);
}

int os_UnlockFile(OsHandle file, uint64_t offset, uint64_t length) {
  if (length == 0) return FileFd(file) < 0 ? -1 : 0;
  return Lock(file, F_UNLCK, offset, length, false);
}

int os_SetFilePointer(OsHandle file, int64_t distance, uint32_t method, uint64_t *position) {
  int fd = FileFd(file);
  if (fd < 0) return -1;
  int whence = method == OS_FILE_BEGIN     ? SEEK_SET
               : method == OS_FILE_CURRENT ? SEEK_CUR
               : method == OS_FILE_END     ? SEEK_END
                                           : -1;
  if (whence < 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  off_t at = lseek(fd, static_cast<off_t>(distance), whence);
  if (at < 0) return errno == EINVAL ? (os_Fail(OS_ERROR_NEGATIVE_SEEK), -1) : Fail();
  if (position) *position = static_cast<uint64_t>(at);
  return 0;
}

int os_GetFileSize(OsHandle file, uint64_t *size) {
  int fd = FileFd(file);
  if (fd < 0) return -1;
  if (!size) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail();
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int os_GetFileTimes(OsHandle file, uint64_t times[3]) {
  int fd = FileFd(file);
  if (fd < 0) return -1;
  if (!times) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail();
  const struct timespec *ts[3] = {&st.st_ctim, &st.st_atim, &st.st_mtim};
  for (int i = 0; i < 3; ++i)
    times[i] = (static_cast<uint64_t>(ts[i]->tv_sec) + 11644473600ull) * 10000000ull +
               static_cast<uint64_t>(ts[i]->tv_nsec) / 100;
  return 0;
}

int os_ReadFileAt(OsHandle file, uint64_t offset, void *buf, uint32_t n, uint32_t *got) {
  uint32_t dummy;
  if (!got) got = &dummy;
  *got = 0;
  int fd = FileFd(file);
  if (fd < 0) return -1;
  if ((!buf && n) || offset > static_cast<uint64_t>(INT64_MAX)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd, static_cast<char *>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return os_Fail(errno == EBADF ? OS_ERROR_ACCESS_DENIED : os_ErrorFromErrno(errno)), -1;
    if (r == 0) break;
    done += static_cast<uint32_t>(r);
  }
  *got = done;
  return 0;
}

int os_WriteFileAt(OsHandle file, uint64_t offset, const void *buf, uint32_t n, uint32_t *written) {
  uint32_t dummy;
  if (!written) written = &dummy;
  *written = 0;
  int fd = FileFd(file);
  if (fd < 0) return -1;
  if ((!buf && n) || offset > static_cast<uint64_t>(INT64_MAX) - n) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(fd, static_cast<const char *>(buf) + done, n - done, static_cast<off_t>(offset + done));
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

int os_SetEndOfFile(OsHandle file) {
  int fd = FileFd(file);
  if (fd < 0) return -1;
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return Fail();
  for (;;) {
    if (ftruncate(fd, at) == 0) return 0;
    if (errno == EINTR) continue;
    // A handle opened for reading only may not change the file.
    return errno == EBADF || errno == EINVAL ? (os_Fail(OS_ERROR_ACCESS_DENIED), -1) : Fail();
  }
}
