// Disk access of the registry store (one store per computer: ROOT/registry,
// ROOT/hosts/H/registry): key files, the store lock, boots and the cleaning
// of volatile keys of earlier boots.
//
// Readers take no lock: every key file is replaced whole (written beside it,
// then renamed), so a reader sees either the old or the new key. Writers hold
// the store lock for the whole read-modify-write of their files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_registry_file.h"

// The current boot: the kernel's boot id and this platform root's reboot counter.
void regs_CurrentBoot(RegBootStamp &out);

// Reads the key file of the key folder `folder` (only its header when
// headerOnly; name and values stay empty then). A missing key, a folder
// without a key file and a volatile key of an earlier boot give
// OS_ERROR_FILE_NOT_FOUND; an unreadable file OS_ERROR_BADDB.
uint32_t regs_ReadKey(const std::string &folder, bool headerOnly, RegKeyFile &key);
// Replaces the key file of `folder` at once. Holds the store lock.
uint32_t regs_WriteKey(const std::string &folder, const RegKeyFile &key);

struct RegSubkey {
  std::string name;   // as spelled at creation
  std::string entry;  // folder name
};
// The subkeys of a key folder, in case-insensitive name order.
uint32_t regs_ListSubkeys(const std::string &folder, std::vector<RegSubkey> &out);

// Removes a folder and everything in it (absent is fine).
uint32_t regs_RemoveTree(const std::string &folder);
// A new key identity, never 0.
uint64_t regs_NewKeyId(void);

// The store lock of one store folder (created when missing). The first writer
// after a reboot removes the volatile keys of earlier boots.
struct RegStoreLock {
  int fd = -1;
};
uint32_t regs_Lock(const std::string &store, RegStoreLock &lock);
// Moves the store's change stamp (the first 8 bytes of its lock file) and unlocks.
void regs_Unlock(RegStoreLock &lock);
// The store's change stamp, mapped from its lock file once per store and
// process; NULL when the file cannot be mapped.
const volatile uint64_t *regs_StoreStamp(const std::string &store);

// Starts a new boot for this platform root and removes every volatile key of
// the local store and of every host's store.
uint32_t regs_Reboot(void);
