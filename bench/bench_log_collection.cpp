// The file collection against plain system calls on the same disk: a folder
// of 20,000 closed runs of two prefixes, each with ".odl", ".txt", ".tsq" and
// ".zip" (80,000 files).
//   findrun: FindRun for one prefix against one readdir pass over the
//            folder; five runs each, best times compared;
//   purge:   Purge of one prefix's 10,000 runs (40,000 files) against a
//            readdir pass plus unlink of the same 40,000 files; the files
//            are made again before each side's run; three runs each.
// Usage: bench_log_collection [--dir FOLDER] (default: bench_log_collection/
// beside bin/). Prints "findrun_ratio" and "purge_ratio"; exits 1 when the
// first is above 2.5 or the second above 1.5.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_format.h"

namespace {

constexpr int kRunsPerPrefix = 10000;
constexpr int kFindRuns = 5;
constexpr int kPurgeRuns = 3;
const char *const kExts[] = {".odl", ".txt", ".tsq", ".zip"};

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<std::string> Names(const char *prefix) {
  std::vector<std::string> names;
  for (int i = 0; i < kRunsPerPrefix; ++i) {
    char s[14], e[14];
    int64_t start = 1672531200 + int64_t{i} * 3600;
    log_FormatStamp(start, s);
    log_FormatStamp(start + 1800, e);
    for (const char *ext : kExts) names.push_back(std::string(prefix) + std::string(s, 13) + "_" + std::string(e, 13) + ext);
  }
  return names;
}

bool Make(const std::string &dir, const std::vector<std::string> &names) {
  for (const std::string &n : names) {
    int fd = open((dir + "/" + n).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0) return false;
    close(fd);
  }
  return true;
}

size_t ReaddirPass(const std::string &dir) {
  size_t n = 0;
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) dir = argv[++i];
    else return fprintf(stderr, "usage: bench_log_collection [--dir FOLDER]\n"), 2;
  }
  if (dir.empty())
    dir = (std::filesystem::absolute(argv[0]).parent_path().parent_path() / "bench_log_collection").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  dir = std::filesystem::canonical(dir).string();
  std::vector<std::string> a = Names("A"), b = Names("B");
  if (!Make(dir, a) || !Make(dir, b)) return fprintf(stderr, "cannot make the runs in %s\n", dir.c_str()), 1;

  CLogFileCollection c;
  if (c.Open("", dir.c_str(), "", "A", 0x80000000u) != 0) return fprintf(stderr, "cannot open %s\n", dir.c_str()), 1;
  double bestFind = 1e9, bestList = 1e9;
  for (int run = 0; run < kFindRuns; ++run) {
    char name[256];
    uint32_t cap = sizeof name;
    LogRunTime s{}, e{};
    auto t = Clock::now();
    if (c.FindRun(name, &cap, &s, &e, 0) != 1 || name[0] != 'A') return fprintf(stderr, "FindRun failed\n"), 1;
    bestFind = std::min(bestFind, Since(t));
    t = Clock::now();
    if (ReaddirPass(dir) < a.size() + b.size()) return fprintf(stderr, "readdir failed\n"), 1;
    bestList = std::min(bestList, Since(t));
  }

  double bestPurge = 1e9, bestUnlink = 1e9;
  int32_t cut = int32_t(1672531200 + int64_t{kRunsPerPrefix} * 3600 + 3600);
  for (int run = 0; run < kPurgeRuns; ++run) {
    if (run > 0 && !Make(dir, a)) return 1;
    auto t = Clock::now();
    c.Purge(&cut);
    bestPurge = std::min(bestPurge, Since(t));
    if (ReaddirPass(dir) != b.size() + 2) return fprintf(stderr, "Purge left A's runs or took B's\n"), 1;
    if (!Make(dir, a)) return 1;
    t = Clock::now();
    ReaddirPass(dir);
    for (const std::string &n : a) unlink((dir + "/" + n).c_str());
    bestUnlink = std::min(bestUnlink, Since(t));
  }
  std::filesystem::remove_all(dir);
  double findRatio = bestFind / bestList, purgeRatio = bestPurge / bestUnlink;
  printf("findrun %.4f s readdir %.4f s findrun_ratio %.2f\n", bestFind, bestList, findRatio);
  printf("purge %.4f s readdir+unlink %.4f s purge_ratio %.2f\n", bestPurge, bestUnlink, purgeRatio);
  return findRatio <= 2.5 && purgeRatio <= 1.5 ? 0 : 1;
}
