#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_text.h"
#include "tests/support/test_root.h"

namespace {

const uint32_t kRecordSize = 12 + 8 * 32;

LogFileHeader Header() {
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.blockCount = 1;
  h.recordSize = kRecordSize;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].first = 1;
  h.blocks[0].last = 32;
  h.blocks[0].statusOffset = 12;
  h.start = {1672574400, 5, 0};
  h.sigChange = 1;
  memcpy(h.further1, "crashrun", 8);
  return h;
}

std::string Record(uint32_t i) {
  std::string r(kRecordSize, '\0');
  uint16_t mark = 0x8004, word = uint16_t(i | 1);
  int32_t seconds = 1672574400 + int32_t(i);
  memcpy(&r[0], &mark, 2);
  memcpy(&r[2], &word, 2);
  memcpy(&r[4], &seconds, 4);
  for (uint32_t k = 0; k < 32; ++k) {
    uint32_t s = 0x80;
    float v = float(i) + float(k) / 64;
    memcpy(&r[12 + 4 * k], &s, 4);
    memcpy(&r[12 + 128 + 4 * k], &v, 4);
  }
  return r;
}

// The writer: resumes the run at its last whole record and appends, rewrites
// the header words and adds text, reporting each append once it returned.
[[noreturn]] void Writer(const std::string &run, int report) {
  CLogFileStore s;
  LogFileHeader h = Header();
  uint32_t at = 0xFFFFFFFFu;
  if (s.Open(nullptr, run.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE) != 0 || s.UseforLogging(&at) != 0) _exit(3);
  LogFileHeader read;
  if (s.ReadHeader(&read) != 0) _exit(4);
  uint32_t n = read.recordCount;
  for (uint32_t round = 0;; ++round) {
    uint32_t batch = 1 + round % 5;
    std::string recs;
    for (uint32_t i = 0; i < batch; ++i) recs += Record(n + i);
    if (s.WriteLogs(&h, recs.data(), batch) != 0) _exit(5);
    n += batch;
    if (write(report, &n, sizeof n) != sizeof n) _exit(6);
    if (round % 3 == 0) s.FlushHeader(n);
    if (round % 3 == 1) s.FlushHeader(0);
    if (round % 4 == 2) s.WriteHeaderText(std::string(3000, char('a' + n % 26)).c_str());
    if (round % 4 == 3) s.WriteText(int32_t(1672574400 + n), ("entry " + std::to_string(n)).c_str(), nullptr, nullptr);
  }
}

// 200 writers killed at random moments: the run always opens with its header
// as created, every reported record reads back, the next writer resumes with
// no gap or repeat, and the text file is always one whole version.
TEST(LogCrash, WritersKilledMidWay) {
  std::string dir = tnwtest::MakeTempDir("log_crash");
  std::string run = dir + "/KL230101_120000.odl", text = dir + "/KL230101_120000.txt";
  LogFileHeader created = Header();
  {
    CLogFileStore s;
    std::vector<ChannelRecord> ch(32);
    memset(ch.data(), 0x5A, sizeof(ChannelRecord) * 32);
    ChannelRecord *blocks[1] = {ch.data()};
    ASSERT_EQ(s.Create(run.c_str(), &created, blocks), 0);
    s.Close();
  }
  const std::string image = tnwtest::ReadFile(run).substr(0, created.firstRecord);
  std::mt19937 rng(19);
  uint32_t reported = 0;
  for (int round = 0; round < 200; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      Writer(run, fds[1]);
    }
    close(fds[1]);
    // Three rounds in four let the writer append a few times first, so that a
    // loaded machine still kills writers in the middle of their appends; the
    // fourth may kill it while it opens the run.
    uint32_t n;
    if (round % 4 != 0) {
      const uint32_t before = reported;
      while (reported < before + 3 && read(fds[0], &n, sizeof n) == sizeof n) reported = n;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 15000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << " writer ended " << status;
    while (read(fds[0], &n, sizeof n) == sizeof n) reported = n;
    close(fds[0]);

    CLogFileStore r;
    ASSERT_EQ(r.Open(nullptr, run.c_str(), OS_GENERIC_READ), 0) << "round " << round;
    LogFileHeader h;
    ASSERT_EQ(r.ReadHeader(&h), 0) << "round " << round;
    ASSERT_GE(h.recordCount, reported) << "round " << round;
    std::string now = tnwtest::ReadFile(run);
    for (size_t i = 0; i < image.size(); ++i) {
      bool free = i < 4 || (i >= 8 && i < 12) || (i >= 20 && i < 28);  // end, count, stop time
      if (!free) {
        ASSERT_EQ(now[i], image[i]) << "round " << round << " header byte " << i;
      }
    }
    std::vector<char> recs(size_t(h.recordCount) * kRecordSize);
    if (h.recordCount) {
      ASSERT_EQ(r.ReadLogs(0, &h, recs.data(), int32_t(h.recordCount), nullptr, nullptr, nullptr),
                int32_t(h.recordCount));
    }
    for (uint32_t i = 0; i < h.recordCount; ++i)
      ASSERT_EQ(std::string(&recs[size_t(i) * kRecordSize], kRecordSize), Record(i)) << "round " << round << " record " << i;

    std::string t = tnwtest::ReadFile(text);
    if (!t.empty()) {
      size_t body = t.find("[HEADER]\r\n");
      if (body != std::string::npos) {
        std::string line = t.substr(body + 10, t.find("\r\n", body + 10) - body - 10);
        ASSERT_EQ(line.size(), 3000u) << "round " << round;
        ASSERT_EQ(line, std::string(3000, line[0])) << "round " << round;
      }
      char out[65536];
      uint32_t cap = sizeof out;
      ASSERT_GE(txt_ReadSection(text.c_str(), "TEXT", out, &cap), 0);
    }
  }
  EXPECT_GT(reported, 200u);
}

}  // namespace
