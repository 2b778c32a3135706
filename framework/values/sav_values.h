// Saved output values (AO values, DO states) and zero offsets of a device,
// kept across restarts in the folder named TSQ_SAVED_VALUES:
//   "<folder>_<kind>.bin": one SavedValueRecord a channel, in channel order;
//   "<folder>_<kind>.tag": the channel's tag in 15 characters a channel.
// kind is the I/O kind's short name ("ai", "di", "ao", "do", "ci").
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/config/chan_record.h"

enum : int { SAV_BIN_TAG = 12, SAV_TAG_FILE_TAG = 15 };

// One channel of a ".bin" file: the first 12 characters of the tag
// (zero-padded, no terminator when 12 long; empty for a channel that is not
// enabled) and the value word (float bits, or the digital status word).
struct SavedValueRecord {
  char tag[SAV_BIN_TAG];
  uint8_t value[4];  // little-endian u32, unaligned in the file
};
static_assert(sizeof(SavedValueRecord) == 16);
static_assert(offsetof(SavedValueRecord, value) == 12);

// Writes one value word a channel (values: count 32-bit words) over both
// files from their start; a longer old file keeps its tail. 0, or -1 with
// errno (no saved-values folder, a short write).
int sav_WriteValues(const char *folder, int kind, const void *values, const ChannelRecord *table, int32_t count);
// Restores the count value words from the first count records of the ".bin"
// file: by channel position, or by tag (the ".tag" file's when there is one).
// Words without a saved value become 0; a digital channel takes only bit 0. A
// ".bin" file shorter than the count restores what it holds. The files are
// read before anything is stored, so a failed read leaves the values as they
// were. 0, or -1 with errno (no folder, no ".bin" file, a read error, a ".tag"
// file with fewer records than those read from ".bin": OS_ERROR_HANDLE_EOF).
int sav_ReadValues(const char *folder, int kind, int byTag, void *values, const ChannelRecord *table, int32_t count);
// Rewrites only the value words that differ between old and new values when
// the ".bin" file holds every channel, else writes both files whole.
int sav_UpdateValues(const char *folder, int kind, const void *oldValues, const void *newValues,
                     const ChannelRecord *table, int32_t count);
