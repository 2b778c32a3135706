// Small services beside the database stores.
#pragma once
#include <cstdint>

struct TmSplit {
  uint8_t minutes;     // at most 99: longer periods are held there
  uint8_t seconds;     // 0-59
  uint16_t milliseconds;
};
// A period in milliseconds (a negative one counts as 0) for display.
TmSplit tm_SplitMilliseconds(int64_t milliseconds);
