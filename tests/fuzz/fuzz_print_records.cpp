// Channel records of any bytes through both tables of the print-out onto a
// recording surface: every line drawn stays within the line bound and on a
// page with no control byte in it, and the tables answer as they may.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/ui/cf_print.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Surface {
  OsDc dc;
  int32_t height = 400, offset = 10, text = 10;
  size_t lines = 0;
  int pages = 1;
};
Surface *Of(OsDc *dc) { return static_cast<Surface *>(dc->impl); }
int32_t Caps(OsDc *dc, int32_t i) {
  return i == OS_DC_PHYSICALHEIGHT ? Of(dc)->height : i == OS_DC_PHYSICALOFFSETY || i == OS_DC_PHYSICALOFFSETX ? Of(dc)->offset : 0;
}
int Metrics(OsDc *dc, OsTextMetrics *m) {
  m->height = Of(dc)->text;
  return 1;
}
int Start(OsDc *dc) { return ++Of(dc)->pages, 1; }
int End(OsDc *) { return 1; }
int Text(OsDc *dc, int32_t x, int32_t y, const char *t, int32_t n) {
  FUZZ_CHECK(n > 0 && n <= PRN_LINE_MAX);
  for (int32_t i = 0; i < n; ++i) FUZZ_CHECK(static_cast<unsigned char>(t[i]) >= 0x20 && t[i] != 0x7f);
  FUZZ_CHECK(x == 2 * Of(dc)->offset && y > Of(dc)->offset);
  ++Of(dc)->lines;
  return 1;
}
const OsDcOps kOps = {Caps, Metrics, Start, End, Text};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  Surface s;
  s.dc = {sizeof(OsDc), &kOps, &s};
  s.text = 1 + data[0] % 40;
  bool digital = data[1] & 1;
  CfTypeEntry entry;
  memcpy(entry.code, data + 2, 2);
  size_t count = (size - 4) / sizeof(ChannelRecord) + 1;
  std::vector<ChannelRecord> records(count);
  memset(records.data(), 0, count * sizeof(ChannelRecord));
  memcpy(records.data(), data + 4, size - 4);
  entry.count = static_cast<uint16_t>(count);
  prn_Begin(&s.dc);
  int r = digital ? prn_PrintDigitalTable(&entry, 1, static_cast<int>(count), records.data())
                  : prn_PrintAnalogTable(&entry, 1, static_cast<int>(count), records.data());
  FUZZ_CHECK(digital ? r >= 1 : r == 0);
  FUZZ_CHECK(s.lines >= 1 && s.lines <= 4 + 4 * count * 2);
  FUZZ_CHECK(strlen(prn_ValueFormat(records[0].a.Gain)) <= PRN_VALUE_WIDTH);
  return 0;
}
