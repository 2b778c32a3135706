#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "tests/support/test_root.h"

namespace {

// Little-endian puts at documented offsets, independent of the structs.
void Put16(std::string &b, size_t at, uint16_t v) {
  b[at] = char(v & 0xFF);
  b[at + 1] = char(v >> 8);
}
void Put32(std::string &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
}
uint32_t Get32(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
  return v;
}
void PutFloat(std::string &b, size_t at, float f) {
  uint32_t v;
  memcpy(&v, &f, 4);
  Put32(b, at, v);
}

struct BlockSpec {
  const char *prefix;
  uint16_t first, last, kind, status;
  const char *source;
};

class LogFileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    win_ = std::string("C:\\ls\\") + name;
    dir_ = tnwtest::Root() + "/drives/c/ls/" + name;
    ASSERT_EQ(os_MakeFolders(dir_.c_str()), 0);
  }
  std::string W(const std::string &name) const { return win_ + "\\" + name; }
  std::string L(const std::string &name) const { return dir_ + "/" + name; }

  // A header of the given blocks; records hold each block's status words and
  // values at its offset.
  static LogFileHeader Header(const std::vector<BlockSpec> &blocks, uint32_t recordSize) {
    LogFileHeader h;
    memset(&h, 0, sizeof h);
    h.blockCount = static_cast<uint16_t>(blocks.size());
    h.start = {1672574400, 250, 0};
    h.recordSize = recordSize;
    for (size_t i = 0; i < blocks.size(); ++i) {
      LogChannelBlock &b = h.blocks[i];
      memcpy(b.prefix, blocks[i].prefix, 2);
      b.first = blocks[i].first;
      b.last = blocks[i].last;
      b.kind = blocks[i].kind;
      b.statusOffset = blocks[i].status;
      snprintf(b.source, sizeof b.source, "%s", blocks[i].source);
    }
    return h;
  }
  // Channel records with a byte pattern naming block and channel.
  void Channels(const LogFileHeader &h) {
    records_.clear();
    pointers_.clear();
    for (uint32_t i = 0; i < h.blockCount; ++i) {
      size_t n = size_t(h.blocks[i].last) - h.blocks[i].first + 1;
      std::vector<ChannelRecord> r(n);
      for (size_t k = 0; k < n; ++k) memset(r[k].raw, int(0x10 * (i + 1) + k), sizeof r[k].raw);
      records_.push_back(std::move(r));
    }
    for (auto &r : records_) pointers_.push_back(r.data());
  }
  std::string Record(const LogFileHeader &h, uint32_t seconds, uint16_t word = 1) {
    std::string r(h.recordSize, '\0');
    Put16(r, 0, LOG_RECORD_MARK);
    Put16(r, 2, word);
    Put32(r, 4, seconds);
    for (uint32_t i = 0; i < h.blockCount; ++i) {
      uint32_t n = uint32_t(h.blocks[i].last) - h.blocks[i].first + 1;
      for (uint32_t k = 0; k < n; ++k) {
        Put32(r, h.blocks[i].statusOffset + 4 * k, LOG_STATUS_PRESENT);
        PutFloat(r, h.blocks[i].statusOffset + 4 * n + 4 * k, float(seconds % 1000) + float(k) / 4);
      }
    }
    return r;
  }
  int Create(CLogFileStore &s, const std::string &name, LogFileHeader &h) {
    Channels(h);
    return s.Create(W(name).c_str(), &h, pointers_.data());
  }

  // A closed run `name` of one record at `seconds`: its bytes.
  std::string ClosedRun(const std::string &name, LogFileHeader &h, uint32_t seconds = 1) {
    CLogFileStore s;
    EXPECT_EQ(Create(s, name, h), 0);
    std::string r = Record(h, seconds);
    EXPECT_EQ(s.WriteLogs(&h, r.data(), 1), 0);
    s.Close();
    return tnwtest::ReadFile(L(name));
  }

  std::string win_, dir_;
  std::vector<std::vector<ChannelRecord>> records_;
  std::vector<ChannelRecord *> pointers_;
};

const std::vector<BlockSpec> kThree = {
    {"AI", 1, 2, 8, 12, "PUMP1"},
    {"DI", 1, 1, LOG_KIND_DIGITAL, 28, "PUMP1"},
    {"AO", 3, 5, 8, 36, "HOST"},
};

// The file built byte by byte from the documented layout equals what creation
// and two appends write, and reads back field by field.
TEST_F(LogFileStoreTest, LayoutMatchesHandBuiltBytes) {
  LogFileHeader h = Header(kThree, 60);
  h.extLength = LOG_EXTENSION_SIZE;
  h.sigChange = 1;
  memcpy(h.trigPrefix, "AI", 2);
  h.trigNumber = 2;
  memcpy(h.lagPrefix, "AO", 2);
  h.lagNumber = 4;
  h.blocks[2].lag = 1;
  memcpy(h.further1, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  memcpy(h.further2, "\x11\x12\x13\x14", 4);
  h.further3 = 0x2122;
  h.timeZone.Bias = -60;
  const char *zone = "W. Europe Standard Time";
  for (size_t i = 0; zone[i]; ++i) h.timeZone.StandardName[i] = uint16_t(zone[i]);
  h.timeZone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
  h.timeZone.DaylightBias = -60;

  CLogFileStore s;
  ASSERT_EQ(Create(s, "AB230101_120000.odl", h), 0);
  std::string r0 = Record(h, 1672574400), r1 = Record(h, 1672574401);
  ASSERT_EQ(s.WriteLogs(&h, (r0 + r1).data(), 2), 0);
  ASSERT_EQ(s.Close(), 0);

  // 900 + (2*216+4) + (1*216+4) + (3*216+4) = 2208: the extension; 2208 + 3504: record 0.
  const size_t ext = 2208, first = ext + 3504;
  std::string want(first, '\0');
  Put32(want, 0, first + 2 * 60);
  Put16(want, 4, 0x8001);
  Put16(want, 6, 3);
  Put32(want, 12, 1672574400);
  Put16(want, 16, 250);
  Put32(want, 28, first);
  Put32(want, 32, 60);
  auto putBlock = [&](size_t at, const BlockSpec &b, bool lag) {
    want.replace(at, 2, b.prefix, 2);
    Put16(want, at + 2, b.first);
    Put16(want, at + 4, b.last);
    Put16(want, at + 6, b.kind);
    Put16(want, at + 8, b.status);
    want.replace(at + 10, strlen(b.source), b.source);
    want[at + 35] = lag ? 1 : 0;
  };
  for (size_t i = 0; i < 3; ++i) putBlock(36 + 52 * i, kThree[i], i == 2);
  want[869] = 1;
  want.replace(870, 2, "AI");
  Put16(want, 872, 2);
  want.replace(874, 2, "AO");
  Put16(want, 876, 4);
  want.replace(878, 8, "\x01\x02\x03\x04\x05\x06\x07\x08");
  want.replace(886, 4, "\x11\x12\x13\x14");
  Put16(want, 890, 0x2122);
  Put32(want, 892, 3504);
  Put32(want, 896, ext);
  size_t at = 900;
  for (size_t i = 0; i < 3; ++i) {
    Put16(want, at, 0x8002);
    size_t n = kThree[i].last - kThree[i].first + 1;
    for (size_t k = 0; k < n; ++k) want.replace(at + 2 + 216 * k, 216, std::string(216, char(0x10 * (i + 1) + k)));
    Put16(want, at + 2 + 216 * n, 0x8003);
    at += 216 * n + 4;
  }
  ASSERT_EQ(at, ext);
  Put16(want, ext, 3);
  for (size_t i = 0; i < 3; ++i) putBlock(ext + 2 + 52 * i, kThree[i], i == 2);
  const size_t tz = ext + 3332;
  Put32(want, tz, uint32_t(-60));
  for (size_t i = 0; zone[i]; ++i) Put16(want, tz + 4 + 2 * i, uint16_t(zone[i]));
  Put16(want, tz + 68 + 2, 10);
  Put16(want, tz + 68 + 6, 5);
  Put16(want, tz + 68 + 8, 3);
  Put32(want, tz + 168, uint32_t(-60));
  std::string rec(60, '\0');
  for (uint32_t sec : {1672574400u, 1672574401u}) {
    Put16(rec, 0, 0x8004);
    Put16(rec, 2, 1);
    Put32(rec, 4, sec);
    for (int k = 0; k < 2; ++k) Put32(rec, 12 + 4 * k, 0x80), PutFloat(rec, 20 + 4 * k, float(sec % 1000) + k / 4.0f);
    Put32(rec, 28, 0x80), PutFloat(rec, 32, float(sec % 1000));
    for (int k = 0; k < 3; ++k) Put32(rec, 36 + 4 * k, 0x80), PutFloat(rec, 48 + 4 * k, float(sec % 1000) + k / 4.0f);
    want += rec;
  }
  std::string got = tnwtest::ReadFile(L("AB230101_120000.odl"));
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(uint8_t(got[i]), uint8_t(want[i])) << "byte " << i;

  // Read back by a fresh reader, field by field.
  CLogFileStore r;
  ASSERT_EQ(r.Open(nullptr, W("AB230101_120000.odl").c_str(), OS_GENERIC_READ), 0);
  LogFileHeader back;
  ASSERT_EQ(r.ReadHeader(&back), 0);
  EXPECT_EQ(back.type, 0x8001);
  EXPECT_EQ(back.blockCount, 3);
  EXPECT_EQ(back.recordCount, 2u);
  EXPECT_EQ(back.endOffset, first + 120);
  EXPECT_EQ(back.firstRecord, first);
  EXPECT_EQ(back.recordSize, 60u);
  EXPECT_EQ(back.start.seconds, 1672574400);
  EXPECT_EQ(back.start.ms, 250);
  EXPECT_EQ(back.stop.seconds, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::string(back.blocks[i].prefix, 2), kThree[i].prefix);
    EXPECT_EQ(back.blocks[i].first, kThree[i].first);
    EXPECT_EQ(back.blocks[i].last, kThree[i].last);
    EXPECT_EQ(back.blocks[i].kind, kThree[i].kind);
    EXPECT_EQ(back.blocks[i].statusOffset, kThree[i].status);
    EXPECT_STREQ(back.blocks[i].source, kThree[i].source);
    EXPECT_EQ(back.blocks[i].lag, i == 2 ? 1 : 0);
  }
  EXPECT_EQ(back.sigChange, 1);
  EXPECT_EQ(std::string(back.trigPrefix, 2), "AI");
  EXPECT_EQ(back.trigNumber, 2);
  EXPECT_EQ(std::string(back.lagPrefix, 2), "AO");
  EXPECT_EQ(back.lagNumber, 4);
  EXPECT_EQ(memcmp(back.further1, h.further1, 8), 0);
  EXPECT_EQ(memcmp(back.further2, h.further2, 4), 0);
  EXPECT_EQ(back.further3, 0x2122);
  EXPECT_EQ(back.extLength, 3504u);
  EXPECT_EQ(back.extOffset, ext);
  EXPECT_EQ(back.timeZone.Bias, -60);
  EXPECT_EQ(back.timeZone.StandardName[0], 'W');
  EXPECT_EQ(back.timeZone.StandardDate.month, 10);
  EXPECT_EQ(back.timeZone.DaylightBias, -60);
  ChannelRecord ch[2];
  ASSERT_EQ(r.ReadChannels(&back, ch, 2, 1, 2), 0);
  EXPECT_EQ(ch[0].raw[0], 0x31);
  EXPECT_EQ(ch[1].raw[215], 0x32);
  std::string two(120, '\0');
  ASSERT_EQ(r.ReadLogs(0, &back, two.data(), 5, nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(two, want.substr(first));
}

// The format's cases: many blocks, bad values, an empty run, run names, a
// byte-swapped type.
TEST_F(LogFileStoreTest, FormatCases) {
  {  // 20 blocks: the header table keeps 16, the extension all 20.
    std::vector<BlockSpec> blocks;
    for (uint16_t i = 0; i < 20; ++i) blocks.push_back({"AI", uint16_t(i + 1), uint16_t(i + 1), 8, uint16_t(12 + 8 * i), "P"});
    LogFileHeader h = Header(blocks, 12 + 8 * 20);
    CLogFileStore s;
    ASSERT_EQ(Create(s, "B20230101_120000.odl", h), 0);
    s.Close();
    std::string f = tnwtest::ReadFile(L("B20230101_120000.odl"));
    EXPECT_EQ(uint8_t(f[6]), 16);
    uint32_t extAt = Get32(f, 896);
    EXPECT_EQ(uint8_t(f[extAt]), 20);
    EXPECT_EQ(uint8_t(f[extAt + 2 + 52 * 19 + 2]), 20);  // block 20's first channel
    CLogFileStore r;
    ASSERT_EQ(r.Open("", W("B20230101_120000.odl").c_str(), OS_GENERIC_READ), 0);
    LogFileHeader back;
    ASSERT_EQ(r.ReadHeader(&back), 0);
    EXPECT_EQ(back.blockCount, 20);
    EXPECT_EQ(back.blocks[19].first, 20);
    EXPECT_EQ(back.recordCount, 0u);  // no records
    EXPECT_EQ(back.endOffset, back.firstRecord);
    EXPECT_EQ(r.ReadLogs(0, &back, f.data(), 1, nullptr, nullptr, nullptr), 0);
  }
  {  // Bad values are marked on present values only.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
      uint32_t status;
      float value;
      uint32_t read;
    } cases[] = {
        {0x80, inf, 0xA0}, {0x80, -inf, 0xA0}, {0x80, nan, 0xA0},  {0x00, nan, 0x00},
        {0x00, inf, 0x00}, {0x80, 1.5f, 0x80}, {0x81, -inf, 0xA1}, {0xA0, 2.0f, 0xA0},
    };
    const size_t n = sizeof cases / sizeof cases[0];
    LogFileHeader h = Header({{"AI", 1, uint16_t(n), 8, 12, "P"}}, uint32_t(12 + 8 * n));
    CLogFileStore s;
    ASSERT_EQ(Create(s, "BV230101_120000.odl", h), 0);
    std::string rec = Record(h, 100);
    for (size_t i = 0; i < n; ++i) Put32(rec, 12 + 4 * i, cases[i].status), PutFloat(rec, 12 + 4 * n + 4 * i, cases[i].value);
    ASSERT_EQ(s.WriteLogs(&h, (rec + rec).data(), 2), 0);
    std::string out(2 * h.recordSize, '\0'), one(h.recordSize, '\0');
    ASSERT_EQ(s.ReadLogs(0, &h, out.data(), 2, nullptr, nullptr, nullptr), 2);
    ASSERT_EQ(s.ReadLog(1, &h, one.data(), h.recordSize, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(Get32(out, 12 + 4 * i), cases[i].read) << i;
      EXPECT_EQ(Get32(out, h.recordSize + 12 + 4 * i), cases[i].read) << i;
      EXPECT_EQ(Get32(one, 12 + 4 * i), cases[i].read) << i;
    }
    EXPECT_EQ(out.substr(12 + 4 * n, 4 * n), rec.substr(12 + 4 * n, 4 * n));  // values as written
  }
  {  // Run names.
    struct Name {
      const char *name;
      uint32_t tail;
      const char *startStamp;
      int64_t start;
    } names[] = {
        {"ABC230101_120000.odl", 17, "230101_120000", 1672574400},
        {"ABC230101_120000_230102_000000.odl", 31, "230101_120000", 1672574400},
        {"ABC650101_000000.odl", 17, "650101_000000", 2997993600},
        {"ABC700101_000000.odl", 17, "700101_000000", 0},
        {"AB.odl", 0, nullptr, -1},
        {"ABC230101_120000.txt", 0, nullptr, -1},
    };
    for (const Name &nm : names) {
      EXPECT_EQ(log_StampTail(nm.name, ".odl"), nm.tail) << nm.name;
      if (nm.startStamp) {
        const char *stamp = nm.name + strlen(nm.name) - nm.tail;
        EXPECT_EQ(log_ParseStamp(stamp), nm.start) << nm.name;
        char back[14];
        log_FormatStamp(nm.start, back);
        EXPECT_STREQ(back, nm.startStamp) << nm.name;
      }
    }
    EXPECT_EQ(log_ParseStamp("230102_000000"), 1672617600);
  }
  {  // A big-endian writer's type passes the open check; the header read refuses it.
    LogFileHeader h = Header(kThree, 60);
    CLogFileStore s;
    ASSERT_EQ(Create(s, "BE230101_120000.odl", h), 0);
    s.Close();
    OsHandle f = os_CreateFile(W("BE230101_120000.odl").c_str(), OS_GENERIC_WRITE, 3, OS_OPEN_EXISTING, 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(os_WriteFileAt(f, 4, "\x80\x01", 2, nullptr), 0);  // 0x8001 byte-swapped
    os_CloseHandle(f);
    CLogFileStore r;
    ASSERT_EQ(r.Open("", W("BE230101_120000.odl").c_str(), OS_GENERIC_READ), 0);
    LogFileHeader back;
    EXPECT_EQ(r.ReadHeader(&back), -1);
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_DATA);
    // A type outside the accepted range fails the open.
    f = os_CreateFile(W("BE230101_120000.odl").c_str(), OS_GENERIC_WRITE, 3, OS_OPEN_EXISTING, 0);
    ASSERT_EQ(os_WriteFileAt(f, 4, "\x00\x70", 2, nullptr), 0);
    os_CloseHandle(f);
    CLogFileStore r2;
    EXPECT_EQ(r2.Open("", W("BE230101_120000.odl").c_str(), OS_GENERIC_READ), -1);
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_DATA);
  }
}

// The end offset is where appends go, whatever header reads and rewrites did
// to the handle's file pointer.
TEST_F(LogFileStoreTest, AppendsGoToTheEndNotTheFilePointer) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore s;
  ASSERT_EQ(Create(s, "AP230101_120000.odl", h), 0);
  std::string r0 = Record(h, 10), r1 = Record(h, 11), r2 = Record(h, 12);
  ASSERT_EQ(s.WriteLogs(&h, r0.data(), 1), 0);
  LogFileHeader read;
  ASSERT_EQ(s.ReadHeader(&read), 0);
  ASSERT_EQ(s.WriteLogs(&h, r1.data(), 1), 0);
  ASSERT_EQ(s.WriteHeader(&h, nullptr), 0);
  ChannelRecord ch;
  ASSERT_EQ(s.ReadChannels(&h, &ch, 0, 0, 1), 0);
  ASSERT_EQ(s.WriteLogs(&h, r2.data(), 1), 0);
  ASSERT_EQ(s.FlushHeader(3), 0);
  s.Close();
  std::string f = tnwtest::ReadFile(L("AP230101_120000.odl"));
  ASSERT_EQ(f.size(), h.firstRecord + 180);
  EXPECT_EQ(f.substr(h.firstRecord), r0 + r1 + r2);
  EXPECT_EQ(uint8_t(f[4]), 0x01);
  EXPECT_EQ(uint8_t(f[5]), 0x80);
  EXPECT_EQ(Get32(f, 0), h.firstRecord + 180);
  EXPECT_EQ(Get32(f, 8), 3u);
}

// Arguments that would reach past the run's records are refused, with
// nothing written.
TEST_F(LogFileStoreTest, RefusedArgumentsTouchNothing) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore s;
  ASSERT_EQ(Create(s, "RF230101_120000.odl", h), 0);
  std::string r0 = Record(h, 10), r1 = Record(h, 11);
  ASSERT_EQ(s.WriteLogs(&h, (r0 + r1).data(), 2), 0);
  std::string bad = r0 + r1;
  bad[60] = 0;  // the second record lacks its marker
  ChannelRecord ch[4];
  struct Case {
    const char *what;
    std::function<int()> op;
    uint32_t error;
  } cases[] = {
      {"block = count", [&] { return s.ReadChannels(&h, ch, 3, 0, 1); }, OS_ERROR_SUCCESS},
      {"negative block", [&] { return s.ReadChannels(&h, ch, -1, 0, 1); }, OS_ERROR_SUCCESS},
      {"first + count past the block", [&] { return s.ReadChannels(&h, ch, 2, 1, 3); }, OS_ERROR_SUCCESS},
      {"second record unmarked", [&] { return s.WriteLogs(&h, bad.data(), 2); }, OS_ERROR_INVALID_PARAMETER},
      {"rewrite past the end", [&] { return s.WriteLog(1, &h, (r0 + r1).data(), 120); }, OS_ERROR_INVALID_PARAMETER},
      {"rewrite at the end", [&] { return s.WriteLog(2, &h, r0.data(), 60); }, OS_ERROR_INVALID_PARAMETER},
      {"partial record of 1 byte", [&] { return s.WriteLog(0, &h, (r0 + r1).data(), 61); }, OS_ERROR_INVALID_PARAMETER},
      {"rewrite of an unmarked record", [&] { return s.WriteLog(0, &h, bad.data(), 120); }, OS_ERROR_INVALID_PARAMETER},
      {"negative index", [&] { return s.WriteLog(-1, &h, r0.data(), 60); }, OS_ERROR_INVALID_PARAMETER},
      {"truncate more than there are", [&] { s.Truncate(&h, 3); return -1; }, OS_ERROR_INVALID_PARAMETER},
  };
  std::string before = tnwtest::ReadFile(L("RF230101_120000.odl"));
  for (const Case &c : cases) {
    os_SetLastError(OS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(c.op(), -1) << c.what;
    EXPECT_EQ(os_GetLastError(), c.error) << c.what;
    EXPECT_EQ(tnwtest::ReadFile(L("RF230101_120000.odl")), before) << c.what;
    EXPECT_EQ(s.EndOffset(), h.firstRecord + 120u) << c.what;
  }
  // What is allowed: rewriting record 1 in place, truncating all.
  std::string r9 = Record(h, 99);
  EXPECT_EQ(s.WriteLog(1, &h, r9.data(), 60), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("RF230101_120000.odl")).substr(h.firstRecord + 60), r9);
  s.Truncate(&h, 2);
  EXPECT_EQ(s.EndOffset(), h.firstRecord);
  EXPECT_EQ(tnwtest::ReadFile(L("RF230101_120000.odl")).size(), h.firstRecord);
  // A run of the same name is never replaced.
  CLogFileStore again;
  LogFileHeader h2 = Header(kThree, 60);
  EXPECT_EQ(Create(again, "RF230101_120000.odl", h2), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_EXISTS);
  EXPECT_EQ(tnwtest::ReadFile(L("RF230101_120000.odl")).size(), h.firstRecord);
}

// Headers no reader may trust are refused: they would divide by zero, wrap
// counts or send reads past the buffers.
// A run not here, on a server the pipe reaches: its share is tried as a file
// first; a path that begins with '\\', or another connection kind, goes to
// the server's file requests.
TEST_F(LogFileStoreTest, OpenTriesTheServersShare) {
  LogFileHeader h = Header(kThree, 60);
  const std::string run = ClosedRun("SH230101_120000.odl", h);
  const std::string share = tnwtest::Root() + "/hosts/FARHOST/shares/LOGS";
  ASSERT_EQ(os_MakeFolders(share.c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(share + "/SH230101_120000.odl", run));
  struct Case {
    const char *server, *path, *name;
    bool local;
  } cases[] = {
      {"FARHOST", "LOGS\\SH230101_120000.odl", "\\\\FARHOST\\LOGS\\SH230101_120000.odl", true},
      {"FARHOST", "\\LOGS\\SH230101_120000.odl", "\\LOGS\\SH230101_120000.odl", false},
      {"https://FARHOST/", "LOGS\\SH230101_120000.odl", "LOGS\\SH230101_120000.odl", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.server) + " " + c.path);
    CLogFileStore s;
    ASSERT_EQ(s.Open(c.server, c.path, OS_GENERIC_READ), 0);
    char name[300];
    s.GetName(name, nullptr);
    EXPECT_STREQ(name, c.name);
    LogFileHeader got;
    EXPECT_EQ(s.ReadHeader(&got) == 0, c.local);
    if (c.local) {
      EXPECT_EQ(got.recordCount, 1u);
    }
  }
}

TEST_F(LogFileStoreTest, UntrustworthyHeadersAreRefused) {
  LogFileHeader h = Header(kThree, 60);
  const std::string good = ClosedRun("UH230101_120000.odl", h, 10);
  struct Case {
    const char *what;
    size_t at;
    uint32_t value;
    int width;
    int rc;
    uint32_t count;  // records seen when read
  } cases[] = {
      {"record size 0", 32, 0, 4, -1, 0},
      {"17 blocks in the header", 6, 17, 2, -1, 0},
      {"status words past the record", 36 + 52 * 2 + 8, 50, 2, -1, 0},
      {"last before first", 36 + 4, 0, 2, -1, 0},
      {"first record inside the channel area", 28, 1000, 4, -1, 0},
      {"first record past the file", 28, 0x7FFFFFF0u, 4, 0, 0},
      {"extension of 65 blocks", 0, 0, 0, -1, 0},
      {"as written", 0, 0, 0, 0, 1},
  };
  for (const Case &c : cases) {
    std::string f = good;
    if (c.width == 4) Put32(f, c.at, c.value);
    if (c.width == 2) Put16(f, c.at, uint16_t(c.value));
    if (std::string(c.what) == "extension of 65 blocks") {
      Put32(f, 892, 3504);
      Put32(f, 896, 2208);
      Put16(f, 2208, 65);
    }
    ASSERT_TRUE(tnwtest::WriteFile(L("UH.odl"), f));
    CLogFileStore r;
    ASSERT_EQ(r.Open("", W("UH.odl").c_str(), OS_GENERIC_READ), 0) << c.what;
    LogFileHeader back;
    EXPECT_EQ(r.ReadHeader(&back), c.rc) << c.what;
    if (c.rc == 0) {
      EXPECT_EQ(back.recordCount, c.count) << c.what;
    } else {
      EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_DATA) << c.what;
    }
  }
}

TEST_F(LogFileStoreTest, CountChannelRows) {
  struct Case {
    uint8_t sigChange;
    std::vector<uint16_t> words;
    int64_t rows;
  } cases[] = {
      {0, {1, 1, 0}, 0}, {1, {1, 1, 0, 1}, 2}, {1, {0, 1}, 0}, {1, {1, 1, 1}, 3}, {1, {}, 0},
  };
  int i = 0;
  for (const Case &c : cases) {
    LogFileHeader h = Header(kThree, 60);
    h.sigChange = c.sigChange;
    CLogFileStore s;
    std::string name = "CR" + std::to_string(i++) + "230101_120000.odl";
    ASSERT_EQ(Create(s, name, h), 0);
    std::string recs;
    for (uint16_t w : c.words) recs += Record(h, 5, w);
    if (!c.words.empty()) {
      ASSERT_EQ(s.WriteLogs(&h, recs.data(), uint32_t(c.words.size())), 0);
    }
    EXPECT_EQ(s.CountChannelRows(&h), c.rows) << name;
  }
}

// Reopening for appending: refused on a live run or at a bad offset (nothing
// touched); a closed run gets its open name back; the end word 0xFFFFFFFF
// resumes after the last whole record.
TEST_F(LogFileStoreTest, UseforLogging) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore w;
  ASSERT_EQ(Create(w, "UL230101_120000.odl", h), 0);
  std::string recs = Record(h, 1) + Record(h, 2) + Record(h, 3);
  ASSERT_EQ(w.WriteLogs(&h, recs.data(), 3), 0);
  std::string live = tnwtest::ReadFile(L("UL230101_120000.odl"));
  const uint32_t first = h.firstRecord;

  CLogFileStore other;
  ASSERT_EQ(other.Open("", W("UL230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  uint32_t at = first;
  EXPECT_EQ(other.UseforLogging(&at), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_LOCK_VIOLATION);
  EXPECT_EQ(tnwtest::ReadFile(L("UL230101_120000.odl")), live);
  // The live run cannot be moved away under its writer either.
  EXPECT_EQ(os_MoveFile(W("UL230101_120000.odl").c_str(), W("UL230101_120000_230101_130000.odl").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SHARING_VIOLATION);
  w.Close();
  live = tnwtest::ReadFile(L("UL230101_120000.odl"));
  ASSERT_EQ(Get32(live, 0), first + 180);

  // Closed by its collection: a closed-run name, and a partial record left by a crash.
  ASSERT_EQ(os_MoveFile(W("UL230101_120000.odl").c_str(), W("UL230101_120000_230101_130000.odl").c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(L("UL230101_120000_230101_130000.odl"), live + std::string(25, 'x')));
  const std::string closed = tnwtest::ReadFile(L("UL230101_120000_230101_130000.odl"));
  struct Bad {
    const char *what;
    uint32_t offset;
  } bads[] = {{"below the first record", first - 60}, {"zero", 0}, {"past the last whole record", first + 240},
              {"inside the partial record", first + 181}, {"off a boundary", first + 30}};
  CLogFileStore r;
  ASSERT_EQ(r.Open("", W("UL230101_120000_230101_130000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  for (const Bad &b : bads) {
    at = b.offset;
    EXPECT_EQ(r.UseforLogging(&at), -1) << b.what;
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER) << b.what;
    EXPECT_EQ(tnwtest::ReadFile(L("UL230101_120000_230101_130000.odl")), closed) << b.what;
  }
  at = LOG_END_UNKNOWN;
  ASSERT_EQ(r.UseforLogging(&at), 0);
  EXPECT_EQ(at, first + 180);
  char name[300];
  uint32_t size = 0;
  r.GetName(name, &size);
  EXPECT_EQ(size, 260u);
  EXPECT_EQ(std::string(name), W("UL230101_120000.odl"));
  EXPECT_EQ(tnwtest::ReadFile(L("UL230101_120000.odl")), live);  // the partial record is cut
  std::string r4 = Record(h, 4);
  ASSERT_EQ(r.WriteLogs(&h, r4.data(), 1), 0);
  r.Close();
  EXPECT_EQ(tnwtest::ReadFile(L("UL230101_120000.odl")).substr(first), recs + r4);

  // Resuming earlier cuts the later records.
  CLogFileStore again;
  ASSERT_EQ(again.Open("", W("UL230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  at = first + 60;
  ASSERT_EQ(again.UseforLogging(&at), 0);
  again.Close();
  std::string f = tnwtest::ReadFile(L("UL230101_120000.odl"));
  EXPECT_EQ(f.substr(first), recs.substr(0, 60));
  EXPECT_EQ(Get32(f, 0), first + 60);

  // A name without a run stamp.
  ASSERT_TRUE(tnwtest::WriteFile(L("AB.odl"), live));
  CLogFileStore ab;
  ASSERT_EQ(ab.Open("", W("AB.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  at = first;
  EXPECT_EQ(ab.UseforLogging(&at), -1);
  EXPECT_EQ(tnwtest::ReadFile(L("AB.odl")), live);
}

// Each refusal of UseforLogging names its reason in the event log and leaves
// the file as it was.
TEST_F(LogFileStoreTest, UseforLoggingReportsToTheEventLog) {
  LogFileHeader h = Header(kThree, 60);
  const std::string run = ClosedRun("EV230101_120000.odl", h);
  char log[512];
  ASSERT_EQ(os_EventLogPath(".", log, sizeof log), 0);
  const std::string closed = W("EV230101_120000_230101_130000.odl"), open = W("EV230101_120000.odl");

  struct Case {
    const char *what, *file;  // file: the name the store opens (null: no open)
    std::function<void()> before;
    std::string text;
    uint32_t error;
  } cases[] = {
      {"a store without a file", nullptr, [] {}, "No file name", OS_ERROR_INVALID_PARAMETER},
      {"a name without a run stamp", "EV.odl", [&] { ASSERT_TRUE(tnwtest::WriteFile(L("EV.odl"), run)); },
       "Bad file name", OS_ERROR_SUCCESS},
      {"the open-run name is taken", "EV230101_120000_230101_130000.odl",
       [&] { ASSERT_TRUE(tnwtest::WriteFile(L("EV230101_120000_230101_130000.odl"), run)); },
       "Cant Move " + closed + " to " + open + " Error 183", OS_ERROR_ALREADY_EXISTS},
      {"the file went away", "EV230101_130000.odl",
       [&] { ASSERT_TRUE(tnwtest::WriteFile(L("EV230101_130000.odl"), run)); }, "Cant open1",
       OS_ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.before();
    CLogFileStore s;
    if (c.file) {
      ASSERT_EQ(s.Open("", W(c.file).c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
    }
    if (c.error == OS_ERROR_FILE_NOT_FOUND) {
      ASSERT_EQ(unlink(L(c.file).c_str()), 0);
    }
    const size_t seen = tnwtest::ReadFile(log).size();
    uint32_t at = h.firstRecord;
    os_SetLastError(OS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(s.UseforLogging(&at), -1);
    EXPECT_EQ(os_GetLastError(), c.error);
    std::string added = tnwtest::ReadFile(log).substr(seen);
    EXPECT_NE(added.find(c.text), std::string::npos) << added;
    if (c.file && c.error != OS_ERROR_FILE_NOT_FOUND) {
      EXPECT_EQ(tnwtest::ReadFile(L(c.file)), run);
    }
  }
  EXPECT_EQ(tnwtest::ReadFile(L("EV230101_120000.odl")), run) << "the run that held the open name";
}

// One step of reopening a run made to fail through the store's file calls.
struct FailingCalls {
  static int opens, failOpen;      // fail the failOpen-th open (1 the first)
  static bool failCut, failFlush;  // the cut; the end-word write at offset 0
  static void Reset() { opens = failOpen = 0, failCut = failFlush = false; }
  static OsHandle Open(const char *path, uint32_t access) {
    if (++opens == failOpen) return os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;
    return log_SystemFileCalls()->openRun(path, access);
  }
  static int Cut(OsHandle h) {
    return failCut ? (os_Fail(OS_ERROR_DISK_FULL), -1) : log_SystemFileCalls()->setEndOfFile(h);
  }
  static int Write(OsHandle h, uint64_t at, const void *buf, uint32_t n, uint32_t *done) {
    if (failFlush && at == 0 && n == 4) return os_Fail(OS_ERROR_WRITE_FAULT), -1;
    return log_SystemFileCalls()->writeAt(h, at, buf, n, done);
  }
};
int FailingCalls::opens, FailingCalls::failOpen;
bool FailingCalls::failCut, FailingCalls::failFlush;
const LogFileCalls kFailingCalls = {FailingCalls::Open, FailingCalls::Cut, FailingCalls::Write};

// How many descriptors of this process are open on the file at `path`.
int DescriptorsOn(const std::string &path) {
  char want[PATH_MAX];
  if (!realpath(path.c_str(), want)) return -1;
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[PATH_MAX];
    ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    if (len <= 0) continue;
    link[len] = '\0';
    n += strcmp(link, want) == 0;
  }
  return n;
}

// The header handle cannot be opened, or the cut or the end word's write
// fails: the reason reaches the event log, both handles are closed (the
// run's lock with them) and the result is -1.
TEST_F(LogFileStoreTest, UseforLoggingStepsThatFailCloseBothHandles) {
  LogFileHeader h = Header(kThree, 60);
  const std::string run = ClosedRun("UF230101_120000.odl", h);
  char log[512];
  ASSERT_EQ(os_EventLogPath(".", log, sizeof log), 0);
  struct Case {
    const char *what;
    int failOpen;
    bool cut, flush;
    const char *text;
    uint32_t error;
  } cases[] = {
      {"header handle", 2, false, false, "Cant open2", OS_ERROR_ACCESS_DENIED},
      {"cut", 0, true, false, "Cant lock", OS_ERROR_DISK_FULL},
      {"end word", 0, false, true, "Cant lock", OS_ERROR_WRITE_FAULT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CLogFileStore s;
    ASSERT_EQ(s.Open("", W("UF230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
    ASSERT_EQ(DescriptorsOn(L("UF230101_120000.odl")), 1);
    const size_t seen = tnwtest::ReadFile(log).size();
    FailingCalls::Reset();
    FailingCalls::failOpen = c.failOpen;
    FailingCalls::failCut = c.cut;
    FailingCalls::failFlush = c.flush;
    log_SetFileCalls(&kFailingCalls);
    uint32_t at = LOG_END_UNKNOWN;
    const int rc = s.UseforLogging(&at);
    const uint32_t error = os_GetLastError();
    log_SetFileCalls(nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(at, LOG_END_UNKNOWN);
    EXPECT_GE(FailingCalls::opens, 2);  // the failing step was reached
    std::string added = tnwtest::ReadFile(log).substr(seen);
    EXPECT_NE(added.find(c.text), std::string::npos) << added;
    EXPECT_EQ(DescriptorsOn(L("UF230101_120000.odl")), 0);
    // Nothing holds the run: another store takes it for appending.
    CLogFileStore again;
    ASSERT_EQ(again.Open("", W("UF230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
    at = LOG_END_UNKNOWN;
    EXPECT_EQ(again.UseforLogging(&at), 0);
    EXPECT_EQ(again.Close(), 0);
    EXPECT_EQ(tnwtest::ReadFile(L("UF230101_120000.odl")), run);
  }
}

TEST_F(LogFileStoreTest, RenameKeepsTheNewPathAndTheTextFile) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore s;
  ASSERT_EQ(Create(s, "OLD230101_120000.odl", h), 0);
  ASSERT_TRUE(tnwtest::WriteFile(L("OLD230101_120000.txt"), "[HEADER]\r\nx\r\n"));
  std::string r0 = Record(h, 1);
  ASSERT_EQ(s.WriteLogs(&h, r0.data(), 1), 0);
  // The writer's own lock: its file stays where it is.
  EXPECT_EQ(s.Rename("NEW"), 0);
  s.Close();
  CLogFileStore r;
  ASSERT_EQ(r.Open("", W("OLD230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  EXPECT_EQ(r.Rename("new"), 1);
  EXPECT_EQ(os_GetFileAttributes(W("OLD230101_120000.odl").c_str()), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(os_GetFileAttributes(W("new230101_120000.odl").c_str()), OS_INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(tnwtest::ReadFile(L("new230101_120000.txt")), "[HEADER]\r\nx\r\n");
  EXPECT_EQ(r.Rename("NEW"), 1);  // already so named, letter case aside
  // Later operations find the renamed file.
  uint32_t at = LOG_END_UNKNOWN;
  ASSERT_EQ(r.UseforLogging(&at), 0);
  std::string r1 = Record(h, 2);
  ASSERT_EQ(r.WriteLogs(&h, r1.data(), 1), 0);
  EXPECT_EQ(r.Close(), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("new230101_120000.odl")).substr(h.firstRecord), r0 + r1);
  int32_t t = 0;
  EXPECT_EQ(r.GetLastModified(&t), 0);
  OsFileInfo info;
  ASSERT_EQ(os_GetFileInfo(W("new230101_120000.txt").c_str(), &info), 0);
  EXPECT_EQ(t, int32_t(info.writeSeconds));
  os_DeleteFile(W("new230101_120000.txt").c_str());
  EXPECT_EQ(r.GetLastModified(&t), -1);
}

// A closed run whose text file kept the open run's name is found by its
// start stamp, for reads, writes, its last change and a rename; a run with
// no text file at all gets one named after its data file.
TEST_F(LogFileStoreTest, TextFileFoundByStartStamp) {
  LogFileHeader h = Header(kThree, 60);
  {
    CLogFileStore w;
    ASSERT_EQ(Create(w, "TL230101_120000_230101_130000.odl", h), 0);
    w.Close();
  }
  ASSERT_TRUE(tnwtest::WriteFile(L("TL230101_115959.txt"), "[HEADER]\r\nother run\r\n"));
  ASSERT_TRUE(tnwtest::WriteFile(L("TL230101_120000.txt"), "[HEADER]\r\nthis run\r\n"));
  CLogFileStore s;
  ASSERT_EQ(s.Open("", W("TL230101_120000_230101_130000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  char out[100];
  uint32_t cap = sizeof out;
  EXPECT_EQ(s.ReadSection("HEADER", out, &cap, nullptr, nullptr), 1);
  EXPECT_STREQ(out, "this run\r\n");
  EXPECT_EQ(s.WriteText(1672574400, "noted", nullptr, nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("TL230101_120000.txt")), "[HEADER]\r\nthis run\r\n[TEXT]\r\n23/01/01 12:00:00 noted\r\n");
  EXPECT_EQ(os_GetFileAttributes(W("TL230101_120000_230101_130000.txt").c_str()), OS_INVALID_FILE_ATTRIBUTES);
  int32_t t = 0;
  EXPECT_EQ(s.GetLastModified(&t), 0);
  EXPECT_EQ(s.Rename("XX"), 1);
  EXPECT_EQ(tnwtest::ReadFile(L("XX230101_120000.txt")), "[HEADER]\r\nthis run\r\n[TEXT]\r\n23/01/01 12:00:00 noted\r\n");
  EXPECT_EQ(tnwtest::ReadFile(L("TL230101_115959.txt")), "[HEADER]\r\nother run\r\n");
  s.Close();

  CLogFileStore n;
  ASSERT_EQ(Create(n, "NT230101_120000.odl", h), 0);
  EXPECT_EQ(n.GetLastModified(&t), -1) << "no text file yet";
  EXPECT_EQ(n.WriteHeaderText("made"), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("NT230101_120000.txt")), "[HEADER]\r\nmade\r\n");
}

// Appends across 4 GiB on a sparse file: 64-bit positions, the end word
// 0xFFFFFFFF, reads on both sides, a cut back below, a fresh reader.
TEST_F(LogFileStoreTest, SparseRunAcrossFourGiB) {
  LogFileHeader h = Header({{"AI", 1, 128, 8, 12, "P"}}, 12 + 8 * 128);
  ASSERT_EQ(h.recordSize, 1036u);
  CLogFileStore w;
  ASSERT_EQ(Create(w, "SP230101_120000.odl", h), 0);
  w.Close();
  const uint64_t four = 1ull << 32;
  const uint64_t below = (four - h.firstRecord) / h.recordSize - 1;  // whole records that end below 4 GiB, less one
  {
    OsHandle f = os_CreateFile(W("SP230101_120000.odl").c_str(), OS_GENERIC_WRITE, 3, OS_OPEN_EXISTING, 0);
    ASSERT_NE(f, nullptr);
    std::string last = Record(h, 7);
    ASSERT_EQ(os_WriteFileAt(f, h.firstRecord + (below - 1) * h.recordSize, last.data(), h.recordSize, nullptr), 0);
    os_CloseHandle(f);
  }
  CLogFileStore s;
  ASSERT_EQ(s.Open("", W("SP230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  uint32_t at = LOG_END_UNKNOWN;
  ASSERT_EQ(s.UseforLogging(&at), 0);
  EXPECT_EQ(s.EndOffset(), h.firstRecord + below * h.recordSize);
  std::string more;
  for (uint32_t i = 0; i < 3; ++i) more += Record(h, 100 + i);
  ASSERT_EQ(s.WriteLogs(&h, more.data(), 3), 0);
  EXPECT_GT(s.EndOffset(), four);
  s.Close();
  CLogFileStore r;
  ASSERT_EQ(r.Open("", W("SP230101_120000.odl").c_str(), OS_GENERIC_READ), 0);
  LogFileHeader back;
  ASSERT_EQ(r.ReadHeader(&back), 0);
  EXPECT_EQ(back.recordCount, below + 3);
  EXPECT_EQ(back.endOffset, LOG_END_UNKNOWN);
  {
    OsHandle f = os_CreateFile(W("SP230101_120000.odl").c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
    std::string word(4, '\0');
    ASSERT_EQ(os_ReadFileAt(f, 0, word.data(), 4, nullptr), 0);
    os_CloseHandle(f);
    EXPECT_EQ(Get32(word, 0), LOG_END_UNKNOWN);
  }
  std::string got(4 * h.recordSize, '\0');
  ASSERT_EQ(r.ReadLogs(int64_t(below - 1), &back, got.data(), 10, nullptr, nullptr, nullptr), 4);
  EXPECT_EQ(got, Record(h, 7) + more);
  // Cut back below 4 GiB and read afresh.
  CLogFileStore c;
  ASSERT_EQ(c.Open("", W("SP230101_120000.odl").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  at = LOG_END_UNKNOWN;
  ASSERT_EQ(c.UseforLogging(&at), 0);
  c.Truncate(&back, 3);
  EXPECT_EQ(c.EndOffset(), h.firstRecord + below * h.recordSize);
  c.Close();
  CLogFileStore fresh;
  ASSERT_EQ(fresh.Open("", W("SP230101_120000.odl").c_str(), OS_GENERIC_READ), 0);
  ASSERT_EQ(fresh.ReadHeader(&back), 0);
  EXPECT_EQ(back.recordCount, below);
  EXPECT_EQ(back.endOffset, h.firstRecord + below * h.recordSize);
  std::string tail(h.recordSize, '\0');
  ASSERT_EQ(fresh.ReadLogs(int64_t(below - 1), &back, tail.data(), 5, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(tail, Record(h, 7));
  os_DeleteFile(W("SP230101_120000.odl").c_str());
}

TEST_F(LogFileStoreTest, TextSectionsBesideTheRun) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore s;
  ASSERT_EQ(Create(s, "TX230101_120000.odl", h), 0);
  EXPECT_EQ(s.WriteHeaderText("well 7"), 0);
  EXPECT_EQ(s.WriteText(1672574400, "pump on", nullptr, nullptr), 0);
  EXPECT_EQ(s.WriteTextAt({1672574401, 250, 0}, "valve", nullptr, "TEXT"), 0);
  EXPECT_EQ(s.WritePosition(1672574400, 1, 1.5f), 0);
  EXPECT_EQ(s.WritePosition(1672574402, 0, 9.0f), 0);  // no text: nothing added
  EXPECT_EQ(s.WriteFormulae("AIX", 3, "a+b"), 0);
  EXPECT_EQ(s.WriteUnitCategory("Pressure", "bar"), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("TX230101_120000.txt")),
            "[HEADER]\r\nwell 7\r\n[TEXT]\r\n23/01/01 12:00:00 pump on\r\n23/01/01 12:00:01.250 valve\r\n"
            "[POSITIONS]\r\n23/01/01 12:00:00 1.500000\r\n[AI_3_FORMULAE]\r\na+b\r\n[Pressure_UNIT_CATEGORY]\r\nbar\r\n");
  char out[200];
  uint32_t cap = sizeof out;
  EXPECT_EQ(s.ReadSection("TEXT", out, &cap, nullptr, nullptr), 2);
  EXPECT_STREQ(out, "23/01/01 12:00:00 pump on\r\n23/01/01 12:00:01.250 valve\r\n");
  // The 16-bit forms: capacity in 16-bit characters; a text the 8-bit file
  // cannot hold turns it 16-bit, and both widths read it back.
  uint16_t wide[100];
  cap = 40;
  EXPECT_EQ(s.ReadSectionW("TEXT", wide, &cap, nullptr, nullptr), 1);
  EXPECT_EQ(cap, 28u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(wide)), u"23/01/01 12:00:00 pump on\r\n");
  const uint16_t omega[] = {'f', 'l', 'o', 'w', ' ', 0x03A9, 0};
  EXPECT_EQ(s.WriteTextW(1672574403, omega, nullptr, nullptr), 0);
  const uint16_t header[] = {'w', 'e', 'l', 'l', ' ', '8', 0};
  EXPECT_EQ(s.WriteHeaderTextW(header), 0);
  std::string file = tnwtest::ReadFile(L("TX230101_120000.txt"));
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");
  cap = sizeof wide / 2;
  EXPECT_EQ(s.ReadSectionW("TEXT", wide, &cap, nullptr, nullptr), 3);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(wide)),
            u"23/01/01 12:00:00 pump on\r\n23/01/01 12:00:01.250 valve\r\n23/01/01 12:00:03 flow \u03A9\r\n");
  cap = sizeof out;
  EXPECT_EQ(s.ReadSection("HEADER", out, &cap, nullptr, nullptr), 1);
  EXPECT_STREQ(out, "well 8\r\n");
  cap = sizeof out;
  EXPECT_EQ(s.ReadSection("TEXT", out, &cap, nullptr, nullptr), 3);
  EXPECT_STREQ(out, "23/01/01 12:00:00 pump on\r\n23/01/01 12:00:01.250 valve\r\n23/01/01 12:00:03 flow ?\r\n");
  uint16_t *lines[4];
  uint32_t count = 4;
  cap = sizeof wide / 2;
  ASSERT_EQ(s.ReadSectionLinesW("TEXT", lines, &count, wide, &cap, nullptr, nullptr), 0);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(lines[2])), u"23/01/01 12:00:03 flow \u03A9");
}

// With the events file in use, a run's last change is the later of its text
// file's and the folder's "events.txt".
TEST_F(LogFileStoreTest, LastModifiedSeesTheEventsFile) {
  LogFileHeader h = Header(kThree, 60);
  CLogFileStore s;
  ASSERT_EQ(Create(s, "LM230101_120000.odl", h), 0);
  ASSERT_TRUE(tnwtest::WriteFile(L("LM230101_120000.txt"), "[HEADER]\r\n"));
  ASSERT_TRUE(tnwtest::WriteFile(L("events.txt"), "12:00:00 01/01/23 x\r\n"));
  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, L("LM230101_120000.txt").c_str(), times, 0), 0);
  times[1].tv_sec = 1700000500;
  ASSERT_EQ(utimensat(AT_FDCWD, L("events.txt").c_str(), times, 0), 0);
  int32_t t = 0;
  ASSERT_EQ(s.GetLastModified(&t), 0);
  EXPECT_EQ(t, 1700000000);  // the switch is off
  OsHKey key;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
            0);
  ASSERT_EQ(os_RegSetValueEx(key, "EventsTextFile", OS_REG_SZ, "On", 3), 0);
  ASSERT_EQ(s.GetLastModified(&t), 0);
  EXPECT_EQ(t, 1700000500);
  ASSERT_EQ(os_RegSetValueEx(key, "EventsTextFile", OS_REG_SZ, "OFF", 4), 0);
  os_RegCloseKey(key);
}

}  // namespace
