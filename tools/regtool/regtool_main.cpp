// regtool: reads and writes the registry of the platform root ($PLATFORM_ROOT).
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "tools/regtool/regtool_values.h"

namespace {

const char kUsage[] =
    "usage: regtool [--host H] COMMAND ARGS...\n"
    "Reads and writes the registry kept under $PLATFORM_ROOT/registry\n"
    "(with --host H: the registry of computer H under $PLATFORM_ROOT/hosts/H).\n"
    "\n"
    "commands:\n"
    "  create KEY [--volatile]     create KEY and its missing parents (volatile: until the next reboot)\n"
    "  write KEY NAME TYPE DATA    set a value, creating KEY when missing; TYPE is\n"
    "                              sz | expand_sz (text), dword (decimal or 0x-hex), binary (hex pairs)\n"
    "  read KEY [NAME]             print a value's data (text, decimal dword, hex otherwise)\n"
    "  list KEY                    print the subkeys (\"NAME\\\") and the values (\"NAME<tab>TYPE<tab>DATA\")\n"
    "  delete KEY [NAME]           delete a value, or KEY itself when no NAME is given (KEY must\n"
    "                              have no subkeys)\n"
    "  reboot                      drop every volatile key, as a restart of the computer does\n"
    "\n"
    "KEY is ROOT\\PATH with ROOT one of HKLM, HKCU, HKU, HKCR, HKCC (or HKEY_LOCAL_MACHINE ...);\n"
    "names ignore case. NAME \"\" is the key's default value.\n"
    "example: regtool write 'HKLM\\SOFTWARE\\Quenford\\Tessarine' ProductName sz Tessarine\n"
    "exit status: 0 on success, 1 when the registry refuses, 2 for a wrong command line.\n";

struct Root {
  const char *shortName;
  const char *longName;
  OsHKey key;
};
const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", OS_HKEY_LOCAL_MACHINE}, {"HKCU", "HKEY_CURRENT_USER", OS_HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", OS_HKEY_USERS},                  {"HKCR", "HKEY_CLASSES_ROOT", OS_HKEY_CLASSES_ROOT},
    {"HKCC", "HKEY_CURRENT_CONFIG", OS_HKEY_CURRENT_CONFIG},
    {"HKPD", "HKEY_PERFORMANCE_DATA", OS_HKEY_PERFORMANCE_DATA},
    {"HKDD", "HKEY_DYN_DATA", OS_HKEY_DYN_DATA},
};

const char *Reason(uint32_t code) {
  switch (code) {
    case OS_ERROR_FILE_NOT_FOUND: return "not found";
    case OS_ERROR_ACCESS_DENIED: return "access denied";
    case OS_ERROR_INVALID_HANDLE: return "not available on that computer";
    case OS_ERROR_BAD_NETPATH: return "the computer cannot be reached";
    case OS_ERROR_INVALID_PARAMETER: return "invalid name or data";
    case OS_ERROR_BAD_PATHNAME: return "malformed key path";
    case OS_ERROR_BADDB: return "the key's file is unreadable";
    case OS_ERROR_KEY_DELETED: return "the key was deleted";
    case OS_ERROR_CHILD_MUST_BE_VOLATILE: return "a key below a volatile key must be volatile";
    case OS_ERROR_DISK_FULL: return "disk full";
    default: return "failed";
  }
}

int Fail(const std::string &what, int32_t code) {
  fprintf(stderr, "regtool: %s: %s (error %d)\n", what.c_str(), Reason(static_cast<uint32_t>(code)), code);
  return 1;
}

int Usage(const char *why) {
  fprintf(stderr, "regtool: %s\n%s", why, kUsage);
  return 2;
}

struct Target {
  OsHKey root = nullptr;  // the hive, or its remote counterpart
  bool remote = false;
  std::string path;       // below the hive
  std::string text;       // as given, for messages
};

struct Options {
  const char *host = nullptr;
  bool isVolatile = false;
  std::vector<const char *> args;
};

// Splits KEY into its hive and path and connects to the host when one is given.
int ResolveKey(const Options &o, const char *key, Target &t) {
  t.text = key;
  std::string k(key);
  size_t slash = k.find('\\');
  std::string hive = k.substr(0, slash);
  t.path = slash == std::string::npos ? "" : k.substr(slash + 1);
  OsHKey root = nullptr;
  for (const Root &r : kRoots)
    if (strcasecmp(hive.c_str(), r.shortName) == 0 || strcasecmp(hive.c_str(), r.longName) == 0) root = r.key;
  if (!root) {
    fprintf(stderr, "regtool: %s: the key must begin with HKLM, HKCU, HKU, HKCR or HKCC\n", key);
    return 2;
  }
  if (!o.host) {
    t.root = root;
    return 0;
  }
  int32_t r = os_RegConnectRegistry(o.host, root, &t.root);
  if (r) return Fail(std::string("cannot connect to ") + o.host, r);
  t.remote = t.root != root;
  return 0;
}

void Release(Target &t) {
  if (t.remote) os_RegCloseKey(t.root);
}

int Create(const Options &o, Target &t) {
  OsHKey k;
  uint32_t opt = o.isVolatile ? OS_REG_OPTION_VOLATILE : OS_REG_OPTION_NON_VOLATILE;
  int32_t r = os_RegCreateKeyEx(t.root, t.path.c_str(), opt, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (r) return Fail("cannot create " + t.text, r);
  os_RegCloseKey(k);
  return 0;
}

int Write(const Options &o, Target &t) {
  const char *name = o.args[2];
  uint32_t type;
  if (!rt_ParseType(o.args[3], &type)) return Usage("TYPE is sz, expand_sz, dword or binary");
  std::string bytes, why;
  if (!rt_ParseData(type, o.args[4], &bytes, &why)) {
    fprintf(stderr, "regtool: %s: %s\n", o.args[4], why.c_str());
    return 2;
  }
  OsHKey k;
  int32_t r = os_RegCreateKeyEx(t.root, t.path.c_str(), OS_REG_OPTION_NON_VOLATILE, OS_KEY_ALL_ACCESS, nullptr,
                                &k, nullptr);
  if (r) return Fail("cannot open " + t.text, r);
  r = os_RegSetValueEx(k, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
  os_RegCloseKey(k);
  if (r) return Fail("cannot write " + std::string(name) + " in " + t.text, r);
  return 0;
}

// Reads a whole value; its size may change between the two calls.
int32_t QueryAll(OsHKey k, const char *name, uint32_t *type, std::string &bytes) {
  for (;;) {
    uint32_t size = 0;
    int32_t r = os_RegQueryValueEx(k, name, type, nullptr, &size);
    if (r) return r;
    bytes.assign(size, '\0');
    r = os_RegQueryValueEx(k, name, type, bytes.data(), &size);
    if (r == static_cast<int32_t>(OS_ERROR_MORE_DATA)) continue;
    if (r == 0) bytes.resize(size);
    return r;
  }
}

int Read(const Options &o, Target &t) {
  const char *name = o.args.size() > 2 ? o.args[2] : "";
  OsHKey k;
  int32_t r = os_RegOpenKeyEx(t.root, t.path.c_str(), 0, OS_KEY_READ, &k);
  if (r) return Fail("cannot open " + t.text, r);
  uint32_t type = 0;
  std::string bytes;
  r = QueryAll(k, name, &type, bytes);
  os_RegCloseKey(k);
  if (r) return Fail("cannot read " + std::string(*name ? name : "the default value") + " in " + t.text, r);
  printf("%s\n", rt_FormatData(type, bytes, "\n").c_str());
  return 0;
}

int List(Target &t) {
  OsHKey k;
  int32_t r = os_RegOpenKeyEx(t.root, t.path.c_str(), 0, OS_KEY_READ, &k);
  if (r) return Fail("cannot open " + t.text, r);
  std::vector<char> name(256);
  for (uint32_t i = 0;; ++i) {
    uint32_t n = static_cast<uint32_t>(name.size());
    r = os_RegEnumKeyEx(k, i, name.data(), &n);
    if (r) break;
    printf("%s\\\n", name.data());
  }
  if (r == static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS)) {
    name.resize(16384);
    for (uint32_t i = 0;; ++i) {
      uint32_t n = static_cast<uint32_t>(name.size()), type = 0;
      r = os_RegEnumValue(k, i, name.data(), &n, &type, nullptr, nullptr);
      if (r) break;
      std::string bytes;
      r = QueryAll(k, name.data(), &type, bytes);
      if (r) break;
      printf("%s\t%s\t%s\n", name.data(), rt_TypeWord(type).c_str(), rt_FormatData(type, bytes, "\\0").c_str());
    }
  }
  os_RegCloseKey(k);
  if (r != static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS)) return Fail("cannot list " + t.text, r);
  return 0;
}

int Delete(const Options &o, Target &t) {
  if (o.args.size() == 2) {
    int32_t r = os_RegDeleteKey(t.root, t.path.c_str());
    if (r == static_cast<int32_t>(OS_ERROR_ACCESS_DENIED)) {
      fprintf(stderr, "regtool: cannot delete %s: it has subkeys or is a root (error %d)\n", t.text.c_str(), r);
      return 1;
    }
    if (r) return Fail("cannot delete " + t.text, r);
    return 0;
  }
  OsHKey k;
  int32_t r = os_RegOpenKeyEx(t.root, t.path.c_str(), 0, OS_KEY_SET_VALUE, &k);
  if (r) return Fail("cannot open " + t.text, r);
  r = os_RegDeleteValue(k, o.args[2]);
  os_RegCloseKey(k);
  if (r) return Fail("cannot delete " + std::string(o.args[2]) + " in " + t.text, r);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (optionsEnd || a[0] != '-' || a[1] != '-') {
      o.args.push_back(a);
    } else if (strcmp(a, "--") == 0) {
      optionsEnd = true;
    } else if (strcmp(a, "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(a, "--volatile") == 0) {
      o.isVolatile = true;
    } else if (strcmp(a, "--host") == 0) {
      if (++i == argc) return Usage("--host needs a computer name");
      o.host = argv[i];
    } else if (strncmp(a, "--host=", 7) == 0) {
      o.host = a + 7;
    } else {
      return Usage((std::string("unknown option ") + a).c_str());
    }
  }
  if (o.args.empty()) return Usage("no command given");
  std::string cmd = o.args[0];
  size_t n = o.args.size();
  if (cmd == "reboot") {
    if (n != 1) return Usage("reboot takes no arguments");
    int32_t r = os_RegReboot();
    return r ? Fail("cannot reboot", r) : 0;
  }
  struct Shape {
    const char *name;
    size_t minArgs, maxArgs;
  } const shapes[] = {{"create", 2, 2}, {"write", 5, 5}, {"read", 2, 3}, {"list", 2, 2}, {"delete", 2, 3}};
  const Shape *shape = nullptr;
  for (const Shape &s : shapes)
    if (cmd == s.name) shape = &s;
  if (!shape) return Usage(("unknown command " + cmd).c_str());
  if (n < shape->minArgs || n > shape->maxArgs) return Usage(("wrong number of arguments for " + cmd).c_str());
  if (o.isVolatile && cmd != "create") return Usage("--volatile belongs to create");
  Target t;
  if (int r = ResolveKey(o, o.args[1], t)) return r;
  int status;
  if (cmd == "create")
    status = Create(o, t);
  else if (cmd == "write")
    status = Write(o, t);
  else if (cmd == "read")
    status = Read(o, t);
  else if (cmd == "list")
    status = List(t);
  else
    status = Delete(o, t);
  Release(t);
  return status;
}
