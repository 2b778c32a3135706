// The 216-byte channel configuration record, as the scan loop reads it.
#pragma once
#include <cstddef>
#include <cstdint>

struct ChannelRecord {
  uint8_t raw[216];
};
static_assert(sizeof(ChannelRecord) == 216);

enum : int {
  CHAN_TYPE_OFFSET = 24,
  CHAN_FLAGS_OFFSET = 28,
  // Flag bits, numbered from the most significant bit of byte 28.
  CHAN_FLAG_ENABLE = 7,
  CHAN_FLAG_REFERENCE_ENABLE = 14,  // analogue layout
};

inline uint8_t chan_TypeByte(const ChannelRecord *r) { return r->raw[CHAN_TYPE_OFFSET]; }
inline bool chan_FlagBit(const ChannelRecord *r, int bit) {
  return (r->raw[CHAN_FLAGS_OFFSET + bit / 8] & (0x80 >> (bit % 8))) != 0;
}
inline void chan_SetFlagBit(ChannelRecord *r, int bit, bool on) {
  uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
  uint8_t &b = r->raw[CHAN_FLAGS_OFFSET + bit / 8];
  b = static_cast<uint8_t>(on ? (b | mask) : (b & ~mask));
}
