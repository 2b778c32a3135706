#include "plugin/loggers/log_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/os_error.h"

void log_HeaderToImage(const LogFileHeader *h, LogFileImage *image) {
  memset(image, 0, sizeof *image);
  image->endOffset = h->endOffset;
  image->type = h->type;
  image->blockCount = h->blockCount < LOG_HEADER_BLOCKS ? h->blockCount : LOG_HEADER_BLOCKS;
  image->recordCount = h->recordCount;
  image->start = h->start;
  image->stop = h->stop;
  image->firstRecord = h->firstRecord;
  image->recordSize = h->recordSize;
  memcpy(image->blocks, h->blocks, image->blockCount * sizeof(LogChannelBlock));
  image->tagColumns = h->tagColumns;
  image->sigChange = h->sigChange;
  memcpy(image->trigPrefix, h->trigPrefix, 2);
  image->trigNumber = h->trigNumber;
  memcpy(image->lagPrefix, h->lagPrefix, 2);
  image->lagNumber = h->lagNumber;
  memcpy(image->further1, h->further1, sizeof image->further1);
  memcpy(image->further2, h->further2, sizeof image->further2);
  image->further3 = h->further3;
  image->extLength = h->extLength;
  image->extOffset = h->extOffset;
}

void log_HeaderFromImage(const LogFileImage *image, const LogExtension *ext, LogFileHeader *h) {
  memset(h, 0, sizeof *h);
  h->endOffset = image->endOffset;
  h->type = image->type;
  h->recordCount = image->recordCount;
  h->start = image->start;
  h->stop = image->stop;
  h->firstRecord = image->firstRecord;
  h->recordSize = image->recordSize;
  if (ext) {
    h->blockCount = ext->blockCount;
    memcpy(h->blocks, ext->blocks, sizeof h->blocks);
    memcpy(&h->timeZone, ext->timeZone, sizeof h->timeZone);
  } else {
    h->blockCount = image->blockCount;
    memcpy(h->blocks, image->blocks, sizeof image->blocks);
  }
  h->tagColumns = image->tagColumns;
  h->sigChange = image->sigChange;
  memcpy(h->trigPrefix, image->trigPrefix, 2);
  h->trigNumber = image->trigNumber;
  memcpy(h->lagPrefix, image->lagPrefix, 2);
  h->lagNumber = image->lagNumber;
  memcpy(h->further1, image->further1, sizeof h->further1);
  memcpy(h->further2, image->further2, sizeof h->further2);
  h->further3 = image->further3;
  h->extLength = image->extLength;
  h->extOffset = image->extOffset;
}

void log_HeaderToExtension(const LogFileHeader *h, LogExtension *ext) {
  memset(ext, 0, sizeof *ext);
  ext->blockCount = h->blockCount;
  uint32_t n = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  memcpy(ext->blocks, h->blocks, n * sizeof(LogChannelBlock));
  memcpy(ext->timeZone, &h->timeZone, sizeof ext->timeZone);
}

uint64_t log_ChannelAreaEnd(const LogFileHeader *h) {
  uint64_t at = LOG_HEADER_SIZE;
  uint32_t n = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  for (uint32_t i = 0; i < n; ++i) {
    const LogChannelBlock &b = h->blocks[i];
    uint64_t channels = b.last >= b.first ? uint64_t{b.last} - b.first + 1 : 0;
    at += channels * LOG_CHANNEL_SIZE + 4;
  }
  return at;
}

uint64_t log_ChannelOffset(const LogFileHeader *h, int block, int k) {
  LogFileHeader before = *h;
  before.blockCount = static_cast<uint16_t>(block);
  return log_ChannelAreaEnd(&before) + 2 + uint64_t(k) * LOG_CHANNEL_SIZE;
}

int log_CheckHeader(const LogFileHeader *h) {
  // No block reaches past a 16-bit status offset and 65536 channels: a larger
  // record is no record of this format, and readers would size buffers by it.
  const uint32_t kRecordMax = 0xFFFFu + 0x10000u * 8;
  bool ok = h->type == LOG_FILE_TYPE && h->recordSize >= LOG_RECORD_TIME + 8 && h->recordSize <= kRecordMax &&
            h->blockCount <= LOG_MAX_BLOCKS && h->firstRecord >= LOG_HEADER_SIZE;
  for (uint32_t i = 0; ok && i < h->blockCount; ++i) {
    const LogChannelBlock &b = h->blocks[i];
    uint64_t channels = uint64_t{b.last} - b.first + 1;
    ok = b.last >= b.first && b.statusOffset >= LOG_RECORD_TIME + 8 &&
         b.statusOffset + channels * 8 <= h->recordSize;
  }
  if (ok) ok = log_ChannelAreaEnd(h) <= h->firstRecord;
  if (ok && h->extLength) ok = h->extOffset >= log_ChannelAreaEnd(h) && h->extOffset <= h->firstRecord;
  if (!ok) os_Fail(OS_ERROR_INVALID_DATA);
  return ok ? 0 : -1;
}

namespace {

// Status words and values lie at any byte offset the file gives.
typedef uint32_t UnalignedWord __attribute__((aligned(1), may_alias));

void MarkBlock(UnalignedWord *status, const UnalignedWord *values, uint32_t n) {
  // Values are nearly always finite: look at them alone first.
  uint32_t nonFinite = 0;
  for (uint32_t k = 0; k < n; ++k) nonFinite |= (values[k] & 0x7F800000u) == 0x7F800000u;
  if (!nonFinite) return;
  for (uint32_t k = 0; k < n; ++k) {
    uint32_t s = status[k], v = values[k];
    uint32_t notPresent = (s & (LOG_STATUS_PRESENT | LOG_STATUS_BAD)) ^ LOG_STATUS_PRESENT;
    uint32_t finite = (v & 0x7F800000u) ^ 0x7F800000u;
    status[k] = s | ((notPresent | finite) == 0 ? LOG_STATUS_BAD : 0u);
  }
}

}  // namespace

void log_MarkBadValues(const LogFileHeader *h, void *records, uint64_t count) {
  uint32_t size = h->recordSize;
  uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  for (uint64_t r = 0; r < count; ++r) {
    uint8_t *rec = static_cast<uint8_t *>(records) + r * size;
    for (uint32_t i = 0; i < blocks; ++i) {
      const LogChannelBlock &b = h->blocks[i];
      if (b.last < b.first) continue;
      uint32_t n = uint32_t{b.last} - b.first + 1;
      if (uint64_t{b.statusOffset} + uint64_t{n} * 8 > size) continue;  // a block the record cannot hold
      uint8_t *status = rec + b.statusOffset;
      const uint8_t *values = status + n * 4;
      // Branch-free over unaligned words so that it vectorises: a float is
      // NaN or infinite when its exponent bits are all set.
      MarkBlock(reinterpret_cast<UnalignedWord *>(status), reinterpret_cast<const UnalignedWord *>(values), n);
    }
  }
}

namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const char *p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  return true;
}

int Two(const char *p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

}  // namespace

int64_t log_ParseStamp(const char *s) {
  if (!Digits(s, 6) || s[6] != '_' || !Digits(s + 7, 6)) return -1;
  int yy = Two(s), mo = Two(s + 2), d = Two(s + 4), hh = Two(s + 7), mi = Two(s + 9), ss = Two(s + 11);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || hh > 23 || mi > 59 || ss > 59) return -1;
  int year = yy < 70 ? 2000 + yy : 1900 + yy;
  return DaysFromCivil(year, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + hh * 3600 + mi * 60 + ss;
}

void log_FormatStamp(int64_t seconds, char out[14]) {
  int64_t t = seconds, days = t >= 0 ? t / 86400 : (t - 86399) / 86400, rem = t - days * 86400;
  // civil from days
  int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = static_cast<int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153, d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
  char text[64];
  snprintf(text, sizeof text, "%02d%02u%02u_%02d%02d%02d", static_cast<int>(((y % 100) + 100) % 100), m % 100, d % 100,
           static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
  memcpy(out, text, 13);
  out[13] = 0;
}

uint32_t log_StampTail(const char *name, const char *ext) {
  size_t n = strlen(name), e = strlen(ext);
  if (e != 4) return 0;
  auto extAt = [&](size_t at) {
    for (size_t i = 0; i < 4; ++i)
      if ((name[at + i] | 0x20) != (ext[i] | 0x20)) return false;
    return true;
  };
  if (n >= LOG_CLOSED_STAMP_LEN) {
    const char *t = name + n - LOG_CLOSED_STAMP_LEN;
    if (log_ParseStamp(t) >= 0 && t[13] == '_' && log_ParseStamp(t + 14) >= 0 && extAt(n - 4)) return LOG_CLOSED_STAMP_LEN;
  }
  if (n >= LOG_OPEN_STAMP_LEN) {
    const char *t = name + n - LOG_OPEN_STAMP_LEN;
    if (log_ParseStamp(t) >= 0 && extAt(n - 4)) return LOG_OPEN_STAMP_LEN;
  }
  return 0;
}
