#include "framework/values/sav_values.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"

namespace {

// More records than any device has channels are not read.
const size_t kMaxRecords = 65536;

bool Paths(const char *folder, int kind, std::string *bin, std::string *tag) {
  if (!folder || kind < 0 || kind >= IO_TYPE_COUNT) return errno = EINVAL, false;
  const char *saved = cfg_GetFolder("TSQ_SAVED_VALUES");
  if (!saved) return false;
  std::string base = std::string(saved) + "\\" + folder + "_" + chan_KindShortName(kind);
  *bin = base + ".bin";
  *tag = base + ".tag";
  return true;
}

bool WriteAll(OsHandle file, const std::vector<uint8_t> &data) {
  uint32_t written = 0;
  return os_WriteFile(file, data.data(), static_cast<uint32_t>(data.size()), &written) == 0;
}

// Reads a whole file, at most `limit` bytes. False (last error set) on a read error.
bool ReadAll(OsHandle file, size_t limit, std::vector<uint8_t> *out) {
  out->assign(limit, 0);
  size_t got = 0;
  while (got < limit) {
    uint32_t r = 0;
    if (os_ReadFile(file, out->data() + got, static_cast<uint32_t>(limit - got), &r) != 0) return false;
    if (r == 0) break;
    got += r;
  }
  out->resize(got);
  return true;
}

OsHandle Open(const std::string &path, uint32_t access, uint32_t disposition) {
  return os_CreateFile(path.c_str(), access, OS_FILE_SHARE_READ, disposition, 0);
}

// Closes what is open and fails with the error that stopped the work.
int Fail(OsHandle a, OsHandle b) {
  uint32_t code = os_GetLastError();
  if (a) os_CloseHandle(a);
  if (b) os_CloseHandle(b);
  return os_Fail(code), -1;
}

uint32_t Word(const void *values, int32_t i) {
  uint32_t w;
  memcpy(&w, static_cast<const uint8_t *>(values) + 4 * static_cast<size_t>(i), 4);
  return w;
}

void PutWord(void *values, int32_t i, uint32_t w) { memcpy(static_cast<uint8_t *>(values) + 4 * static_cast<size_t>(i), &w, 4); }

bool Enabled(const ChannelRecord *r) { return chan_FlagBit(r, CHAN_FLAG_ENABLE); }

// A saved tag of `width` characters (zero-padded, no terminator when full)
// against a channel's tag: a full field matches the tag's first `width`
// characters, a shorter one the whole tag, ignoring case.
bool TagMatches(const char *field, size_t width, const char *tag) {
  size_t n = strnlen(field, width);
  if (n == 0) return false;
  if (n < width) return strlen(tag) == n && os_CompareNoCaseN(field, tag, n) == 0;
  return strlen(tag) >= n && os_CompareNoCaseN(field, tag, n) == 0;
}

void Store(void *values, const ChannelRecord *table, int32_t i, uint32_t saved) {
  if (chan_IsDigital(&table[i]))
    PutWord(values, i, (Word(values, i) & ~1u) | (saved & 1u));
  else
    PutWord(values, i, saved);
}

}  // namespace

int sav_WriteValues(const char *folder, int kind, const void *values, const ChannelRecord *table, int32_t count) {
  if (count < 0 || (count > 0 && (!values || !table))) return errno = EINVAL, -1;
  std::string bin, tag;
  if (!Paths(folder, kind, &bin, &tag)) return -1;
  std::vector<uint8_t> binData(sizeof(SavedValueRecord) * static_cast<size_t>(count), 0);
  std::vector<uint8_t> tagData(SAV_TAG_FILE_TAG * static_cast<size_t>(count), 0);
  for (int32_t i = 0; i < count; ++i) {
    char t[CHAN_TAG_MAX + 1];
    snprintf(t, sizeof t, "%s", chan_GetTag(&table[i]));
    SavedValueRecord r = {};
    if (Enabled(&table[i])) memcpy(r.tag, t, strnlen(t, SAV_BIN_TAG));
    uint32_t w = Word(values, i);
    memcpy(r.value, &w, 4);
    memcpy(binData.data() + sizeof r * static_cast<size_t>(i), &r, sizeof r);
    memcpy(tagData.data() + SAV_TAG_FILE_TAG * static_cast<size_t>(i), t, strnlen(t, SAV_TAG_FILE_TAG));
  }
  // Overwritten from the start, not truncated: a longer old file keeps its tail.
  OsHandle binFile = Open(bin, OS_GENERIC_WRITE, OS_OPEN_ALWAYS);
  if (!binFile) return -1;
  OsHandle tagFile = Open(tag, OS_GENERIC_WRITE, OS_OPEN_ALWAYS);
  if (!tagFile) return Fail(binFile, nullptr);
  if (!WriteAll(binFile, binData) || !WriteAll(tagFile, tagData)) return Fail(binFile, tagFile);
  os_CloseHandle(binFile);
  os_CloseHandle(tagFile);
  return 0;
}

int sav_ReadValues(const char *folder, int kind, int byTag, void *values, const ChannelRecord *table, int32_t count) {
  if (count < 0 || (count > 0 && (!values || !table))) return errno = EINVAL, -1;
  std::string bin, tag;
  if (!Paths(folder, kind, &bin, &tag)) return -1;
  OsHandle binFile = Open(bin, OS_GENERIC_READ, OS_OPEN_EXISTING);
  if (!binFile) return -1;
  // One record a channel: records past the channel count are not read.
  size_t wanted = static_cast<size_t>(count) < kMaxRecords ? static_cast<size_t>(count) : kMaxRecords;
  std::vector<uint8_t> binData, tagData;
  if (!ReadAll(binFile, wanted * sizeof(SavedValueRecord), &binData)) return Fail(binFile, nullptr);
  os_CloseHandle(binFile);
  bool haveTags = false;
  if (byTag) {
    if (OsHandle tagFile = Open(tag, OS_GENERIC_READ, OS_OPEN_EXISTING)) {
      haveTags = ReadAll(tagFile, wanted * SAV_TAG_FILE_TAG, &tagData);
      if (!haveTags) return Fail(tagFile, nullptr);
      os_CloseHandle(tagFile);
    }
  }
  size_t records = binData.size() / sizeof(SavedValueRecord);
  // A ".tag" file that ends before the records read is a failed read, found
  // before any value is touched.
  if (haveTags && tagData.size() / SAV_TAG_FILE_TAG < records) return os_Fail(OS_ERROR_HANDLE_EOF), -1;
  // Everything is read: only now are the values touched.
  for (int32_t i = 0; i < count; ++i) PutWord(values, i, 0);
  std::vector<std::string> tags(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) tags[static_cast<size_t>(i)] = chan_GetTag(&table[i]);
  for (size_t j = 0; j < records; ++j) {
    SavedValueRecord r;
    memcpy(&r, binData.data() + j * sizeof r, sizeof r);
    uint32_t saved;
    memcpy(&saved, r.value, 4);
    if (!byTag) {
      Store(values, table, static_cast<int32_t>(j), saved);
      continue;
    }
    const char *field = r.tag;
    size_t width = SAV_BIN_TAG;
    if (haveTags) {
      field = reinterpret_cast<const char *>(tagData.data() + j * SAV_TAG_FILE_TAG);
      width = SAV_TAG_FILE_TAG;
    }
    if (strnlen(field, width) == 0) continue;
    int32_t target = -1;
    if (Enabled(&table[j]) && TagMatches(field, width, tags[j].c_str())) target = static_cast<int32_t>(j);
    for (int32_t i = 0; i < count && target < 0; ++i)
      if (Enabled(&table[i]) && TagMatches(field, width, tags[static_cast<size_t>(i)].c_str())) target = i;
    if (target >= 0) Store(values, table, target, saved);
  }
  return 0;
}

int sav_UpdateValues(const char *folder, int kind, const void *oldValues, const void *newValues,
                     const ChannelRecord *table, int32_t count) {
  if (count < 0 || (count > 0 && (!oldValues || !newValues || !table))) return errno = EINVAL, -1;
  std::string bin, tag;
  if (!Paths(folder, kind, &bin, &tag)) return -1;
  OsHandle file = Open(bin, OS_GENERIC_WRITE, OS_OPEN_EXISTING);
  uint64_t size = 0;
  if (!file || os_GetFileSize(file, &size) != 0 || size < sizeof(SavedValueRecord) * static_cast<uint64_t>(count)) {
    if (file) os_CloseHandle(file);
    return sav_WriteValues(folder, kind, newValues, table, count);
  }
  for (int32_t i = 0; i < count; ++i) {
    uint32_t w = Word(newValues, i);
    if (w == Word(oldValues, i)) continue;
    uint64_t at = sizeof(SavedValueRecord) * static_cast<uint64_t>(i) + offsetof(SavedValueRecord, value);
    uint32_t written = 0;
    if (os_SetFilePointer(file, static_cast<int64_t>(at), OS_FILE_BEGIN, nullptr) != 0 ||
        os_WriteFile(file, &w, 4, &written) != 0)
      return Fail(file, nullptr);
  }
  os_CloseHandle(file);
  return 0;
}
