// A run file of any bytes through the header, channel, record and row
// readers: a header read either refuses with a clear error or gives counts
// that fit the file; no read goes past a buffer.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_store.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = fuzz::Root() + "/FZ230101_120000.odl";
  FUZZ_CHECK(fuzz::WriteFile(path, data, size));
  CLogFileStore s;
  if (s.Open(nullptr, path.c_str(), OS_GENERIC_READ) != 0) {
    FUZZ_CHECK(os_GetLastError() != OS_ERROR_SUCCESS);
    return 0;
  }
  LogFileHeader h;
  if (s.ReadHeader(&h) != 0) {
    uint32_t e = os_GetLastError();
    FUZZ_CHECK(e == OS_ERROR_INVALID_DATA || e == OS_ERROR_HANDLE_EOF);
    return 0;
  }
  FUZZ_CHECK(h.blockCount <= LOG_MAX_BLOCKS && h.recordSize > 0);
  FUZZ_CHECK(uint64_t{h.firstRecord} + uint64_t{h.recordCount} * h.recordSize <= size || h.recordCount == 0);
  for (int b = 0; b < h.blockCount && b < 3; ++b) {
    int n = int(h.blocks[b].last) - int(h.blocks[b].first) + 1;
    std::vector<ChannelRecord> ch(size_t(n > 4 ? 4 : n));
    int rc = s.ReadChannels(&h, ch.data(), b, 0, int(ch.size()));
    FUZZ_CHECK(rc == 0 || rc == -1);
  }
  FUZZ_CHECK(s.ReadChannels(&h, nullptr, h.blockCount, 0, 1) == -1);
  uint32_t want = h.recordCount < 8 ? h.recordCount + 1 : 8;
  std::vector<uint8_t> buf(size_t(want) * h.recordSize + 1, 0xEE);
  int32_t got = s.ReadLogs(0, &h, buf.data(), int32_t(want), nullptr, nullptr, nullptr);
  FUZZ_CHECK(got >= 0 && uint32_t(got) <= want && uint32_t(got) <= h.recordCount);
  FUZZ_CHECK(buf.back() == 0xEE);
  int64_t rows = s.CountChannelRows(&h);
  FUZZ_CHECK(rows >= 0 && rows <= int64_t{h.recordCount});
  return 0;
}
