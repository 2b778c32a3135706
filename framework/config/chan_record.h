// The 216-byte channel configuration record and its two layouts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/shm/io_types.h"

// The analogue layout (Type even: AI, AO, CI). Offsets are those of the file.
struct ChannelAnalogue {
  char tag1[8];               // 0: tag characters 1-8
  char desc1[16];             // 8: description characters 1-16
  uint8_t Type;               // 24
  uint8_t unused25[3];
  uint8_t flags[2];           // 28: flag bits, most significant bit of byte 28 first
  uint8_t unused30[2];
  char units1[4];             // 32: units characters 1-4
  float Gain;                 // 36
  float Offset;               // 40
  float HighEventLimit;       // 44
  float LowEventLimit;        // 48
  float HighAlarmLimit;       // 52
  float HighAlarmDeadband;    // 56
  float LowAlarmLimit;        // 60
  float LowAlarmDeadband;     // 64
  float SigChangeValue;       // 68
  uint8_t HighAlarmPriority;  // 72
  uint8_t LowAlarmPriority;   // 73
  char HighAlarmText[32];     // 74
  char LowAlarmText[32];      // 106
  char tag2[4];               // 138: tag characters 9-12
  char desc2[16];             // 142: description characters 17-32
  char tag3[3];               // 158: tag characters 13-15
  char units2[4];             // 161: units characters 5-8
  uint8_t ErrorAlarmPriority; // 165
  uint16_t ErrorAlarmDelay;   // 166
  float MaximumUnits;         // 168
  float MinimumUnits;         // 172
  float HighWarningLimit;     // 176
  float LowWarningLimit;      // 180
  uint16_t HighAlarmDelay;    // 184
  uint16_t LowAlarmDelay;     // 186
  uint8_t Analogue[16];       // 188: the device's hardware block
  uint8_t unused204[12];
};

// The digital layout (Type odd: DI, DO).
struct ChannelDigital {
  char tag1[8];               // 0
  char desc1[16];             // 8
  uint8_t Type;               // 24
  uint8_t unused25[3];
  uint8_t flags[2];           // 28
  uint8_t unused30[2];
  char HighStateText[32];     // 32
  char LowStateText[32];      // 64
  uint8_t AlarmPriority;      // 96
  char AlarmText[32];         // 97
  uint8_t unused129[9];
  char tag2[4];               // 138
  char desc2[16];             // 142
  char tag3[3];               // 158
  uint8_t unused161[25];
  uint8_t ErrorAlarmPriority; // 186
  uint8_t unused187;
  uint16_t ErrorAlarmDelay;   // 188
  uint16_t AlarmDelay;        // 190
  uint8_t Digital[24];        // 192: the device's hardware block
};

// One channel: 216 bytes, little-endian, as stored in the channel files and
// the configuration areas. The layout is chosen by bit 0 of Type.
union ChannelRecord {
  uint8_t raw[216];
  ChannelAnalogue a;
  ChannelDigital d;
};
static_assert(sizeof(ChannelAnalogue) == 216 && sizeof(ChannelDigital) == 216 && sizeof(ChannelRecord) == 216);
static_assert(offsetof(ChannelAnalogue, Type) == 24 && offsetof(ChannelAnalogue, flags) == 28);
static_assert(offsetof(ChannelAnalogue, units1) == 32 && offsetof(ChannelAnalogue, Gain) == 36);
static_assert(offsetof(ChannelAnalogue, Offset) == 40 && offsetof(ChannelAnalogue, HighEventLimit) == 44);
static_assert(offsetof(ChannelAnalogue, LowEventLimit) == 48 && offsetof(ChannelAnalogue, HighAlarmLimit) == 52);
static_assert(offsetof(ChannelAnalogue, HighAlarmDeadband) == 56 && offsetof(ChannelAnalogue, LowAlarmLimit) == 60);
static_assert(offsetof(ChannelAnalogue, LowAlarmDeadband) == 64 && offsetof(ChannelAnalogue, SigChangeValue) == 68);
static_assert(offsetof(ChannelAnalogue, HighAlarmPriority) == 72 && offsetof(ChannelAnalogue, LowAlarmPriority) == 73);
static_assert(offsetof(ChannelAnalogue, HighAlarmText) == 74 && offsetof(ChannelAnalogue, LowAlarmText) == 106);
static_assert(offsetof(ChannelAnalogue, tag2) == 138 && offsetof(ChannelAnalogue, desc2) == 142);
static_assert(offsetof(ChannelAnalogue, tag3) == 158 && offsetof(ChannelAnalogue, units2) == 161);
static_assert(offsetof(ChannelAnalogue, ErrorAlarmPriority) == 165 &&
              offsetof(ChannelAnalogue, ErrorAlarmDelay) == 166);
static_assert(offsetof(ChannelAnalogue, MaximumUnits) == 168 && offsetof(ChannelAnalogue, MinimumUnits) == 172);
static_assert(offsetof(ChannelAnalogue, HighWarningLimit) == 176 && offsetof(ChannelAnalogue, LowWarningLimit) == 180);
static_assert(offsetof(ChannelAnalogue, HighAlarmDelay) == 184 && offsetof(ChannelAnalogue, LowAlarmDelay) == 186);
static_assert(offsetof(ChannelAnalogue, Analogue) == 188);
static_assert(offsetof(ChannelDigital, HighStateText) == 32 && offsetof(ChannelDigital, LowStateText) == 64);
static_assert(offsetof(ChannelDigital, AlarmPriority) == 96 && offsetof(ChannelDigital, AlarmText) == 97);
static_assert(offsetof(ChannelDigital, tag2) == 138 && offsetof(ChannelDigital, desc2) == 142);
static_assert(offsetof(ChannelDigital, tag3) == 158 && offsetof(ChannelDigital, ErrorAlarmPriority) == 186);
static_assert(offsetof(ChannelDigital, ErrorAlarmDelay) == 188 && offsetof(ChannelDigital, AlarmDelay) == 190);
static_assert(offsetof(ChannelDigital, Digital) == 192);
static_assert(offsetof(ChannelAnalogue, tag1) == 0 && offsetof(ChannelAnalogue, desc1) == 8);
static_assert(offsetof(ChannelAnalogue, unused25) == 25 && offsetof(ChannelAnalogue, unused30) == 30);
static_assert(offsetof(ChannelAnalogue, unused204) == 204);
static_assert(offsetof(ChannelDigital, tag1) == 0 && offsetof(ChannelDigital, desc1) == 8);
static_assert(offsetof(ChannelDigital, Type) == 24 && offsetof(ChannelDigital, unused25) == 25);
static_assert(offsetof(ChannelDigital, flags) == 28 && offsetof(ChannelDigital, unused30) == 30);
static_assert(offsetof(ChannelDigital, unused129) == 129 && offsetof(ChannelDigital, unused161) == 161);
static_assert(offsetof(ChannelDigital, unused187) == 187);

enum : int {
  CHAN_TYPE_OFFSET = 24,
  CHAN_FLAGS_OFFSET = 28,
  CHAN_ANALOGUE_HW_OFFSET = 188,
  CHAN_DIGITAL_HW_OFFSET = 192,
};

// Flag bits, numbered from the most significant bit of byte 28: bit n is byte
// 28 + n / 8, mask 0x80 >> (n % 8).
enum ChannelAnalogueFlag : int {
  CHAN_AF_LOW_ALARM_DRIVE_COMMON = 0,
  CHAN_AF_LOW_ALARM_DEADBAND_ENABLE = 1,
  CHAN_AF_LOW_ALARM_ENABLE = 2,
  CHAN_AF_HIGH_ALARM_DRIVE_COMMON = 3,
  CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE = 4,
  CHAN_AF_HIGH_ALARM_ENABLE = 5,
  CHAN_AF_EVENT_ENABLE = 6,
  CHAN_AF_ENABLE = 7,
  CHAN_AF_ERROR_ALARM_DRIVE_COMMON = 9,
  CHAN_AF_ERROR_ALARM_ENABLE = 10,
  CHAN_AF_LOW_WARNING_ENABLE = 11,
  CHAN_AF_HIGH_WARNING_ENABLE = 12,
  CHAN_AF_SCALING_ENABLE = 13,
  CHAN_AF_REFERENCE_ENABLE = 14,
  CHAN_AF_SIG_CHANGE_ENABLE = 15,
};
enum ChannelDigitalFlag : int {
  CHAN_DF_ERROR_ALARM_DRIVE_COMMON = 0,
  CHAN_DF_ERROR_ALARM_ENABLE = 1,
  CHAN_DF_ALARM_STATE = 2,
  CHAN_DF_EVENT_STATE = 3,
  CHAN_DF_ALARM_ENABLE = 4,
  CHAN_DF_EVENT_ENABLE = 5,
  CHAN_DF_ALARM_DRIVE_COMMON = 6,
  CHAN_DF_ENABLE = 7,
};
enum : int {
  CHAN_FLAG_ENABLE = CHAN_AF_ENABLE,  // the same bit in both layouts
  CHAN_FLAG_REFERENCE_ENABLE = CHAN_AF_REFERENCE_ENABLE,
};

// A flag bit's mask in its byte, and in the little-endian word of bytes 28-29
// as the status rules test the flags.
constexpr uint8_t chan_FlagByteMask(int bit) { return static_cast<uint8_t>(0x80 >> (bit % 8)); }
constexpr uint16_t chan_FlagWordMask(int bit) {
  return static_cast<uint16_t>(chan_FlagByteMask(bit) << (8 * (bit / 8)));
}

enum : uint16_t {
  CHAN_AW_ENABLE = chan_FlagWordMask(CHAN_AF_ENABLE),
  CHAN_AW_EVENT_ENABLE = chan_FlagWordMask(CHAN_AF_EVENT_ENABLE),
  CHAN_AW_HIGH_ALARM_ENABLE = chan_FlagWordMask(CHAN_AF_HIGH_ALARM_ENABLE),
  CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE = chan_FlagWordMask(CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE),
  CHAN_AW_HIGH_ALARM_DRIVE_COMMON = chan_FlagWordMask(CHAN_AF_HIGH_ALARM_DRIVE_COMMON),
  CHAN_AW_LOW_ALARM_ENABLE = chan_FlagWordMask(CHAN_AF_LOW_ALARM_ENABLE),
  CHAN_AW_LOW_ALARM_DEADBAND_ENABLE = chan_FlagWordMask(CHAN_AF_LOW_ALARM_DEADBAND_ENABLE),
  CHAN_AW_LOW_ALARM_DRIVE_COMMON = chan_FlagWordMask(CHAN_AF_LOW_ALARM_DRIVE_COMMON),
  CHAN_AW_SIG_CHANGE_ENABLE = chan_FlagWordMask(CHAN_AF_SIG_CHANGE_ENABLE),
  CHAN_AW_REFERENCE_ENABLE = chan_FlagWordMask(CHAN_AF_REFERENCE_ENABLE),
  CHAN_AW_SCALING_ENABLE = chan_FlagWordMask(CHAN_AF_SCALING_ENABLE),
  CHAN_AW_HIGH_WARNING_ENABLE = chan_FlagWordMask(CHAN_AF_HIGH_WARNING_ENABLE),
  CHAN_AW_LOW_WARNING_ENABLE = chan_FlagWordMask(CHAN_AF_LOW_WARNING_ENABLE),
  CHAN_AW_ERROR_ALARM_ENABLE = chan_FlagWordMask(CHAN_AF_ERROR_ALARM_ENABLE),
  CHAN_AW_ERROR_ALARM_DRIVE_COMMON = chan_FlagWordMask(CHAN_AF_ERROR_ALARM_DRIVE_COMMON),
  CHAN_DW_ENABLE = chan_FlagWordMask(CHAN_DF_ENABLE),
  CHAN_DW_ALARM_DRIVE_COMMON = chan_FlagWordMask(CHAN_DF_ALARM_DRIVE_COMMON),
  CHAN_DW_EVENT_ENABLE = chan_FlagWordMask(CHAN_DF_EVENT_ENABLE),
  CHAN_DW_ALARM_ENABLE = chan_FlagWordMask(CHAN_DF_ALARM_ENABLE),
  CHAN_DW_EVENT_STATE = chan_FlagWordMask(CHAN_DF_EVENT_STATE),
  CHAN_DW_ALARM_STATE = chan_FlagWordMask(CHAN_DF_ALARM_STATE),
  CHAN_DW_ERROR_ALARM_ENABLE = chan_FlagWordMask(CHAN_DF_ERROR_ALARM_ENABLE),
  CHAN_DW_ERROR_ALARM_DRIVE_COMMON = chan_FlagWordMask(CHAN_DF_ERROR_ALARM_DRIVE_COMMON),
};

inline uint16_t chan_FlagWord(const ChannelRecord *r) {
  return static_cast<uint16_t>(r->raw[CHAN_FLAGS_OFFSET] | (r->raw[CHAN_FLAGS_OFFSET + 1] << 8));
}
inline bool chan_IsDigital(const ChannelRecord *r) { return (r->raw[CHAN_TYPE_OFFSET] & 1) != 0; }

inline uint8_t chan_TypeByte(const ChannelRecord *r) { return r->raw[CHAN_TYPE_OFFSET]; }

// The flag bits on the two flag bytes themselves (record + 28), and on a record.
inline bool chan_FlagBitAt(const uint8_t *flags, int bit) { return (flags[bit / 8] & chan_FlagByteMask(bit)) != 0; }
inline void chan_PutFlagBitAt(uint8_t *flags, int bit, bool on) {
  uint8_t &b = flags[bit / 8];
  b = static_cast<uint8_t>(on ? (b | chan_FlagByteMask(bit)) : (b & ~chan_FlagByteMask(bit)));
}
inline bool chan_FlagBit(const ChannelRecord *r, int bit) { return chan_FlagBitAt(r->raw + CHAN_FLAGS_OFFSET, bit); }
inline void chan_SetFlagBit(ChannelRecord *r, int bit, bool on) {
  chan_PutFlagBitAt(r->raw + CHAN_FLAGS_OFFSET, bit, on);
}

enum : int {
  // Digital layout texts.
  CHAN_HIGH_STATE_TEXT_OFFSET = 32,
  CHAN_ALARM_TEXT_OFFSET = 97,
  CHAN_TEXT_SIZE = 32,
};

// The tag joined from its pieces (0, 8), (138, 4) and (158, 3): at most 15
// characters; a piece ends at its first zero.
inline void chan_JoinTag(const ChannelRecord *r, char out[16]) {
  static const int kPieces[3][2] = {{0, 8}, {138, 4}, {158, 3}};
  size_t n = 0;
  for (const auto &p : kPieces)
    for (int i = 0; i < p[1] && r->raw[p[0] + i]; ++i) out[n++] = static_cast<char>(r->raw[p[0] + i]);
  out[n] = '\0';
}

// A 32-character text field: zero-padded, no terminator when full.
inline void chan_PutText32(ChannelRecord *r, int offset, const char *text) {
  size_t n = 0;
  while (n < CHAN_TEXT_SIZE && text[n]) ++n;
  for (size_t i = 0; i < CHAN_TEXT_SIZE; ++i) r->raw[offset + i] = i < n ? static_cast<uint8_t>(text[i]) : 0;
}
inline void chan_GetText32(const ChannelRecord *r, int offset, char out[CHAN_TEXT_SIZE + 1]) {
  size_t n = 0;
  while (n < CHAN_TEXT_SIZE && r->raw[offset + n]) {
    out[n] = static_cast<char>(r->raw[offset + n]);
    ++n;
  }
  out[n] = '\0';
}
