// The stored form of one registry key.
//
// Each key is a folder: its file ".key" holds the key's name as spelled at
// creation, its flags, the boot it belongs to (volatile keys), its change
// counter and all its values; each subkey is a sub-folder named by the
// subkey's folded name (regf_FolderName). Entries beginning with '.' are the
// store's own files, never keys.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum : uint32_t {
  REGF_MAGIC = 0x314B4752u,  // "RGK1"
  REGF_VERSION = 1,
  REGF_VOLATILE = 1,         // flags: lasts until the next reboot
  REGF_BOOT_MAGIC = 0x31544F42u,  // "BOT1"
};

// Little-endian, at the start of every ".key"; the body follows: the key's
// name (nameLen bytes), then valueCount values, each {u32 nameLen, u32 type,
// u32 dataLen, name, data}.
struct RegFileHeader {
  uint32_t magic;
  uint32_t version;
  uint64_t changeCount;
  uint64_t keyId;      // 0 for the root key of a hive
  uint32_t flags;
  uint32_t bootSeq;    // volatile keys: the reboot counter of their boot
  uint8_t bootId[16];  // volatile keys: the kernel's boot id of their boot
  uint32_t nameLen;
  uint32_t valueCount;
  uint32_t bodySize;
  uint32_t reserved;
};
static_assert(sizeof(RegFileHeader) == 64);
static_assert(offsetof(RegFileHeader, changeCount) == 8);
static_assert(offsetof(RegFileHeader, keyId) == 16);
static_assert(offsetof(RegFileHeader, flags) == 24);
static_assert(offsetof(RegFileHeader, bootSeq) == 28);
static_assert(offsetof(RegFileHeader, bootId) == 32);
static_assert(offsetof(RegFileHeader, nameLen) == 48);
static_assert(offsetof(RegFileHeader, valueCount) == 52);
static_assert(offsetof(RegFileHeader, bodySize) == 56);

// A boot of the machine: the kernel's boot id and the store's reboot counter.
// Kept in the files ".boot" (the current counter) and ".swept" (the boot a
// store was last cleaned for).
struct RegBootStamp {
  uint32_t magic;
  uint32_t seq;
  uint8_t bootId[16];
};
static_assert(sizeof(RegBootStamp) == 24);
static_assert(offsetof(RegBootStamp, seq) == 4);
static_assert(offsetof(RegBootStamp, bootId) == 8);

struct RegFileValue {
  std::string name;
  uint32_t type;
  std::string data;
};

struct RegKeyFile {
  RegFileHeader head;  // nameLen, valueCount and bodySize are set by regf_Encode
  std::string name;
  std::vector<RegFileValue> values;
};

void regf_Encode(const RegKeyFile &key, std::string &out);
// False when the bytes are not a whole, well-formed key file.
bool regf_DecodeHeader(const void *bytes, size_t size, RegFileHeader &head);
bool regf_Decode(const void *bytes, size_t size, RegKeyFile &key);

// Registry names compare as Windows compares them: upper-cased (code page 1252).
std::string regf_Fold(std::string_view name);
int regf_Compare(std::string_view a, std::string_view b);
// The folder name of a subkey: its folded name with '/', '%', control
// characters and a leading '.' written as %XX.
std::string regf_FolderName(std::string_view name);
