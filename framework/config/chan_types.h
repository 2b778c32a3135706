// The record types of a ChannelRecord's two layouts, through which generic
// code (XML files, schemas, change history) reaches every field by name.
//
// The two structure types are process-wide and their hardware field is set
// per channel (chan_LayoutType), so channel reads, writes and schema writing
// run one at a time in a process.
#pragma once
#include <cstdint>

#include "record/rec_type.h"

enum : int {
  CHAN_COMMON_FIELD_COUNT = 9,  // Enable ... EventEnable: the same in both layouts
  CHAN_ANALOGUE_FIELD_COUNT = 41,
  CHAN_DIGITAL_FIELD_COUNT = 19,
  CHAN_ANALOGUE_HW_SIZE = 16,
  CHAN_DIGITAL_HW_SIZE = 24,
};

// The layout that a Type byte selects (bit 0), with its hardware field typed
// as `hw`; NULL, or a type larger than the block, gives the plain 16- or
// 24-byte data type.
const RecordType *chan_LayoutType(int type, const RecordType *hw);
// The hardware field's name in a layout: "Analogue" or "Digital".
const char *chan_HardwareFieldName(int type);

// "AI" 0, "DI" 1, "AO" 2, "DO" 3, "CI" 4.
extern const RecordType chan_TypeIdType;

// The record methods of the split texts ("chanconfignstring"), of the bounded
// 32-character texts ("fixedstring", no terminator when full) and of the flag
// bits ("bitfield").
structs_init_fn chan_SplitTextInit;
structs_copy_fn chan_SplitTextCopy;
structs_equal_fn chan_SplitTextEqual;
structs_to_text_fn chan_SplitTextToText;
structs_from_text_fn chan_SplitTextFromText;
structs_equal_fn chan_FixedTextEqual;
structs_to_text_fn chan_FixedTextToText;
structs_from_text_fn chan_FixedTextFromText;
