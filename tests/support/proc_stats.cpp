#include "tests/support/proc_stats.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef TNW_SANITIZE
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace tnwtest {

namespace {

uint64_t Field(const std::string &status, const char *key) {
  size_t at = status.find(key);
  if (at == std::string::npos) return 0;
  return strtoull(status.c_str() + at + strlen(key), nullptr, 10);
}

std::string Slurp(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

uint64_t HeapInUse() {
#ifdef TNW_SANITIZE
  return __sanitizer_get_current_allocated_bytes();
#else
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

bool ThreadAsleep(uint32_t tid) {
  // The state follows the command name, which is in parentheses and may hold any character.
  std::string stat = Slurp("/proc/" + std::to_string(tid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  char state = stat[close + 2];
  return state == 'S' || state == 'D';
}

ProcStats ReadProcStats(pid_t pid) {
  ProcStats p;
  std::string dir = "/proc/" + std::to_string(pid);
  std::string status = Slurp(dir + "/status");
  if (status.empty()) return p;
  size_t state = status.find("State:");
  if (state == std::string::npos) return p;
  size_t c = status.find_first_not_of(" \t", state + 6);
  p.alive = c != std::string::npos && status[c] != 'Z' && status[c] != 'X';
  p.rssKb = Field(status, "VmRSS:");
  p.sizeKb = Field(status, "VmSize:");
  p.threads = static_cast<int>(Field(status, "Threads:"));
  if (DIR *d = opendir((dir + "/fd").c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++p.fds;
    closedir(d);
  }
  // Fields 14 and 15 of stat, counted after the command's closing parenthesis.
  std::string stat = Slurp(dir + "/stat");
  size_t paren = stat.rfind(')');
  if (paren != std::string::npos) {
    std::istringstream in(stat.substr(paren + 2));
    std::string f;
    for (int i = 3; i <= 15 && in >> f; ++i) {
      if (i == 14) p.cpuTicks = strtoull(f.c_str(), nullptr, 10);
      if (i == 15) p.cpuTicks += strtoull(f.c_str(), nullptr, 10);
    }
  }
  return p;
}

long TicksPerSecond() { return sysconf(_SC_CLK_TCK); }

std::string DescribeFds(pid_t pid) {
  std::string out, dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[512];
      ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      target[n > 0 ? n : 0] = '\0';
      out += std::string(e->d_name) + " -> " + target + "\n";
    }
    closedir(d);
  }
  return out;
}

}  // namespace tnwtest
