// The logged-data file (".odl") of one logger run: a 900-byte header, the
// channel records of each channel block between the markers 0x8002 and
// 0x8003, an optional extension block, then fixed-size data records that each
// begin with 0x8004. All integers are little-endian.
//
// Positions are 64-bit. The header's end-offset word is 32-bit: past 4 GiB it
// holds LOG_END_UNKNOWN, and readers size the file instead.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/time/tm_time.h"

inline constexpr uint16_t LOG_FILE_TYPE = 0x8001;
inline constexpr uint16_t LOG_BLOCK_START = 0x8002;
inline constexpr uint16_t LOG_BLOCK_END = 0x8003;
inline constexpr uint16_t LOG_RECORD_MARK = 0x8004;
inline constexpr uint16_t LOG_KIND_DIGITAL = 4;
inline constexpr uint32_t LOG_HEADER_SIZE = 900;
inline constexpr uint32_t LOG_HEADER_BLOCKS = 16;    // channel blocks the 900-byte image holds
inline constexpr uint32_t LOG_MAX_BLOCKS = 64;       // channel blocks the extension holds
inline constexpr uint32_t LOG_EXTENSION_SIZE = 3504; // at most this much of the extension is read or written
inline constexpr uint32_t LOG_CHANNEL_SIZE = 216;
inline constexpr uint32_t LOG_END_UNKNOWN = 0xFFFFFFFFu;
inline constexpr uint32_t LOG_STATUS_PRESENT = 0x80;
inline constexpr uint32_t LOG_STATUS_BAD = 0x20;
inline constexpr uint32_t LOG_RECORD_TIME = 4;       // offset of a record's TimeStamp

// One channel block: consecutive channel numbers of one data-area prefix.
struct LogChannelBlock {
  char prefix[2];         // 0: "AI", not terminated
  uint16_t first;         // 2
  uint16_t last;          // 4
  uint16_t kind;          // 6: LOG_KIND_DIGITAL, else analogue
  uint16_t statusOffset;  // 8: in each record: u32 status per channel, then f32 values
  char source[24];        // 10: server or processor
  uint8_t sourceEnd;      // 34: 0
  uint8_t lag;            // 35
  uint8_t unused[16];     // 36
};
static_assert(sizeof(LogChannelBlock) == 52);
static_assert(offsetof(LogChannelBlock, first) == 2);
static_assert(offsetof(LogChannelBlock, last) == 4);
static_assert(offsetof(LogChannelBlock, kind) == 6);
static_assert(offsetof(LogChannelBlock, statusOffset) == 8);
static_assert(offsetof(LogChannelBlock, source) == 10);
static_assert(offsetof(LogChannelBlock, sourceEnd) == 34);
static_assert(offsetof(LogChannelBlock, lag) == 35);
static_assert(offsetof(LogChannelBlock, unused) == 36);

struct LogSystemTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, ms;
};
static_assert(sizeof(LogSystemTime) == 16);

// The logging computer's time zone, as Windows lays it out.
struct TIME_ZONE_INFORMATION {
  int32_t Bias;                 // 0
  uint16_t StandardName[32];    // 4
  LogSystemTime StandardDate;   // 68
  int32_t StandardBias;         // 84
  uint16_t DaylightName[32];    // 88
  LogSystemTime DaylightDate;   // 152
  int32_t DaylightBias;         // 168
};
static_assert(sizeof(TIME_ZONE_INFORMATION) == 172);
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardName) == 4);
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardDate) == 68);
static_assert(offsetof(TIME_ZONE_INFORMATION, StandardBias) == 84);
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightName) == 88);
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightDate) == 152);
static_assert(offsetof(TIME_ZONE_INFORMATION, DaylightBias) == 168);

// The header as it lies at offset 0 of the file.
struct LogFileImage {
  uint32_t endOffset;                          // 0
  uint16_t type;                               // 4
  uint16_t blockCount;                         // 6: at most 16
  uint32_t recordCount;                        // 8
  TimeStamp start;                             // 12
  TimeStamp stop;                              // 20
  uint32_t firstRecord;                        // 28
  uint32_t recordSize;                         // 32
  LogChannelBlock blocks[LOG_HEADER_BLOCKS];   // 36
  uint8_t tagColumns;                          // 868
  uint8_t sigChange;                           // 869
  char trigPrefix[2];                          // 870
  uint16_t trigNumber;                         // 872
  char lagPrefix[2];                           // 874
  uint16_t lagNumber;                          // 876
  uint8_t further1[8];                         // 878
  uint8_t further2[4];                         // 886: a u32, unaligned
  uint16_t further3;                           // 890
  uint32_t extLength;                          // 892
  uint32_t extOffset;                          // 896
};
static_assert(sizeof(LogFileImage) == LOG_HEADER_SIZE);
static_assert(offsetof(LogFileImage, type) == 4);
static_assert(offsetof(LogFileImage, blockCount) == 6);
static_assert(offsetof(LogFileImage, recordCount) == 8);
static_assert(offsetof(LogFileImage, start) == 12);
static_assert(offsetof(LogFileImage, stop) == 20);
static_assert(offsetof(LogFileImage, firstRecord) == 28);
static_assert(offsetof(LogFileImage, recordSize) == 32);
static_assert(offsetof(LogFileImage, blocks) == 36);
static_assert(offsetof(LogFileImage, tagColumns) == 868);
static_assert(offsetof(LogFileImage, sigChange) == 869);
static_assert(offsetof(LogFileImage, trigPrefix) == 870);
static_assert(offsetof(LogFileImage, trigNumber) == 872);
static_assert(offsetof(LogFileImage, lagPrefix) == 874);
static_assert(offsetof(LogFileImage, lagNumber) == 876);
static_assert(offsetof(LogFileImage, further1) == 878);
static_assert(offsetof(LogFileImage, further2) == 886);
static_assert(offsetof(LogFileImage, further3) == 890);
static_assert(offsetof(LogFileImage, extLength) == 892);
static_assert(offsetof(LogFileImage, extOffset) == 896);

// The extension block, after the last channel block's end marker.
struct LogExtension {
  uint16_t blockCount;                         // 0: up to 64
  LogChannelBlock blocks[LOG_MAX_BLOCKS];      // 2
  uint8_t pad[2];                              // 3330
  uint8_t timeZone[172];                       // 3332: TIME_ZONE_INFORMATION, unaligned here
};
static_assert(sizeof(LogExtension) == LOG_EXTENSION_SIZE);
static_assert(offsetof(LogExtension, blocks) == 2);
static_assert(offsetof(LogExtension, pad) == 3330);
static_assert(offsetof(LogExtension, timeZone) == 3332);

// The header every store reads into and writes from: the image's fields with
// room for 64 blocks, then the extension's length, offset and time zone.
struct LogFileHeader {
  uint32_t endOffset;
  uint16_t type;
  uint16_t blockCount;
  uint32_t recordCount;
  TimeStamp start;
  TimeStamp stop;
  uint32_t firstRecord;
  uint32_t recordSize;
  LogChannelBlock blocks[LOG_MAX_BLOCKS];
  uint8_t tagColumns;
  uint8_t sigChange;
  char trigPrefix[2];
  uint16_t trigNumber;
  char lagPrefix[2];
  uint16_t lagNumber;
  uint8_t further1[8];
  uint8_t further2[4];
  uint16_t further3;
  uint32_t extLength;
  uint32_t extOffset;
  TIME_ZONE_INFORMATION timeZone;
};
static_assert(offsetof(LogFileHeader, blocks) == 36);
static_assert(offsetof(LogFileHeader, tagColumns) == 36 + 64 * 52);
static_assert(offsetof(LogFileHeader, extLength) == 3388);
static_assert(offsetof(LogFileHeader, timeZone) == 3396);
static_assert(sizeof(LogFileHeader) == 3568);

// The 900-byte image of a header (block count and table cut to 16).
void log_HeaderToImage(const LogFileHeader *h, LogFileImage *image);
// A header from its image and, when extLength is nonzero, its extension
// (NULL: none read).
void log_HeaderFromImage(const LogFileImage *image, const LogExtension *ext, LogFileHeader *h);
void log_HeaderToExtension(const LogFileHeader *h, LogExtension *ext);
// Whether a header can be trusted to address the file: the type, a record
// size that holds its blocks and no more than any block can reach, at most 64 blocks, first <= last, a channel
// area that ends before the first record. 0, or -1 (OS_ERROR_INVALID_DATA).
int log_CheckHeader(const LogFileHeader *h);
// Bytes from the header's start to the end of the last block's end marker.
uint64_t log_ChannelAreaEnd(const LogFileHeader *h);
// File offset of channel `k` of block `block`.
uint64_t log_ChannelOffset(const LogFileHeader *h, int block, int k);
// The end-offset word for a 64-bit end.
inline uint32_t log_EndWord(uint64_t end) { return end > 0xFFFFFFFEull ? LOG_END_UNKNOWN : static_cast<uint32_t>(end); }
// Marks bad values (present, not yet bad, NaN or infinite) in `count` whole
// records.
void log_MarkBadValues(const LogFileHeader *h, void *records, uint64_t count);

// Run names: prefix, "YYMMDD_HHMMSS" start stamp, for a closed run "_" and
// the end stamp, then ".odl". The stamp and extension of an open run are 17
// characters, of a closed one 31.
inline constexpr uint32_t LOG_OPEN_STAMP_LEN = 17, LOG_CLOSED_STAMP_LEN = 31;
// The length of the stamp-and-extension tail of `name` ("ext" such as
// ".odl"), 17 or 31, or 0 when it ends in none.
uint32_t log_StampTail(const char *name, const char *ext);
// Seconds of a "YYMMDD_HHMMSS" stamp (year below 70: 2000 on); -1 when not one.
int64_t log_ParseStamp(const char *stamp);
void log_FormatStamp(int64_t seconds, char out[14]);
