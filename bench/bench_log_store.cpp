// The file store against plain system calls on the same disk, records of
// 1,036 bytes (128 analogue channels):
//   append: 2,000 WriteLogs of 1 record and 2,000 of 100 records, against
//           write()s of the same bytes to a file opened with the same
//           write-through flag in the same folder; the two sides alternate,
//           five runs each, on fresh files; the best times are compared;
//   read:   ReadLogs of 100,000 records, 1,000 a call, bad values marked,
//           warm cache, against pread()s of the same chunks; ten runs each,
//           the best times compared.
// Usage: bench_log_store [--dir FOLDER] (default: bench_log_store/ beside bin/).
// Prints "append_ratio_1", "append_ratio_100" and "read_ratio"; exits 1 when
// an append ratio is above 1.10 or the read ratio above 1.5.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_store.h"

namespace {

constexpr uint32_t kChannels = 128;
constexpr uint32_t kRecordSize = 12 + 8 * kChannels;  // 1,036
constexpr int kAppends = 2000;
constexpr int kReadRecords = 100000;
constexpr int kReadChunk = 1000;
constexpr int kRuns = 5;
constexpr int kReadRuns = 10;

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

LogFileHeader Header() {
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.blockCount = 1;
  h.recordSize = kRecordSize;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].first = 1;
  h.blocks[0].last = kChannels;
  h.blocks[0].kind = 8;
  h.blocks[0].statusOffset = 12;
  h.start = {1672574400, 0, 0};
  return h;
}

std::vector<char> Records(uint32_t count, uint32_t from) {
  std::vector<char> b(size_t(count) * kRecordSize);
  for (uint32_t r = 0; r < count; ++r) {
    char *p = &b[size_t(r) * kRecordSize];
    uint16_t mark = 0x8004, word = 1;
    int32_t sec = int32_t(1672574400 + from + r);
    memcpy(p, &mark, 2);
    memcpy(p + 2, &word, 2);
    memcpy(p + 4, &sec, 4);
    for (uint32_t k = 0; k < kChannels; ++k) {
      uint32_t s = 0x80;
      float v = (k == 7 && r % 50 == 0) ? NAN : float(r) + float(k);
      memcpy(p + 12 + 4 * k, &s, 4);
      memcpy(p + 12 + 4 * kChannels + 4 * k, &v, 4);
    }
  }
  return b;
}

std::vector<ChannelRecord> g_channels(kChannels);

bool CreateRun(CLogFileStore &s, const std::string &path, LogFileHeader *h) {
  std::filesystem::remove(path);
  ChannelRecord *blocks[1] = {g_channels.data()};
  return s.Create(path.c_str(), h, blocks) == 0;
}

double StoreAppends(const std::string &dir, uint32_t per) {
  std::string path = dir + "/ST230101_120000.odl";
  CLogFileStore s;
  LogFileHeader h = Header();
  if (!CreateRun(s, path, &h)) return -1;
  std::vector<char> recs = Records(per, 0);
  auto t = Clock::now();
  for (int i = 0; i < kAppends; ++i)
    if (s.WriteLogs(&h, recs.data(), per) != 0) return -1;
  double secs = Since(t);
  s.Close();
  std::filesystem::remove(path);
  return secs;
}

double PlainAppends(const std::string &dir, uint32_t per, uint32_t headerBytes) {
  std::string path = dir + "/plain.bin";
  std::filesystem::remove(path);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_DSYNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  std::vector<char> head(headerBytes, 0);
  if (write(fd, head.data(), head.size()) != ssize_t(head.size())) return close(fd), -1;
  std::vector<char> recs = Records(per, 0);
  auto t = Clock::now();
  for (int i = 0; i < kAppends; ++i)
    if (write(fd, recs.data(), recs.size()) != ssize_t(recs.size())) return close(fd), -1;
  double secs = Since(t);
  close(fd);
  std::filesystem::remove(path);
  return secs;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) dir = argv[++i];
    else return fprintf(stderr, "usage: bench_log_store [--dir FOLDER]\n"), 2;
  }
  if (dir.empty()) dir = (std::filesystem::absolute(argv[0]).parent_path().parent_path() / "bench_log_store").string();
  std::filesystem::create_directories(dir);
  dir = std::filesystem::canonical(dir).string();

  LogFileHeader probe = Header();
  {
    CLogFileStore s;
    if (!CreateRun(s, dir + "/PR230101_120000.odl", &probe)) return fprintf(stderr, "cannot create a run in %s\n", dir.c_str()), 1;
    s.Close();
  }

  double ratios[2];
  const uint32_t pers[2] = {1, 100};
  for (int k = 0; k < 2; ++k) {
    double bestStore = 1e9, bestPlain = 1e9;
    for (int run = 0; run < kRuns; ++run) {
      double a = StoreAppends(dir, pers[k]), b = PlainAppends(dir, pers[k], probe.firstRecord);
      if (a < 0 || b < 0) return fprintf(stderr, "append failed\n"), 1;
      bestStore = std::min(bestStore, a);
      bestPlain = std::min(bestPlain, b);
    }
    ratios[k] = bestStore / bestPlain;
    printf("append_%u store %.4f s plain %.4f s\n", pers[k], bestStore, bestPlain);
  }

  // Reading: one run of 100,000 records, read warm.
  std::string path = dir + "/RD230101_120000.odl";
  LogFileHeader h = Header();
  {
    CLogFileStore s;
    if (!CreateRun(s, path, &h)) return 1;
    for (int i = 0; i < kReadRecords / kReadChunk; ++i) {
      std::vector<char> recs = Records(kReadChunk, uint32_t(i * kReadChunk));
      if (s.WriteLogs(&h, recs.data(), kReadChunk) != 0) return fprintf(stderr, "write failed\n"), 1;
    }
    s.Close();
  }
  std::vector<char> buf(size_t(kReadChunk) * kRecordSize);
  double bestStore = 1e9, bestPlain = 1e9;
  for (int run = 0; run < kReadRuns + 1; ++run) {  // the first run warms the cache
    CLogFileStore r;
    LogFileHeader rh;
    if (r.Open(nullptr, path.c_str(), OS_GENERIC_READ) != 0 || r.ReadHeader(&rh) != 0) return 1;
    auto t = Clock::now();
    int64_t got = 0;
    for (int i = 0; i < kReadRecords / kReadChunk; ++i)
      got += r.ReadLogs(int64_t(i) * kReadChunk, &rh, buf.data(), kReadChunk, nullptr, nullptr, nullptr);
    double a = Since(t);
    if (got != kReadRecords) return fprintf(stderr, "read %lld records\n", static_cast<long long>(got)), 1;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    t = Clock::now();
    int64_t bytes = 0;
    for (int i = 0; i < kReadRecords / kReadChunk; ++i)
      bytes += pread(fd, buf.data(), buf.size(), off_t(rh.firstRecord) + off_t(i) * off_t(buf.size()));
    double b = Since(t);
    close(fd);
    if (bytes != int64_t(kReadRecords) * kRecordSize) return 1;
    if (run == 0) continue;
    bestStore = std::min(bestStore, a);
    bestPlain = std::min(bestPlain, b);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(dir + "/PR230101_120000.odl");
  double readRatio = bestStore / bestPlain;
  printf("read store %.4f s plain %.4f s\n", bestStore, bestPlain);
  printf("append_ratio_1 %.3f\nappend_ratio_100 %.3f\nread_ratio %.3f\n", ratios[0], ratios[1], readRatio);
  bool ok = ratios[0] <= 1.10 && ratios[1] <= 1.10 && readRatio <= 1.5;
  if (!ok) printf("bench_log_store: past a target (append 1.10, read 1.5)\n");
  return ok ? 0 : 1;
}
