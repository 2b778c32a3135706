#include "tests/soak/soak_agitator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "framework/config/cfg_path.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "tools/scadasim/sim_world.h"

namespace soak {

namespace {

bool WriteAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// What a rewrite changes: limits, units and a gain of analogue channels, the
// description of a digital one; each toggles between two settings.
void Rewrite(int type, int channel, ChannelRecord *r) {
  if (type == IO_DI) {
    bool first = std::string(chan_GetDescription(r)) != "moving, cylinder 2";
    chan_SetDescription(r, first ? "moving, cylinder 2" : "cylinder 2 moving");
    return;
  }
  if (channel == 2) {
    bool first = r->a.HighAlarmLimit == 90;
    r->a.HighAlarmLimit = first ? 88 : 90;
    chan_SetUnits(r, first ? "pct" : "%");
  } else {
    r->a.Gain = r->a.Gain == 10 ? 20 : 10;
  }
}

// The child's life: wait for the scanner's process id, then act until the
// parent closes the pipe.
[[noreturn]] void Run(int in, int out, uint32_t seed) {
  std::mt19937 random(seed);
  uint32_t pid = 0;
  if (read(in, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) _exit(0);
  for (;;) {
    struct pollfd p = {in, POLLIN, 0};
    int wait = 300 + static_cast<int>(random() % 2200);
    if (poll(&p, 1, wait) != 0) _exit(0);  // told to stop (or the parent is gone)
    Act a;
    uint32_t roll = random() % 100;
    if (roll < 40) {
      static const int kEdits[][2] = {{IO_AI, 2}, {IO_AI, 3}, {IO_DI, 3}};
      const int *e = kEdits[random() % 3];
      a.type = e[0];
      a.channel = e[1];
      a.code = NTF_RECONFIGURE;
      a.posted = sim_ChangeChannel(0, e[0], e[1], [e](ChannelRecord *r) { Rewrite(e[0], e[1], r); }, 0);
      TimeStamp stamp{};
      cfg_FileStamp(sim_DeviceFolder(0) + "/" + chan_KindShortName(e[0]), &stamp);
      a.stampSeconds = static_cast<int32_t>(stamp.seconds);
      a.stampMs = stamp.ms;
      if (a.posted == 0) a.posted = ntf_Post(pid, NTF_RECONFIGURE);
    } else {
      a.code = roll < 70 ? NTF_INITIALISE_VALUES : NTF_RESET_COUNTERS;
      a.posted = ntf_Post(pid, a.code);
    }
    a.atMs = NowMs();
    if (!WriteAll(out, &a, sizeof a)) _exit(1);
  }
}

}  // namespace

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

Agitator::Agitator(uint32_t seed) {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) return;
  child_ = fork();
  if (child_ == 0) {
    close(down[1]);
    close(up[0]);
    Run(down[0], up[1], seed);
  }
  close(down[0]);
  close(up[1]);
  toChild_ = down[1];
  fromChild_ = up[0];
  fcntl(fromChild_, F_SETFL, fcntl(fromChild_, F_GETFL) | O_NONBLOCK);
}

Agitator::~Agitator() { Stop(); }

bool Agitator::Start(uint32_t scannerPid) { return child_ > 0 && WriteAll(toChild_, &scannerPid, sizeof scannerPid); }

std::vector<Act> Agitator::Take() {
  std::vector<Act> acts;
  Act a;
  while (fromChild_ >= 0 && read(fromChild_, &a, sizeof a) == static_cast<ssize_t>(sizeof a)) acts.push_back(a);
  return acts;
}

std::vector<Act> Agitator::Stop() {
  if (toChild_ >= 0) {
    const uint8_t stop = 1;
    WriteAll(toChild_, &stop, 1);
    close(toChild_);
    toChild_ = -1;
  }
  if (child_ > 0) {
    waitpid(child_, nullptr, 0);
    child_ = -1;
  }
  std::vector<Act> rest = Take();
  if (fromChild_ >= 0) close(fromChild_);
  fromChild_ = -1;
  return rest;
}

}  // namespace soak
