// The in-process provider's history read against a hand-written pread loop.
//   "7S" for 16 channels over 1,000,000 records (1,036 bytes, 128 analogue
//   channels) in 10 file runs, through con_Transact on a kind-3 connection,
//   after the run list is built, warm cache; against pread()s of the same
//   records (1,000 a call) extracting the same times and 16 values into the
//   same arrays. Median of 5 runs each.
// Usage: bench_provider [--records N] (default 1,000,000; the runs are kept
// under the platform root's C:\benchprov and reused while they match).
// Prints "history_ratio"; exits 1 above 2.0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/server/srv_client.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/prov_provider.h"

namespace {

constexpr uint32_t kChannels = 128, kListed = 16, kRuns = 10;
constexpr uint32_t kRecordSize = 12 + 8 * kChannels;  // 1,036
constexpr int32_t kT0 = 1672574400;
constexpr int kTimes = 5;

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

LogFileHeader Header(int32_t start) {
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.type = 0x8001;
  h.blockCount = 1;
  h.recordSize = kRecordSize;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].first = 1;
  h.blocks[0].last = kChannels;
  h.blocks[0].kind = 8;
  h.blocks[0].statusOffset = 12;
  h.start = {start, 0, 0};
  return h;
}

std::string RunName(uint32_t run, uint32_t perRun) {
  char stamp[14];
  log_FormatStamp(kT0 + int64_t{run} * perRun, stamp);
  return std::string("BP") + stamp + ".odl";
}

bool MakeRuns(const std::string &dir, uint32_t perRun) {
  std::vector<ChannelRecord> channels(kChannels);
  memset(channels.data(), 0, channels.size() * sizeof(ChannelRecord));
  ChannelRecord *blocks[1] = {channels.data()};
  constexpr uint32_t kChunk = 1000;
  std::vector<char> b(size_t(kChunk) * kRecordSize);
  // Runs of another record count would join the list: only this set stays.
  std::vector<std::string> keep;
  for (uint32_t run = 0; run < kRuns; ++run) keep.push_back(RunName(run, perRun));
  for (const auto &e : std::filesystem::directory_iterator(dir))
    if (std::find(keep.begin(), keep.end(), e.path().filename().string()) == keep.end())
      std::filesystem::remove(e.path());
  for (uint32_t run = 0; run < kRuns; ++run) {
    std::string path = dir + "/" + RunName(run, perRun);
    if (std::filesystem::exists(path) &&
        std::filesystem::file_size(path) > uint64_t{perRun} * kRecordSize)
      continue;
    std::filesystem::remove(path);
    LogFileHeader h = Header(kT0 + int32_t(run * perRun));
    CLogFileStore s;
    if (s.Create(path.c_str(), &h, blocks) != 0) return false;
    for (uint32_t at = 0; at < perRun; at += kChunk) {
      uint32_t n = std::min(kChunk, perRun - at);
      for (uint32_t r = 0; r < n; ++r) {
        char *p = &b[size_t(r) * kRecordSize];
        uint16_t mark = 0x8004;
        TimeStamp t{kT0 + int32_t(run * perRun + at + r), 0, 0};
        memcpy(p, &mark, 2);
        memcpy(p + 4, &t, 8);
        for (uint32_t k = 0; k < kChannels; ++k) {
          uint32_t st = 0x80;
          float v = float(at + r) + float(k);
          memcpy(p + 12 + 4 * k, &st, 4);
          memcpy(p + 12 + 4 * kChannels + 4 * k, &v, 4);
        }
      }
      if (s.WriteLogs(&h, b.data(), n) != 0) return false;
    }
    s.Close();
  }
  return true;
}

// The same records by hand: times and the first 16 values of each.
uint64_t PreadLoop(const std::string &dir, uint32_t perRun, TimeStamp *times, float *values) {
  uint64_t out = 0;
  constexpr uint32_t kChunk = 1000;
  std::vector<char> b(size_t(kChunk) * kRecordSize);
  for (uint32_t run = 0; run < kRuns; ++run) {
    int fd = open((dir + "/" + RunName(run, perRun)).c_str(), O_RDONLY);
    if (fd < 0) return 0;
    LogFileHeader h = Header(0);
    (void)h;
    uint32_t first = 0;
    if (pread(fd, &first, 4, 28) != 4) return close(fd), 0;
    for (uint32_t at = 0; at < perRun; at += kChunk) {
      uint32_t n = std::min(kChunk, perRun - at);
      ssize_t want = ssize_t(n) * kRecordSize;
      if (pread(fd, b.data(), size_t(want), off_t(first) + off_t(at) * kRecordSize) != want) return close(fd), 0;
      for (uint32_t r = 0; r < n; ++r, ++out) {
        const char *p = &b[size_t(r) * kRecordSize];
        memcpy(&times[out], p + 4, 8);
        for (uint32_t k = 0; k < kListed; ++k) {
          uint32_t st;
          memcpy(&st, p + 12 + 4 * k, 4);
          if (st & 0x20) continue;
          if (st & 0x80) memcpy(&values[out * kListed + k], p + 12 + 4 * kChannels + 4 * k, 4);
          else values[out * kListed + k] = (st & 1) ? 1.0f : 0.0f;
        }
      }
    }
    close(fd);
  }
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t records = 1000000;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--records") == 0 && i + 1 < argc) records = uint32_t(strtoul(argv[++i], nullptr, 10));
    else return fprintf(stderr, "usage: bench_provider [--records N]\n"), 2;
  }
  uint32_t perRun = std::max<uint32_t>(records / kRuns, 1);
  records = perRun * kRuns;
  std::string dir = std::string(os_Root()) + "/drives/c/benchprov";
  std::filesystem::create_directories(dir);
  if (!MakeRuns(dir, perRun)) return fprintf(stderr, "bench_provider: cannot write the runs in %s\n", dir.c_str()), 1;

  std::vector<TimeStamp> times(records);
  std::vector<float> values(size_t(records) * kListed);
  std::string list;
  for (uint32_t k = 1; k <= kListed; ++k) list += (k > 1 ? ",AI" : "AI") + std::to_string(k);
  char text[256];
  prov_RegisterBuffer(list.c_str(), list.size() + 1);
  prov_RegisterBuffer(times.data(), times.size() * sizeof(TimeStamp));
  prov_RegisterBuffer(values.data(), values.size() * sizeof(float));
  prov_RegisterBuffer(text, sizeof text);
  char line[400];
  snprintf(line, sizeof line, "7S,0,0,0,0,%llu,%u,%llu,%llu,%llu,%d",
           (unsigned long long)reinterpret_cast<uintptr_t>(list.c_str()), records,
           (unsigned long long)reinterpret_cast<uintptr_t>(times.data()),
           (unsigned long long)reinterpret_cast<uintptr_t>(values.data()),
           (unsigned long long)reinterpret_cast<uintptr_t>(text), int(sizeof text));
  con_InstallTransports();
  const char *server = "C:\\benchprov";
  char reply[256];
  auto ask = [&] {
    int n = sizeof reply;
    int rc = con_Transact(server, line, int(strlen(line) + 1), reply, &n);
    return rc == 1 ? std::string(reply, strnlen(reply, size_t(n))) : std::string();
  };
  std::string want = "1," + std::to_string(records) + ",0,0";
  if (ask() != want) return fprintf(stderr, "bench_provider: 7S replied \"%s\", not \"%s\"\n", reply, want.c_str()), 1;
  std::vector<TimeStamp> t2(records);
  std::vector<float> v2(size_t(records) * kListed);
  if (PreadLoop(dir, perRun, t2.data(), v2.data()) != records) return fprintf(stderr, "bench_provider: pread\n"), 1;
  if (memcmp(t2.data(), times.data(), t2.size() * sizeof(TimeStamp)) != 0 ||
      memcmp(v2.data(), values.data(), v2.size() * sizeof(float)) != 0)
    return fprintf(stderr, "bench_provider: the two reads differ\n"), 1;
  std::vector<double> provider, plain;
  for (int i = 0; i < kTimes; ++i) {
    auto t = Clock::now();
    if (ask() != want) return fprintf(stderr, "bench_provider: 7S failed\n"), 1;
    provider.push_back(Since(t));
    t = Clock::now();
    if (PreadLoop(dir, perRun, t2.data(), v2.data()) != records) return 1;
    plain.push_back(Since(t));
  }
  con_CloseAllConnections();
  double ratio = Median(provider) / Median(plain);
  printf("records %u, 7S median %.3f s, pread loop median %.3f s\n", records, Median(provider), Median(plain));
  printf("history_ratio %.2f\n", ratio);
  return ratio > 2.0 ? 1 : 0;
}
