#include "platform/os_registry.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry_store.h"

namespace {

enum : uint32_t {
  kAllAccess = 0xFFFFFFFFu,
  kMaxKeyNameLen = 255,
  kMaxValueNameLen = 16383,
  kGenericRead = 0x80000000u,
  kGenericWrite = 0x40000000u,
  kGenericExecute = 0x20000000u,
  kGenericAll = 0x10000000u,
  kMaximumAllowed = 0x02000000u,
};

struct Hive {
  const char *folder;
  const char *name;
};
const Hive kHives[] = {
    {"HKCR", "HKEY_CLASSES_ROOT"},      {"HKCU", "HKEY_CURRENT_USER"},
    {"HKLM", "HKEY_LOCAL_MACHINE"},     {"HKU", "HKEY_USERS"},
    {"HKPD", "HKEY_PERFORMANCE_DATA"},  {"HKCC", "HKEY_CURRENT_CONFIG"},
    {"HKDD", "HKEY_DYN_DATA"},
};
const uintptr_t kFirstHive = 0x80000000u;
const uintptr_t kHiveCount = sizeof kHives / sizeof kHives[0];

// Where a key lives: its store folder and its folder below the store
// ("HKLM/SOFTWARE/QUENFORD"). A key found again at that place with another
// identity is a new key: the handle's key was deleted.
struct KeyRef {
  std::string store;
  std::string rel;
  uint64_t id = 0;
  uint32_t access = 0;
  bool hiveRoot = false;

  std::string Folder() const { return store + "/" + rel; }
};

}  // namespace

struct OsRegKey {
  KeyRef ref;
};

namespace {

std::mutex &HandleLock() {
  static std::mutex m;
  return m;
}
std::unordered_set<OsRegKey *> &Handles() {
  static std::unordered_set<OsRegKey *> s;
  return s;
}

int32_t Ret(uint32_t code) {
  if (code)
    os_Fail(code);
  else
    os_SetLastError(0);
  return static_cast<int32_t>(code);
}

std::string LocalStore() { return std::string(os_Root()) + "/registry"; }

bool IsPredefined(OsHKey h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  return v >= kFirstHive && v < kFirstHive + kHiveCount;
}

KeyRef HiveRef(const std::string &store, OsHKey h) {
  KeyRef r;
  r.store = store;
  r.rel = kHives[reinterpret_cast<uintptr_t>(h) - kFirstHive].folder;
  r.access = kAllAccess;
  r.hiveRoot = true;
  return r;
}

uint32_t Resolve(OsHKey h, KeyRef &ref) {
  if (IsPredefined(h)) {
    ref = HiveRef(LocalStore(), h);
    return OS_ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> g(HandleLock());
  auto it = Handles().find(h);
  if (it == Handles().end()) return OS_ERROR_INVALID_HANDLE;
  ref = (*it)->ref;
  return OS_ERROR_SUCCESS;
}

OsHKey NewHandle(const KeyRef &ref) {
  OsRegKey *k = new OsRegKey{ref};
  std::lock_guard<std::mutex> g(HandleLock());
  Handles().insert(k);
  return k;
}

uint32_t MapAccess(uint32_t a) {
  if (a & (kGenericAll | kMaximumAllowed)) return kAllAccess;
  if (a & (kGenericRead | kGenericExecute)) a |= OS_KEY_READ;
  if (a & kGenericWrite) a |= OS_KEY_WRITE;
  return a;
}

const char *HiveName(const KeyRef &ref) {
  for (const Hive &h : kHives)
    if (ref.rel == h.folder) return h.name;
  return "";
}

// The hive's root key exists even before anything was written to it.
void EmptyRoot(const KeyRef &ref, RegKeyFile &k) {
  k = RegKeyFile{};
  k.name = HiveName(ref);
}

// Loads the handle's key: OS_ERROR_KEY_DELETED when it is gone or was replaced.
uint32_t LoadKey(const KeyRef &ref, bool headerOnly, RegKeyFile &k) {
  uint32_t r = regs_ReadKey(ref.Folder(), headerOnly, k);
  if (ref.hiveRoot) {
    if (r == OS_ERROR_FILE_NOT_FOUND) EmptyRoot(ref, k), r = OS_ERROR_SUCCESS;
    return r;
  }
  if (r == OS_ERROR_FILE_NOT_FOUND || (r == OS_ERROR_SUCCESS && k.head.keyId != ref.id))
    return OS_ERROR_KEY_DELETED;
  return r;
}

// Writes a changed key with its change counter advanced. Holds the store lock.
uint32_t StoreChanged(const KeyRef &ref, RegKeyFile &k) {
  if (ref.hiveRoot && os_MakeFolders(ref.Folder().c_str()) != 0) return os_GetLastError();
  ++k.head.changeCount;
  return regs_WriteKey(ref.Folder(), k);
}

// Splits "A\B\C" into its names; "" and NULL name the key itself, and one
// trailing backslash is ignored.
uint32_t SplitPath(const char *sub, std::vector<std::string> &names) {
  names.clear();
  if (!sub) return OS_ERROR_SUCCESS;
  std::string s(sub);
  if (!s.empty() && s.back() == '\\') s.pop_back();
  if (s.empty()) return OS_ERROR_SUCCESS;
  size_t i = 0;
  for (;;) {
    size_t j = s.find('\\', i);
    std::string n = s.substr(i, j == std::string::npos ? std::string::npos : j - i);
    if (n.empty()) return OS_ERROR_BAD_PATHNAME;
    if (n.size() > kMaxKeyNameLen) return OS_ERROR_INVALID_PARAMETER;
    names.push_back(std::move(n));
    if (j == std::string::npos) return OS_ERROR_SUCCESS;
    i = j + 1;
  }
}

KeyRef Child(const KeyRef &parent, const std::string &name) {
  KeyRef c = parent;
  c.rel += "/" + regf_FolderName(name);
  c.hiveRoot = false;
  c.id = 0;
  return c;
}

std::string ValueName(const char *name) { return name ? name : ""; }

RegFileValue *FindValue(RegKeyFile &k, const std::string &name) {
  for (RegFileValue &v : k.values)
    if (regf_Compare(v.name, name) == 0) return &v;
  return nullptr;
}

std::vector<const RegFileValue *> SortedValues(const RegKeyFile &k) {
  std::vector<const RegFileValue *> out;
  for (const RegFileValue &v : k.values) out.push_back(&v);
  std::sort(out.begin(), out.end(),
            [](const RegFileValue *a, const RegFileValue *b) { return regf_Compare(a->name, b->name) < 0; });
  return out;
}

// Copies a name into a caller's buffer of *size bytes; *size becomes its length.
uint32_t CopyName(const std::string &n, char *buf, uint32_t *size) {
  bool fits = n.size() < *size;
  *size = static_cast<uint32_t>(n.size());
  if (!fits) return OS_ERROR_MORE_DATA;
  memcpy(buf, n.c_str(), n.size() + 1);
  return OS_ERROR_SUCCESS;
}

uint32_t CopyData(const RegFileValue &v, uint32_t *type, void *data, uint32_t *size) {
  if (type) *type = v.type;
  if (!size) return OS_ERROR_SUCCESS;
  bool fits = v.data.size() <= *size;
  *size = static_cast<uint32_t>(v.data.size());
  if (!data) return OS_ERROR_SUCCESS;
  if (!fits) return OS_ERROR_MORE_DATA;
  if (!v.data.empty()) memcpy(data, v.data.data(), v.data.size());
  return OS_ERROR_SUCCESS;
}

// The folder below ROOT/hosts/ of a host name, exact spelling first.
bool FindHost(const std::string &host, std::string &dir) {
  std::string hosts = std::string(os_Root()) + "/hosts";
  struct stat st;
  if (stat((hosts + "/" + host).c_str(), &st) == 0) {
    dir = host;
    return S_ISDIR(st.st_mode);
  }
  DIR *d = opendir(hosts.c_str());
  if (!d) return false;
  bool found = false;
  while (struct dirent *e = readdir(d)) {
    if (strcasecmp(e->d_name, host.c_str()) == 0 && stat((hosts + "/" + e->d_name).c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      dir = e->d_name;
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// Creates the missing keys of `names` below `base`. Holds the store lock.
uint32_t CreatePath(const KeyRef &base, const std::vector<std::string> &names, bool makeVolatile, KeyRef &out,
                    bool &created) {
  RegKeyFile parent;
  uint32_t r = LoadKey(base, false, parent);
  if (r) return r;
  KeyRef at = base;
  created = false;
  for (const std::string &name : names) {
    KeyRef child = Child(at, name);
    RegKeyFile k;
    r = regs_ReadKey(child.Folder(), false, k);
    if (r == OS_ERROR_SUCCESS) {
      child.id = k.head.keyId;
      created = false;
    } else if (r != OS_ERROR_FILE_NOT_FOUND) {
      return r;
    } else {
      if (at.rel == base.rel && !(base.access & OS_KEY_CREATE_SUB_KEY)) return OS_ERROR_ACCESS_DENIED;
      if ((parent.head.flags & REGF_VOLATILE) && !makeVolatile) return OS_ERROR_CHILD_MUST_BE_VOLATILE;
      // Whatever lies there is a dead writer's leftover or a key of an earlier boot.
      std::string folder = child.Folder();
      if ((r = regs_RemoveTree(folder)) != 0) return r;
      if (at.hiveRoot && os_MakeFolders(at.Folder().c_str()) != 0) return os_GetLastError();
      if (mkdir(folder.c_str(), 0777) != 0) return os_ErrorFromErrno(errno);
      k = RegKeyFile{};
      k.name = name;
      k.head.keyId = child.id = regs_NewKeyId();
      k.head.changeCount = 1;
      if (makeVolatile) {
        RegBootStamp boot;
        regs_CurrentBoot(boot);
        k.head.flags = REGF_VOLATILE;
        k.head.bootSeq = boot.seq;
        memcpy(k.head.bootId, boot.bootId, sizeof boot.bootId);
      }
      if ((r = regs_WriteKey(folder, k)) != 0) return r;
      if ((r = StoreChanged(at, parent)) != 0) return r;
      created = true;
    }
    parent = std::move(k);
    at = child;
  }
  out = at;
  return OS_ERROR_SUCCESS;
}


// HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" mirrors the COM links of the
// machine's dev folder (ROOT/dev, ROOT/hosts/H/dev) as a volatile key, made
// current whenever it is opened. Its own values are "\Device\tnwSerialNNNN"
// (port order); values others put there are left alone.
const char kSerialPrefix[] = "\\Device\\tnwSerial";
thread_local bool t_mirroring = false;

void MirrorSerialComm(OsHKey root, const char *sub) {
  if (t_mirroring || !sub || strcasecmp(sub, "HARDWARE\\DEVICEMAP\\SERIALCOMM") != 0) return;
  KeyRef base;
  if (Resolve(root, base) != 0 || !base.hiveRoot || base.rel != HiveRef(base.store, OS_HKEY_LOCAL_MACHINE).rel) return;
  std::string dev = base.store.substr(0, base.store.rfind("/registry")) + "/dev";
  std::vector<int> ports;
  if (DIR *d = opendir(dev.c_str())) {
    while (dirent *e = readdir(d)) {
      char *end = nullptr;
      if (strncasecmp(e->d_name, "COM", 3) != 0 || !isdigit(static_cast<unsigned char>(e->d_name[3]))) continue;
      long n = strtol(e->d_name + 3, &end, 10);
      if (*end == '\0' && n > 0 && n < 10000) ports.push_back(static_cast<int>(n));
    }
    closedir(d);
  }
  std::sort(ports.begin(), ports.end());
  t_mirroring = true;
  OsHKey key = nullptr;
  if (os_RegCreateKeyEx(root, sub, OS_REG_OPTION_VOLATILE, OS_KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0) {
    std::vector<std::string> stale;
    char name[512];
    for (uint32_t i = 0;; ++i) {
      uint32_t n = sizeof name;
      int32_t rc = os_RegEnumValue(key, i, name, &n, nullptr, nullptr, nullptr);
      if (rc == OS_ERROR_MORE_DATA) continue;
      if (rc != 0) break;
      if (strncasecmp(name, kSerialPrefix, sizeof kSerialPrefix - 1) == 0) stale.push_back(name);
    }
    for (const std::string &n : stale) os_RegDeleteValue(key, n.c_str());
    for (size_t i = 0; i < ports.size(); ++i) {
      char value[40], text[16];
      snprintf(value, sizeof value, "%s%04zu", kSerialPrefix, i);
      int len = snprintf(text, sizeof text, "COM%d", ports[i]);
      os_RegSetValueEx(key, value, OS_REG_SZ, text, static_cast<uint32_t>(len + 1));
    }
    os_RegCloseKey(key);
  }
  t_mirroring = false;
}

}  // namespace

int32_t os_RegOpenKeyEx(OsHKey root, const char *sub, uint32_t options, uint32_t access, OsHKey *out) {
  (void)options;
  MirrorSerialComm(root, sub);
  if (!out) return Ret(OS_ERROR_INVALID_PARAMETER);
  *out = nullptr;
  KeyRef base;
  std::vector<std::string> names;
  uint32_t r = Resolve(root, base);
  if (!r) r = SplitPath(sub, names);
  RegKeyFile k;
  if (!r) r = LoadKey(base, true, k);
  if (r) return Ret(r);
  KeyRef at = base;
  if (!names.empty()) {
    for (const std::string &n : names) at = Child(at, n);
    if ((r = regs_ReadKey(at.Folder(), true, k)) != 0) return Ret(r);
    at.id = k.head.keyId;
  }
  at.access = MapAccess(access);
  *out = NewHandle(at);
  return Ret(OS_ERROR_SUCCESS);
}

int32_t os_RegCreateKeyEx(OsHKey root, const char *sub, uint32_t options, uint32_t access,
                          const OsSecurityAttributes *sa, OsHKey *out, uint32_t *disposition) {
  (void)sa;
  MirrorSerialComm(root, sub);
  if (!out) return Ret(OS_ERROR_INVALID_PARAMETER);
  *out = nullptr;
  KeyRef base;
  std::vector<std::string> names;
  uint32_t r = Resolve(root, base);
  if (!r) r = SplitPath(sub, names);
  RegKeyFile k;
  if (!r) r = LoadKey(base, true, k);
  if (r) return Ret(r);
  KeyRef at = base;
  for (const std::string &n : names) at = Child(at, n);
  bool created = false;
  // An existing key needs no lock.
  if (names.empty() || (r = regs_ReadKey(at.Folder(), true, k)) == OS_ERROR_SUCCESS) {
    if (!names.empty()) at.id = k.head.keyId;
  } else if (r != OS_ERROR_FILE_NOT_FOUND) {
    return Ret(r);
  } else {
    RegStoreLock lock;
    if ((r = regs_Lock(base.store, lock)) != 0) return Ret(r);
    r = CreatePath(base, names, (options & OS_REG_OPTION_VOLATILE) != 0, at, created);
    regs_Unlock(lock);
    if (r) return Ret(r);
  }
  at.access = MapAccess(access);
  *out = NewHandle(at);
  if (disposition) *disposition = created ? OS_REG_CREATED_NEW_KEY : OS_REG_OPENED_EXISTING_KEY;
  return Ret(OS_ERROR_SUCCESS);
}

int32_t os_RegCloseKey(OsHKey key) {
  if (IsPredefined(key)) return Ret(OS_ERROR_SUCCESS);
  {
    std::lock_guard<std::mutex> g(HandleLock());
    if (Handles().erase(key) == 0) return Ret(OS_ERROR_INVALID_HANDLE);
  }
  delete key;
  return Ret(OS_ERROR_SUCCESS);
}

int32_t os_RegQueryValueEx(OsHKey key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  if (data && !size) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_QUERY_VALUE)) return Ret(OS_ERROR_ACCESS_DENIED);
  RegKeyFile k;
  if ((r = LoadKey(ref, false, k)) != 0) return Ret(r);
  const RegFileValue *v = FindValue(k, ValueName(name));
  if (!v) return Ret(OS_ERROR_FILE_NOT_FOUND);
  return Ret(CopyData(*v, type, data, size));
}

int32_t os_RegSetValueEx(OsHKey key, const char *name, uint32_t type, const void *data, uint32_t size) {
  if (!data && size) return Ret(OS_ERROR_INVALID_PARAMETER);
  std::string n = ValueName(name);
  if (n.size() > kMaxValueNameLen) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_SET_VALUE)) return Ret(OS_ERROR_ACCESS_DENIED);
  std::string bytes(static_cast<const char *>(data ? data : ""), size);
  // A text whose size left out its terminator would be read back unterminated.
  if ((type == OS_REG_SZ || type == OS_REG_EXPAND_SZ) && (bytes.empty() || bytes.back() != '\0')) bytes += '\0';
  RegStoreLock lock;
  if ((r = regs_Lock(ref.store, lock)) != 0) return Ret(r);
  RegKeyFile k;
  if ((r = LoadKey(ref, false, k)) == 0) {
    if (RegFileValue *v = FindValue(k, n)) {
      v->type = type;
      v->data = std::move(bytes);
    } else {
      k.values.push_back({n, type, std::move(bytes)});
    }
    r = StoreChanged(ref, k);
  }
  regs_Unlock(lock);
  return Ret(r);
}

int32_t os_RegDeleteValue(OsHKey key, const char *name) {
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_SET_VALUE)) return Ret(OS_ERROR_ACCESS_DENIED);
  std::string n = ValueName(name);
  RegStoreLock lock;
  if ((r = regs_Lock(ref.store, lock)) != 0) return Ret(r);
  RegKeyFile k;
  if ((r = LoadKey(ref, false, k)) == 0) {
    RegFileValue *v = FindValue(k, n);
    if (!v) {
      r = OS_ERROR_FILE_NOT_FOUND;
    } else {
      k.values.erase(k.values.begin() + (v - k.values.data()));
      r = StoreChanged(ref, k);
    }
  }
  regs_Unlock(lock);
  return Ret(r);
}

int32_t os_RegDeleteKey(OsHKey root, const char *sub) {
  if (!sub) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef base;
  std::vector<std::string> names;
  uint32_t r = Resolve(root, base);
  if (!r) r = SplitPath(sub, names);
  if (r) return Ret(r);
  if (names.empty() && base.hiveRoot) return Ret(OS_ERROR_ACCESS_DENIED);
  RegStoreLock lock;
  if ((r = regs_Lock(base.store, lock)) != 0) return Ret(r);
  RegKeyFile k;
  KeyRef target = base;
  for (const std::string &n : names) target = Child(target, n);
  r = LoadKey(base, true, k);
  if (!r && !names.empty()) r = regs_ReadKey(target.Folder(), true, k);
  std::vector<RegSubkey> subs;
  if (!r) r = regs_ListSubkeys(target.Folder(), subs);
  if (!r && !subs.empty()) r = OS_ERROR_ACCESS_DENIED;
  if (!r) {
    // The key is gone the moment its key file is; the folder is only leftovers then.
    std::string folder = target.Folder();
    if (unlink((folder + "/.key").c_str()) != 0) r = os_ErrorFromErrno(errno);
    if (!r) regs_RemoveTree(folder);
  }
  if (!r) {
    KeyRef parent = target;
    parent.rel.resize(parent.rel.rfind('/'));
    parent.hiveRoot = parent.rel.find('/') == std::string::npos;
    RegKeyFile p;
    uint32_t pr = regs_ReadKey(parent.Folder(), false, p);
    if (pr == OS_ERROR_FILE_NOT_FOUND && parent.hiveRoot) EmptyRoot(parent, p), pr = 0;
    if (pr == OS_ERROR_SUCCESS) StoreChanged(parent, p);
  }
  regs_Unlock(lock);
  return Ret(r);
}

int32_t os_RegEnumKeyEx(OsHKey key, uint32_t index, char *name, uint32_t *nameSize) {
  if (!name || !nameSize) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_ENUMERATE_SUB_KEYS)) return Ret(OS_ERROR_ACCESS_DENIED);
  RegKeyFile k;
  if ((r = LoadKey(ref, true, k)) != 0) return Ret(r);
  std::vector<RegSubkey> subs;
  if ((r = regs_ListSubkeys(ref.Folder(), subs)) != 0) return Ret(r);
  if (index >= subs.size()) return Ret(OS_ERROR_NO_MORE_ITEMS);
  return Ret(CopyName(subs[index].name, name, nameSize));
}

int32_t os_RegEnumValue(OsHKey key, uint32_t index, char *name, uint32_t *nameSize, uint32_t *type,
                        void *data, uint32_t *dataSize) {
  if (!name || !nameSize || (data && !dataSize)) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_QUERY_VALUE)) return Ret(OS_ERROR_ACCESS_DENIED);
  RegKeyFile k;
  if ((r = LoadKey(ref, false, k)) != 0) return Ret(r);
  std::vector<const RegFileValue *> values = SortedValues(k);
  if (index >= values.size()) return Ret(OS_ERROR_NO_MORE_ITEMS);
  const RegFileValue &v = *values[index];
  if ((r = CopyName(v.name, name, nameSize)) != 0) return Ret(r);
  return Ret(CopyData(v, type, data, dataSize));
}

int32_t os_RegGetChangeCount(OsHKey key, uint64_t *count) {
  if (!count) return Ret(OS_ERROR_INVALID_PARAMETER);
  KeyRef ref;
  uint32_t r = Resolve(key, ref);
  if (r) return Ret(r);
  if (!(ref.access & OS_KEY_NOTIFY)) return Ret(OS_ERROR_ACCESS_DENIED);
  RegKeyFile k;
  if ((r = LoadKey(ref, true, k)) != 0) return Ret(r);
  *count = k.head.changeCount;
  return Ret(OS_ERROR_SUCCESS);
}

const volatile uint64_t *os_RegStoreStamp(OsHKey key) {
  KeyRef ref;
  if (Resolve(key, ref) != 0) return nullptr;
  return regs_StoreStamp(ref.store);
}

int32_t os_RegConnectRegistry(const char *host, OsHKey root, OsHKey *out) {
  if (!out) return Ret(OS_ERROR_INVALID_PARAMETER);
  *out = nullptr;
  if (!IsPredefined(root)) return Ret(OS_ERROR_INVALID_HANDLE);
  std::string h = host ? host : "";
  if (h.rfind("\\\\", 0) == 0) h.erase(0, 2);
  if (h.empty() || h == "." || os_IsLocalHost(h.c_str())) {
    *out = root;
    return Ret(OS_ERROR_SUCCESS);
  }
  if (root != OS_HKEY_LOCAL_MACHINE && root != OS_HKEY_USERS) return Ret(OS_ERROR_INVALID_HANDLE);
  std::string dir;
  if (h == ".." || h.find_first_of("\\/") != std::string::npos || !FindHost(h, dir))
    return Ret(OS_ERROR_BAD_NETPATH);
  *out = NewHandle(HiveRef(std::string(os_Root()) + "/hosts/" + dir + "/registry", root));
  return Ret(OS_ERROR_SUCCESS);
}

int32_t os_RegReboot(void) { return Ret(regs_Reboot()); }
