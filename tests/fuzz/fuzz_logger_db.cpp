// A database file of any bytes as a logger run: opening, the header, the
// channels, the records and the sections either fail with a message or give
// results that fit their buffers; nothing is written past a capacity.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "plugin/loggers/log_db_store.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string dir = fuzz::Root() + "/drives/c/fzdb";
  static const bool made = [] {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return !ec;
  }();
  FUZZ_CHECK(made);
  const std::string path = dir + "/run.mdb";
  // A log left by an earlier input would be replayed into this one.
  for (const char *s : {"-wal", "-shm", "-journal"}) remove((path + s).c_str());
  FUZZ_CHECK(fuzz::WriteFile(path, data, size));
  CLogDbStore s;
  const char *cs = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\fzdb\\run.mdb;LoggerName=L;LoggerSeq=1";
  if (s.Open(nullptr, cs, 0x80000000u) != 0) {
    FUZZ_CHECK(*s.GetErrorSummary() != '\0');
    return 0;
  }
  FUZZ_CHECK(!s.TablePrefix().empty());
  LogFileHeader h;
  if (s.ReadHeader(&h) != 0) {
    FUZZ_CHECK(*s.GetErrorSummary() != '\0');
    return 0;
  }
  FUZZ_CHECK(h.blockCount <= LOG_MAX_BLOCKS && h.recordSize >= 18);
  for (int b = 0; b < h.blockCount && b < 3; ++b) {
    int n = int(h.blocks[b].last) - int(h.blocks[b].first) + 1;
    FUZZ_CHECK(n >= 1);
    std::vector<ChannelRecord> ch(size_t(n > 4 ? 4 : n) + 1);
    memset(ch.back().raw, 0xEE, sizeof ch.back().raw);
    int rc = s.ReadChannels(&h, ch.data(), b, 0, int(ch.size()) - 1);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(ch.back().raw[0] == 0xEE && ch.back().raw[215] == 0xEE);
  }
  FUZZ_CHECK(s.ReadChannels(&h, nullptr, h.blockCount, 0, 1) == -1);
  if (h.recordSize <= (1u << 20)) {
    uint32_t want = h.recordCount < 8 ? h.recordCount + 1 : 8;
    std::vector<uint8_t> buf(size_t(want) * h.recordSize + 1, 0xEE);
    int32_t got = s.ReadLogs(0, &h, buf.data(), int32_t(want), nullptr, nullptr, nullptr);
    FUZZ_CHECK(got >= 0 && uint32_t(got) <= want && uint32_t(got) <= h.recordCount);
    FUZZ_CHECK(buf.back() == 0xEE);
  }
  for (const char *name : {"HEADER", "TEXT", "PREDEFINED", "POSITIONS", "TARGETS"}) {
    char small[8];
    memset(small, 0xEE, sizeof small);
    uint32_t cap = 4;
    int lines = s.ReadSection(name, small, &cap, nullptr, nullptr);
    FUZZ_CHECK(static_cast<uint8_t>(small[4]) == 0xEE);  // nothing past the capacity
    if (lines >= 0) FUZZ_CHECK(cap <= 4 || lines == 0);
    uint32_t need = 0;
    if (s.ReadSection(name, nullptr, &need, nullptr, nullptr) > 0) FUZZ_CHECK(need >= 1);
  }
  return 0;
}
