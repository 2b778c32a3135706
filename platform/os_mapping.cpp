#include "platform/os_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"

namespace {

std::mutex g_viewLock;
std::map<void *, size_t> *g_views;  // never freed: views may outlive static destructors

void CloseMapping(OsObject *o) { close(o->fd); }
const OsKind kMappingKind = {"file mapping", nullptr, nullptr, nullptr, nullptr, CloseMapping};

// A private file in `dir`: unnamed where the file system allows it.
int PrivateFile(const std::string &dir, std::string &tmpName) {
  tmpName.clear();
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0) return fd;
  std::string templ = dir + "/.new-XXXXXX";
  std::string buf = templ;
  fd = mkostemp(buf.data(), O_CLOEXEC);
  if (fd >= 0) tmpName = buf;
  return fd;
}

int Publish(int fd, const std::string &tmpName, const char *path) {
  if (tmpName.empty()) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW);
  }
  int rc = link(tmpName.c_str(), path);
  int err = errno;
  unlink(tmpName.c_str());
  errno = err;
  return rc;
}

}  // namespace

int os_CreateObjectFile(const char *path, uint64_t size, const OsObjectFileInit *init, bool *created) {
  *created = false;
  if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string p(path);
  std::string dir = p.substr(0, p.rfind('/'));
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return os_FailErrno(errno), -1;
    if (os_MakeFolders(dir.c_str()) != 0) return -1;
    std::string tmpName;
    fd = PrivateFile(dir, tmpName);
    if (fd < 0) return os_FailErrno(errno), -1;
    // Everyone may open kernel objects, whatever the umask says.
    fchmod(fd, 0666);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      int err = errno;
      if (!tmpName.empty()) unlink(tmpName.c_str());
      return close(fd), os_FailErrno(err), -1;
    }
    // Reserve the pages now: a full tmpfs would otherwise fault a later store.
    int fa = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (fa != 0 && fa != EOPNOTSUPP && fa != EINVAL) {
      if (!tmpName.empty()) unlink(tmpName.c_str());
      return close(fd), os_FailErrno(fa), -1;
    }
    if (init && !init->prepare(fd, init->ctx)) {
      uint32_t e = os_GetLastError();
      if (!tmpName.empty()) unlink(tmpName.c_str());
      return close(fd), os_Fail(e), -1;
    }
    if (Publish(fd, tmpName, path) == 0) {
      *created = true;
      return fd;
    }
    int err = errno;
    if (init) init->discard(init->ctx);
    close(fd);
    if (err != EEXIST) return os_FailErrno(err), -1;
    // Another creator was first: open theirs.
  }
  return os_Fail(OS_ERROR_BUSY), -1;
}

OsHandle os_CreateFileMapping(const char *name, uint64_t size, const OsSecurityAttributes *) {
  char path[PATH_MAX];
  if (os_ObjectPath(name, path, sizeof path) != 0) return nullptr;
  bool created;
  int fd = os_CreateObjectFile(path, size, nullptr, &created);
  if (fd < 0) return nullptr;
  OsHandle h = os_NewHandle(&kMappingKind, fd, nullptr);
  if (!h) return close(fd), nullptr;
  os_SetLastError(created ? OS_ERROR_SUCCESS : OS_ERROR_ALREADY_EXISTS);
  return h;
}

OsHandle os_OpenFileMapping(const char *name) {
  char path[PATH_MAX];
  if (os_ObjectPath(name, path, sizeof path) != 0) return nullptr;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return os_Fail(errno == ENOTDIR ? OS_ERROR_FILE_NOT_FOUND : os_ErrorFromErrno(errno)), nullptr;
  OsHandle h = os_NewHandle(&kMappingKind, fd, nullptr);
  if (!h) close(fd);
  return h;
}

uint64_t os_MappingSize(OsHandle h) {
  OsObject *o = os_CheckHandle(h, &kMappingKind);
  if (!o) return 0;
  struct stat st;
  if (fstat(o->fd, &st) != 0) return os_FailErrno(errno), 0;
  return static_cast<uint64_t>(st.st_size);
}

void *os_MapViewOfFile(OsHandle h, size_t size) {
  OsObject *o = os_CheckHandle(h, &kMappingKind);
  if (!o) return nullptr;
  struct stat st;
  if (fstat(o->fd, &st) != 0) return os_FailErrno(errno), nullptr;
  size_t real = static_cast<size_t>(st.st_size);
  // Pages beyond the file's end would fault on access: refuse them here.
  if (size == 0) size = real;
  if (size == 0 || size > real) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  void *view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, o->fd, 0);
  if (view == MAP_FAILED) return os_FailErrno(errno), nullptr;
  std::lock_guard<std::mutex> guard(g_viewLock);
  if (!g_views) g_views = new std::map<void *, size_t>;
  (*g_views)[view] = size;
  return view;
}

int os_UnmapViewOfFile(void *view) {
  size_t size;
  {
    std::lock_guard<std::mutex> guard(g_viewLock);
    if (!g_views) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    auto it = g_views->find(view);
    if (it == g_views->end()) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    size = it->second;
    g_views->erase(it);
  }
  return munmap(view, size) == 0 ? 0 : (os_FailErrno(errno), -1);
}

int os_DeleteFileMapping(const char *name) {
  char path[PATH_MAX];
  if (os_ObjectPath(name, path, sizeof path) != 0) return -1;
  if (unlink(path) == 0) return 0;
  return os_Fail(errno == ENOTDIR ? OS_ERROR_FILE_NOT_FOUND : os_ErrorFromErrno(errno)), -1;
}
