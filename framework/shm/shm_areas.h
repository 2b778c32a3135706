// Channel data, configuration and event areas: "dm_" + code, "_conf", "_event".
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/time/tm_time.h"

// The header of a data area's payload (segment offset 128).
struct ChannelAreaHeader {
  char code[2];          // 0
  uint16_t entryWidth;   // 2: bytes of status word and value per channel (4 or 8)
  uint16_t count;        // 4: channel count N
  int16_t error;         // 6: reason of the last marking of all channels bad
  int32_t duration;      // 8: ms of the last evaluation of the type
  TimeStamp changed;     // 12: last configuration or text change
  // 20: u32 status words [N], then float values [N] in analogue areas
};
static_assert(sizeof(ChannelAreaHeader) == 20);
static_assert(offsetof(ChannelAreaHeader, entryWidth) == 2);
static_assert(offsetof(ChannelAreaHeader, count) == 4);
static_assert(offsetof(ChannelAreaHeader, error) == 6);
static_assert(offsetof(ChannelAreaHeader, duration) == 8);
static_assert(offsetof(ChannelAreaHeader, changed) == 12);

enum : uint32_t {
  CHAN_DESCRIPTION_BLOCK = 264,
  CHAN_RECORD_SIZE = 216,
};

// Channel status word bits.
enum : uint32_t {
  CST_VALUE = 0x0001,          // digital value; analogue: moved by the change deadband
  CST_ALARM_ANNOUNCED = 0x0002,
  CST_ALARM_HIGH = 0x0004,
  CST_EVENT = 0x0008,
  CST_EVENT_HIGH = 0x0010,
  CST_BAD = 0x0020,
  CST_RAISED_AT_ONCE = 0x0040,
  CST_ANALOGUE = 0x0080,
  CST_SERVER_0100 = 0x0100,
  CST_WARNING_HIGH = 0x0200,
  CST_WARNING = 0x0400,
  CST_ALARM = 0x0800,
  CST_SERVER_1000 = 0x1000,
};

// Open the areas of a code (either case), cached in the code's directory entry.
void *shm_OpenDataArea(const char *code);
void *shm_OpenConfArea(const char *code);
void *shm_OpenEventArea(const char *code);

// Payload pieces of a data area: header (segment + 128), status words
// (header + 20), values (header + 20 + 4N: analogue areas, entry width 8;
// NULL otherwise), description blocks (264 bytes a channel at header + 20 +
// N x entry width; NULL unless the data length reaches 20 + N x (entry width + 264)).
ChannelAreaHeader *shm_AreaHeader(void *dataArea);
uint32_t *shm_AreaStatusWords(void *dataArea);
float *shm_AreaValues(void *dataArea);
uint8_t *shm_AreaDescriptions(void *dataArea);
// The configuration area's ChannelRecord table (segment + 128).
uint8_t *shm_AreaRecords(void *confArea);
// Event area: rows of (N + 7) / 8 bytes, one bit per channel (channel 1 in the
// top bit 0x80 of the first byte); row 0 is the device's, row k logger k's.
uint32_t shm_EventRowSize(uint16_t channelCount);
uint8_t *shm_EventRow(void *eventArea, uint16_t channelCount, int row);
