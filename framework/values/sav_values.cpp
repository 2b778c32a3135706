#include "framework/values/sav_values.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"
#include "platform/os_file.h"

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

bool WriteAll(int fd, const std::vector<uint8_t> &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

// Reads a whole file, at most `limit` bytes. False with errno on a read error.
bool ReadAll(int fd, size_t limit, std::vector<uint8_t> *out) {
  out->assign(limit, 0);
  size_t got = 0;
  while (got < limit) {
    ssize_t r = read(fd, out->data() + got, limit - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  out->resize(got);
  return true;
}

int Fail(int fdA, int fdB) {
  int e = errno;
  if (fdA >= 0) close(fdA);
  if (fdB >= 0) close(fdB);
  errno = e;
  return -1;
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
  if (n < width) return strlen(tag) == n && strncasecmp(field, tag, n) == 0;
  return strlen(tag) >= n && strncasecmp(field, tag, n) == 0;
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
  int fdBin = os_Open(bin.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fdBin < 0) return -1;
  int fdTag = os_Open(tag.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fdTag < 0) return Fail(fdBin, -1);
  if (!WriteAll(fdBin, binData) || !WriteAll(fdTag, tagData)) return Fail(fdBin, fdTag);
  close(fdBin);
  if (close(fdTag) != 0) return -1;
  return 0;
}

int sav_ReadValues(const char *folder, int kind, int byTag, void *values, const ChannelRecord *table, int32_t count) {
  if (count < 0 || (count > 0 && (!values || !table))) return errno = EINVAL, -1;
  std::string bin, tag;
  if (!Paths(folder, kind, &bin, &tag)) return -1;
  int fdBin = os_Open(bin.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fdBin < 0) return -1;
  // One record a channel: records past the channel count are not read.
  size_t wanted = static_cast<size_t>(count) < kMaxRecords ? static_cast<size_t>(count) : kMaxRecords;
  std::vector<uint8_t> binData, tagData;
  if (!ReadAll(fdBin, wanted * sizeof(SavedValueRecord), &binData)) return Fail(fdBin, -1);
  close(fdBin);
  bool haveTags = false;
  if (byTag) {
    int fdTag = os_Open(tag.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fdTag >= 0) {
      haveTags = ReadAll(fdTag, wanted * SAV_TAG_FILE_TAG, &tagData);
      int e = errno;
      close(fdTag);
      if (!haveTags) return errno = e, -1;
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
  int fd = os_Open(bin.c_str(), O_WRONLY | O_CLOEXEC, 0);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < sizeof(SavedValueRecord) * static_cast<uint64_t>(count)) {
    if (fd >= 0) close(fd);
    return sav_WriteValues(folder, kind, newValues, table, count);
  }
  for (int32_t i = 0; i < count; ++i) {
    uint32_t w = Word(newValues, i);
    if (w == Word(oldValues, i)) continue;
    off_t at = static_cast<off_t>(sizeof(SavedValueRecord) * static_cast<size_t>(i) + offsetof(SavedValueRecord, value));
    if (pwrite(fd, &w, 4, at) != 4) {
      if (errno == 0) errno = EIO;
      return Fail(fd, -1);
    }
  }
  return close(fd) == 0 ? 0 : -1;
}
