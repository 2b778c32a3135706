#include "platform/os_registry_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/os_error.h"
#include "platform/os_path.h"

static const char kKeyFile[] = "/.key";

static uint32_t ErrnoCode(int err) {
  return (err == ENOENT || err == ENOTDIR) ? OS_ERROR_FILE_NOT_FOUND : os_ErrorFromErrno(err);
}

// Reads up to `size` bytes from the start of a file; the count, or -errno.
static ssize_t ReadStart(const std::string &path, void *buf, size_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(fd, static_cast<char *>(buf) + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      return -e;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return static_cast<ssize_t>(got);
}

static uint32_t ReadWhole(const std::string &path, std::string &out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoCode(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0 || st.st_size > (1LL << 31)) {
    close(fd);
    return OS_ERROR_BADDB;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(got);
  return OS_ERROR_SUCCESS;
}

// Writes a whole file beside `path` and renames it over `path`.
static uint32_t WriteAtomic(const std::string &path, const void *data, size_t size) {
  static std::atomic<uint32_t> seq;
  std::string tmp = path + "." + std::to_string(getpid()) + "." + std::to_string(seq.fetch_add(1));
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ErrnoCode(errno);
  size_t done = 0;
  int err = 0;
  while (done < size) {
    ssize_t n = write(fd, static_cast<const char *>(data) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    unlink(tmp.c_str());
    return ErrnoCode(err);
  }
  return OS_ERROR_SUCCESS;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The kernel's boot id cannot change while a process lives.
static const uint8_t *KernelBootId(void) {
  static uint8_t id[16];
  static std::once_flag once;
  std::call_once(once, [] {
    char text[64] = {};
    ssize_t n = ReadStart("/proc/sys/kernel/random/boot_id", text, sizeof text - 1);
    int k = 0;
    for (ssize_t i = 0; i + 1 < n && k < 16; ++i) {
      int hi = HexDigit(text[i]);
      if (hi < 0) continue;
      int lo = HexDigit(text[i + 1]);
      if (lo < 0) break;
      id[k++] = static_cast<uint8_t>(hi << 4 | lo);
      ++i;
    }
  });
  return id;
}

static std::string LocalStore(void) { return std::string(os_Root()) + "/registry"; }

static bool ReadStamp(const std::string &path, RegBootStamp &s) {
  return ReadStart(path, &s, sizeof s) == static_cast<ssize_t>(sizeof s) && s.magic == REGF_BOOT_MAGIC;
}

static bool SameBoot(const RegBootStamp &a, const RegBootStamp &b) {
  return a.seq == b.seq && memcmp(a.bootId, b.bootId, sizeof a.bootId) == 0;
}

void regs_CurrentBoot(RegBootStamp &out) {
  RegBootStamp stored;
  out.magic = REGF_BOOT_MAGIC;
  out.seq = ReadStamp(LocalStore() + "/.boot", stored) ? stored.seq : 0;
  memcpy(out.bootId, KernelBootId(), sizeof out.bootId);
}

uint32_t regs_ReadKey(const std::string &folder, bool headerOnly, RegKeyFile &key) {
  std::string path = folder + kKeyFile;
  bool ok;
  if (headerOnly) {
    char buf[sizeof(RegFileHeader)];
    ssize_t n = ReadStart(path, buf, sizeof buf);
    if (n < 0) return ErrnoCode(static_cast<int>(-n));
    ok = regf_DecodeHeader(buf, static_cast<size_t>(n), key.head);
    key.name.clear();
    key.values.clear();
  } else {
    std::string buf;
    uint32_t r = ReadWhole(path, buf);
    if (r) return r;
    ok = regf_Decode(buf.data(), buf.size(), key);
  }
  if (!ok) return OS_ERROR_BADDB;
  if (key.head.flags & REGF_VOLATILE) {
    RegBootStamp now;
    regs_CurrentBoot(now);
    if (key.head.bootSeq != now.seq || memcmp(key.head.bootId, now.bootId, sizeof now.bootId) != 0)
      return OS_ERROR_FILE_NOT_FOUND;
  }
  return OS_ERROR_SUCCESS;
}

uint32_t regs_WriteKey(const std::string &folder, const RegKeyFile &key) {
  std::string bytes;
  regf_Encode(key, bytes);
  return WriteAtomic(folder + kKeyFile, bytes.data(), bytes.size());
}

// The entries of a folder, or an empty list when it cannot be read.
static std::vector<std::string> Entries(const std::string &folder, int *err) {
  std::vector<std::string> names;
  DIR *d = opendir(folder.c_str());
  if (!d) {
    if (err) *err = errno;
    return names;
  }
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  if (err) *err = 0;
  return names;
}

uint32_t regs_ListSubkeys(const std::string &folder, std::vector<RegSubkey> &out) {
  out.clear();
  int err;
  std::vector<std::string> names = Entries(folder, &err);
  if (err && err != ENOENT) return ErrnoCode(err);
  for (const std::string &n : names) {
    if (n[0] == '.') continue;
    RegKeyFile k;
    if (regs_ReadKey(folder + "/" + n, false, k) == OS_ERROR_SUCCESS) out.push_back({k.name, n});
  }
  std::sort(out.begin(), out.end(), [](const RegSubkey &a, const RegSubkey &b) {
    int c = regf_Compare(a.name, b.name);
    return c != 0 ? c < 0 : a.entry < b.entry;
  });
  return OS_ERROR_SUCCESS;
}

uint32_t regs_RemoveTree(const std::string &folder) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return ec ? ErrnoCode(ec.value()) : OS_ERROR_SUCCESS;
}

uint64_t regs_NewKeyId(void) {
  static std::atomic<uint64_t> counter;
  uint64_t id = 0;
  while (id == 0) {
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      id = (static_cast<uint64_t>(ts.tv_sec) * 1000000007u) ^ static_cast<uint64_t>(ts.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 40) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
    }
  }
  return id;
}

static bool IsFolder(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes, below one key folder, every volatile key of another boot, every
// folder left without a key file by a writer that died, and leftover temporaries.
static void SweepFolder(const std::string &folder) {
  for (const std::string &n : Entries(folder, nullptr)) {
    std::string child = folder + "/" + n;
    if (n.rfind(".key.", 0) == 0) {
      unlink(child.c_str());
      continue;
    }
    if (n[0] == '.' || !IsFolder(child)) continue;
    RegKeyFile k;
    uint32_t r = regs_ReadKey(child, true, k);
    if (r == OS_ERROR_SUCCESS)
      SweepFolder(child);
    else if (r == OS_ERROR_FILE_NOT_FOUND)
      regs_RemoveTree(child);
  }
}

static void SweepStore(const std::string &store, const RegBootStamp &now) {
  for (const std::string &hive : Entries(store, nullptr))
    if (hive[0] != '.' && IsFolder(store + "/" + hive)) SweepFolder(store + "/" + hive);
  WriteAtomic(store + "/.swept", &now, sizeof now);
}

uint32_t regs_Lock(const std::string &store, RegStoreLock &lock) {
  lock.fd = -1;
  if (os_MakeFolders(store.c_str()) != 0) return os_GetLastError();
  int fd = open((store + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return ErrnoCode(errno);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    uint32_t r = ErrnoCode(errno);
    close(fd);
    return r;
  }
  lock.fd = fd;
  RegBootStamp now, swept;
  regs_CurrentBoot(now);
  if (!ReadStamp(store + "/.swept", swept) || !SameBoot(now, swept)) SweepStore(store, now);
  return OS_ERROR_SUCCESS;
}

void regs_Unlock(RegStoreLock &lock) {
  if (lock.fd >= 0) {
    // Writers are serialised by the lock; readers only compare the stamp.
    uint64_t stamp = 0;
    if (pread(lock.fd, &stamp, sizeof stamp, 0) != static_cast<ssize_t>(sizeof stamp)) stamp = 0;
    ++stamp;
    if (pwrite(lock.fd, &stamp, sizeof stamp, 0) != static_cast<ssize_t>(sizeof stamp)) {
      // A stamp that could not move: readers then fall back on the key's own count.
    }
    close(lock.fd);  // closing the last descriptor releases the flock
  }
  lock.fd = -1;
}

const volatile uint64_t *regs_StoreStamp(const std::string &store) {
  static std::mutex lock;
  static std::map<std::string, const volatile uint64_t *> *mapped = new std::map<std::string, const volatile uint64_t *>;
  std::lock_guard<std::mutex> g(lock);
  auto it = mapped->find(store);
  if (it != mapped->end()) return it->second;
  if (os_MakeFolders(store.c_str()) != 0) return nullptr;
  int fd = open((store + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // The word must exist before it is mapped: a read past the end would fault.
  // Growing only, so a writer's stamp is never cut.
  struct stat st;
  void *p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && (st.st_size >= 8 || ftruncate(fd, 8) == 0))
    p = mmap(nullptr, sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  const volatile uint64_t *stamp = static_cast<const volatile uint64_t *>(p);
  (*mapped)[store] = stamp;
  return stamp;
}

uint32_t regs_Reboot(void) {
  std::string local = LocalStore();
  RegStoreLock lock;
  uint32_t r = regs_Lock(local, lock);
  if (r) return r;
  RegBootStamp next;
  regs_CurrentBoot(next);
  ++next.seq;
  r = WriteAtomic(local + "/.boot", &next, sizeof next);
  if (r == OS_ERROR_SUCCESS) SweepStore(local, next);
  regs_Unlock(lock);
  if (r) return r;
  // Each host's store notices the new boot when locked, and is swept then.
  std::string hosts = std::string(os_Root()) + "/hosts";
  for (const std::string &h : Entries(hosts, nullptr)) {
    std::string store = hosts + "/" + h + "/registry";
    if (!IsFolder(store)) continue;
    if (regs_Lock(store, lock) == OS_ERROR_SUCCESS) regs_Unlock(lock);
  }
  return OS_ERROR_SUCCESS;
}
