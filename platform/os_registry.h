// The registry stand-in: a file-backed store under ROOT/registry/ (and
// ROOT/hosts/H/registry/ for a remote host "\\H").
//
// Key and value names are case-insensitive (their spelling at creation is kept
// for listings). HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" mirrors the COM links of
// ROOT/dev (ROOT/hosts/H/dev for "\\H") as volatile "\Device\tnwSerialNNNN"
// values in port order, made current whenever the key is opened or created;
// other values of that key are kept. Values are REG_SZ, REG_DWORD or REG_BINARY (other types are
// stored as given). Every change is atomic and safe across processes. A key
// created with OS_REG_OPTION_VOLATILE lasts until the next "reboot"
// (os_RegReboot, or a real restart of the machine). Each key carries a change
// counter that grows with every change of its values or subkeys.
//
// The calls return 0 (OS_ERROR_SUCCESS) or a Windows error code, as the
// registry calls of Windows do; they also leave the code in last error.
// A handle may only do what its access allows (else OS_ERROR_ACCESS_DENIED):
// OS_KEY_QUERY_VALUE to read and list values, OS_KEY_SET_VALUE to set and
// delete them, OS_KEY_ENUMERATE_SUB_KEYS to list subkeys, OS_KEY_CREATE_SUB_KEY
// to create a subkey, OS_KEY_NOTIFY for the change counter. Predefined keys
// allow everything. A handle that is not open gives OS_ERROR_INVALID_HANDLE.
// Key paths are names joined by '\' (one trailing '\' is ignored); a leading
// '\' or an empty name gives OS_ERROR_BAD_PATHNAME.
#pragma once
#include <cstdint>
#include "platform/os_handle.h"

typedef struct OsRegKey *OsHKey;

#define OS_HKEY_CLASSES_ROOT ((OsHKey)(uintptr_t)0x80000000u)
#define OS_HKEY_CURRENT_USER ((OsHKey)(uintptr_t)0x80000001u)
#define OS_HKEY_LOCAL_MACHINE ((OsHKey)(uintptr_t)0x80000002u)
#define OS_HKEY_USERS ((OsHKey)(uintptr_t)0x80000003u)
#define OS_HKEY_PERFORMANCE_DATA ((OsHKey)(uintptr_t)0x80000004u)
#define OS_HKEY_CURRENT_CONFIG ((OsHKey)(uintptr_t)0x80000005u)
#define OS_HKEY_DYN_DATA ((OsHKey)(uintptr_t)0x80000006u)

enum : uint32_t {
  OS_REG_NONE = 0,
  OS_REG_SZ = 1,
  OS_REG_EXPAND_SZ = 2,
  OS_REG_BINARY = 3,
  OS_REG_DWORD = 4,
  OS_REG_MULTI_SZ = 7,

  OS_REG_OPTION_NON_VOLATILE = 0,
  OS_REG_OPTION_VOLATILE = 1,

  OS_REG_CREATED_NEW_KEY = 1,
  OS_REG_OPENED_EXISTING_KEY = 2,

  OS_KEY_QUERY_VALUE = 0x0001,
  OS_KEY_SET_VALUE = 0x0002,
  OS_KEY_CREATE_SUB_KEY = 0x0004,
  OS_KEY_ENUMERATE_SUB_KEYS = 0x0008,
  OS_KEY_NOTIFY = 0x0010,
  OS_KEY_READ = 0x20019,
  OS_KEY_WRITE = 0x20006,
  OS_KEY_ALL_ACCESS = 0xF003F,
};

// Opens an existing key (sub may be "" or NULL for `root` itself).
// OS_ERROR_FILE_NOT_FOUND when it does not exist.
int32_t os_RegOpenKeyEx(OsHKey root, const char *sub, uint32_t options, uint32_t access, OsHKey *out);
// Opens or creates a key and every missing key on its path. A key below a
// volatile key must be volatile (OS_ERROR_CHILD_MUST_BE_VOLATILE).
// disposition (may be NULL): OS_REG_CREATED_NEW_KEY or OS_REG_OPENED_EXISTING_KEY.
int32_t os_RegCreateKeyEx(OsHKey root, const char *sub, uint32_t options, uint32_t access,
                          const OsSecurityAttributes *sa, OsHKey *out, uint32_t *disposition);
int32_t os_RegCloseKey(OsHKey key);

// Reads a value (name NULL or "" is the key's default value). type, data and
// size may be NULL. *size in: the buffer size; out: the value's size (REG_SZ
// includes the terminator). A buffer too small gives OS_ERROR_MORE_DATA with
// *size set. A key deleted since it was opened gives OS_ERROR_KEY_DELETED.
int32_t os_RegQueryValueEx(OsHKey key, const char *name, uint32_t *type, void *data, uint32_t *size);
// A REG_SZ or REG_EXPAND_SZ whose size leaves out the terminator is stored with one.
int32_t os_RegSetValueEx(OsHKey key, const char *name, uint32_t type, const void *data, uint32_t size);
int32_t os_RegDeleteValue(OsHKey key, const char *name);
// Deletes a key that has no subkeys (else OS_ERROR_ACCESS_DENIED); sub ""
// deletes `root` itself (a hive's root key cannot be deleted); NULL is
// OS_ERROR_INVALID_PARAMETER.
int32_t os_RegDeleteKey(OsHKey root, const char *sub);

// Enumeration, in name order (case-insensitive); OS_ERROR_NO_MORE_ITEMS at the end.
// *nameSize in: buffer size; out: the name's length (without terminator), also
// with OS_ERROR_MORE_DATA when the buffer is too small for it and its terminator.
int32_t os_RegEnumKeyEx(OsHKey key, uint32_t index, char *name, uint32_t *nameSize);
int32_t os_RegEnumValue(OsHKey key, uint32_t index, char *name, uint32_t *nameSize, uint32_t *type,
                        void *data, uint32_t *dataSize);

// The change counter of a key: any change of its values or of its subkeys
// (created, deleted) makes it grow. Costs one small read, cheap enough to poll.
int32_t os_RegGetChangeCount(OsHKey key, uint64_t *count);
// A word that moves whenever any key of the key's store may have changed
// (every write to the store moves it), read without touching a file: a look
// at it tells whether os_RegGetChangeCount is worth its read. Valid for the
// life of the process; NULL when it cannot be had (then poll the count).
const volatile uint64_t *os_RegStoreStamp(OsHKey key);

// Connects to the registry of another computer: host "\\H" (or "H"); NULL, "",
// "." or this computer's name is the local registry (*out is then `root`
// itself). Only OS_HKEY_LOCAL_MACHINE and OS_HKEY_USERS may be opened remotely
// (else OS_ERROR_INVALID_HANDLE). A host without a folder under ROOT/hosts/
// (matched ignoring case) is unreachable (OS_ERROR_BAD_NETPATH).
int32_t os_RegConnectRegistry(const char *host, OsHKey root, OsHKey *out);

// Drops every volatile key of this platform root (of all hosts).
int32_t os_RegReboot(void);
