// State texts of any 32 bytes: the wide form read is at most 32 characters,
// and what is stored from it reads back the same when it fits.
#include <cstdint>
#include <cstring>

#include "plugin/dbstores/db_utils.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[CHAN_TYPE_OFFSET] = 1;
  size_t n = size < 64 ? size : 64;
  memcpy(r.d.HighStateText, data, n < 32 ? n : 32);
  if (n > 32) memcpy(r.d.LowStateText, data + 32, n - 32);
  for (int field = 0; field < 2; ++field) {
    std::u16string w = field ? chn_LowStateTextToWide(&r) : chn_HighStateTextToWide(&r);
    FUZZ_CHECK(w.size() <= 32);
    ChannelRecord copy = r;
    if (field)
      chn_LowStateTextFromWide(&copy, w);
    else
      chn_HighStateTextFromWide(&copy, w);
    std::u16string back = field ? chn_LowStateTextToWide(&copy) : chn_HighStateTextToWide(&copy);
    FUZZ_CHECK(back.size() <= w.size());
    FUZZ_CHECK(w.compare(0, back.size(), back) == 0 || back.size() < w.size());
    // The other field is untouched.
    FUZZ_CHECK(memcmp(field ? copy.d.HighStateText : copy.d.LowStateText,
                      field ? r.d.HighStateText : r.d.LowStateText, 32) == 0);
  }
  r.raw[CHAN_TYPE_OFFSET] = 0;
  FUZZ_CHECK(chn_HighStateTextToWide(&r).empty());
  return 0;
}
