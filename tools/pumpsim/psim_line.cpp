// The line: a pseudo-terminal linked as the port, one thread that reads
// commands and writes replies at the pace of the wire.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <condition_variable>
#include <random>
#include <thread>

#include "platform/os_path.h"
#include "tools/pumpsim/psim.h"

struct PumpSim {
  PsimConfig config;
  int master = -1, slave = -1, stop = -1;
  std::string device, link;
  std::string takeOver;  // what became of a link found in place
  std::thread thread;
  std::mutex lock;  // commands, faults, log file
  std::condition_variable changed;
  std::vector<std::string> commands;
  std::vector<PsimFault> faults;
  std::vector<PsimExchange> exchanges;
  std::ofstream log;
  std::mt19937 random;
  uint64_t started = 0;
};

namespace {

uint64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Sleeps until a monotonic time; false when told to stop first.
bool SleepUntil(PumpSim *sim, uint64_t dueUs) {
  for (;;) {
    uint64_t now = NowUs();
    if (now >= dueUs) return true;
    uint64_t left = dueUs - now;
    if (left < 2000) {
      // The last stretch is slept exactly: poll rounds up to whole milliseconds.
      struct timespec ts = {static_cast<time_t>(dueUs / 1000000u), static_cast<long>((dueUs % 1000000u) * 1000u)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      continue;
    }
    struct pollfd p = {sim->stop, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>((left - 1000) / 1000)) > 0) return false;
  }
}

bool WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

struct Plan {
  bool answer = false;
  std::string bytes;
  uint32_t spacedMs = 0;
};

bool Matches(const PsimFault &f, int unit, const std::string &mnemonic, double t) {
  return (f.unit == 0 || f.unit == unit) && (f.command.empty() || f.command == mnemonic) && t >= f.from &&
         (f.to <= 0 || t < f.to);
}

void Keep(PumpSim *sim, PsimExchange &&e) {
  if (!sim->config.keepExchanges) return;
  std::lock_guard<std::mutex> g(sim->lock);
  sim->exchanges.push_back(std::move(e));
}

// What the unit sends back to one command, faults applied.
Plan PlanReply(PumpSim *sim, const std::string &line) {
  Plan plan;
  PsimExchange ex;
  ex.command = line;
  double t = static_cast<double>(NowUs() - sim->started) / 1e6;
  ex.seconds = t;
  if (line.size() < 3 || line[0] != 'R' || line[1] != 'P') return Keep(sim, std::move(ex)), plan;
  size_t i = 2;
  int unit = 0;
  while (i < line.size() && i < 5 && line[i] >= '0' && line[i] <= '9') unit = unit * 10 + (line[i++] - '0');
  if (i == 2 || unit < 1 || unit > 8 || !(sim->config.units & (1u << (unit - 1)))) return Keep(sim, std::move(ex)), plan;
  std::string mnemonic = line.substr(i);
  ex.unit = unit;
  ex.mnemonic = mnemonic;
  std::string reply = psim_Reply(unit, mnemonic, t, psim_SurgeBar(sim->config.surges, unit, t));
  const PsimFault *content = nullptr, *spacing = nullptr;
  {
    std::lock_guard<std::mutex> g(sim->lock);
    for (const PsimFault &f : sim->faults) {
      if (!Matches(f, unit, mnemonic, t)) continue;
      if (f.kind == PSIM_FAULT_ABSENT) {
        ex.fault = PSIM_FAULT_ABSENT;
        if (sim->config.keepExchanges) sim->exchanges.push_back(std::move(ex));
        return plan;
      }
      bool strikes = f.percent >= 100 || (sim->random() % 100) < f.percent;
      if (!strikes) continue;
      if (f.kind == PSIM_FAULT_SPACED) {
        if (!spacing) spacing = &f;
      } else if (!content) {
        content = &f;
      }
    }
    if (content) {
      ex.fault = content->kind;
      ex.faultArg = content->arg;
      switch (content->kind) {
        case PSIM_FAULT_SILENCE:
          if (sim->config.keepExchanges) sim->exchanges.push_back(std::move(ex));
          return plan;
        case PSIM_FAULT_GARBAGE: {
          reply.clear();
          size_t n = 6 + sim->random() % 7;
          for (size_t k = 0; k < n; ++k) {
            char c;
            do c = static_cast<char>(1 + sim->random() % 255);
            while (c == '\r');
            reply += c;
          }
          reply += '\r';
          break;
        }
        case PSIM_FAULT_SHORT: reply = reply.substr(0, reply.size() / 2 > 0 ? reply.size() / 2 : 1); break;
        case PSIM_FAULT_OVERLONG: {
          reply = "000";
          while (reply.size() < psim_ReplyLimit(mnemonic) + 10) reply += ",1.000";
          reply.resize(psim_ReplyLimit(mnemonic) + 10);
          break;
        }
        case PSIM_FAULT_ERROR: {
          char buf[16];
          snprintf(buf, sizeof buf, "%03u\r", content->arg % 1000);
          reply = buf;
          break;
        }
        default: break;
      }
    }
    if (spacing) plan.spacedMs = spacing->arg;
  }
  plan.answer = true;
  plan.bytes = reply;
  ex.answered = true;
  ex.reply = reply;
  ex.spacedMs = plan.spacedMs;
  Keep(sim, std::move(ex));
  return plan;
}

void Record(PumpSim *sim, const std::string &line) {
  std::lock_guard<std::mutex> g(sim->lock);
  sim->commands.push_back(line);
  if (sim->log.is_open()) sim->log << line << std::endl;
  sim->changed.notify_all();
}

// Sends a reply: a byte is written when the wire would have delivered its
// last bit, so the reader sees it when a real line would.
bool Send(PumpSim *sim, const Plan &plan, uint64_t startUs) {
  uint64_t byteUs = sim->config.baud ? 10000000ull / sim->config.baud : 0;
  if (!plan.spacedMs && !byteUs) {
    if (!SleepUntil(sim, startUs)) return false;
    return WriteAll(sim->master, plan.bytes.data(), plan.bytes.size());
  }
  uint64_t last = 0;
  for (size_t k = 0; k < plan.bytes.size(); ++k) {
    uint64_t due = plan.spacedMs && k > 0 ? last + plan.spacedMs * 1000ull : startUs + (k + 1) * byteUs;
    if (!SleepUntil(sim, due)) return false;
    if (!WriteAll(sim->master, &plan.bytes[k], 1)) return false;
    // Spacing counts from the byte actually written: a late byte never shortens the next gap.
    last = NowUs();
  }
  return true;
}

void Serve(PumpSim *sim) {
  uint64_t byteUs = sim->config.baud ? 10000000ull / sim->config.baud : 0;
  std::string line;
  uint64_t firstByteUs = 0;
  for (;;) {
    struct pollfd p[2] = {{sim->master, POLLIN, 0}, {sim->stop, POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p[1].revents & POLLIN)) return;
    if (!(p[0].revents & POLLIN)) {
      // The other side closed its end for a moment: wait for it again.
      if (p[0].revents & (POLLHUP | POLLERR)) {
        struct pollfd s = {sim->stop, POLLIN, 0};
        if (poll(&s, 1, 20) > 0) return;
      }
      continue;
    }
    char buf[256];
    ssize_t n = read(sim->master, buf, sizeof buf);
    if (n <= 0) continue;
    uint64_t now = NowUs();
    for (ssize_t k = 0; k < n; ++k) {
      if (line.empty()) firstByteUs = now;
      if (buf[k] != '\r') {
        if (line.size() < 512) line += buf[k];
        continue;
      }
      Record(sim, line);
      Plan plan = PlanReply(sim, line);
      // The command ends on the wire when its carriage return has come in.
      uint64_t commandEnd = firstByteUs + (line.size() + 1) * byteUs;
      line.clear();
      if (!plan.answer) continue;
      uint64_t start = std::max(NowUs(), commandEnd) + sim->config.turnaroundMs * 1000ull;
      if (!Send(sim, plan, start)) return;
    }
  }
}

void MakeRaw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// A process that ended but was not yet reaped (a zombie) owns nothing.
bool OwnerLives(long pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

void Close(PumpSim *sim) {
  if (sim->master >= 0) close(sim->master);
  if (sim->slave >= 0) close(sim->slave);
  if (sim->stop >= 0) close(sim->stop);
}

}  // namespace

PumpSim *psim_Start(const PsimConfig &config, std::string *why) {
  PumpSim *sim = new PumpSim;
  sim->config = config;
  sim->faults = config.faults;
  sim->random.seed(config.seed);
  auto fail = [&](const std::string &text) -> PumpSim * {
    if (why) *why = text + (errno ? std::string(": ") + strerror(errno) : std::string());
    Close(sim);
    delete sim;
    return nullptr;
  };
  std::string port = config.port;
  if (!port.empty() && port.back() == ':') port.pop_back();
  if (port.empty() || port.find('/') != std::string::npos || port.find('\\') != std::string::npos)
    return errno = 0, fail("bad port name \"" + config.port + "\"");
  sim->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim->master < 0 || grantpt(sim->master) != 0 || unlockpt(sim->master) != 0) return fail("no pseudo-terminal");
  char name[128];
  if (ptsname_r(sim->master, name, sizeof name) != 0) return fail("no pseudo-terminal name");
  sim->device = name;
  // Our own hold on the far end keeps the line up while the scanner reopens it,
  // and raw mode keeps replies from being echoed or translated before it does.
  sim->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim->slave < 0) return fail("cannot open " + sim->device);
  MakeRaw(sim->slave);
  sim->stop = eventfd(0, EFD_CLOEXEC);
  if (sim->stop < 0) return fail("no event");
  std::error_code ec;
  std::filesystem::path dev = std::filesystem::path(os_Root()) / "dev";
  std::filesystem::create_directories(dev, ec);
  if (ec) return errno = ec.value(), fail("cannot create " + dev.string());
  sim->link = (dev / port).string();
  const std::string owner = sim->link + ".owner";
  std::filesystem::path old = std::filesystem::read_symlink(sim->link, ec);
  if (!ec) {
    // The link's owner, not its target, decides: a dead simulator's pseudo-
    // terminal number may belong to another program by now.
    long pid = 0;
    std::ifstream(owner) >> pid;
    if (OwnerLives(pid))
      return errno = EEXIST, fail(port + " is in use by process " + std::to_string(pid));
    sim->takeOver = "replaced " + sim->link + " (to " + old.string() + ") left by " +
                    (pid > 0 ? "process " + std::to_string(pid) + ", which is gone" : "a process that left no owner");
    std::filesystem::remove(sim->link, ec);
  }
  std::filesystem::create_symlink(sim->device, sim->link, ec);
  if (ec) return errno = ec.value(), fail("cannot link " + sim->link);
  std::ofstream(owner, std::ios::trunc) << getpid() << "\n";
  if (!config.logPath.empty()) {
    sim->log.open(config.logPath, std::ios::app);
    if (!sim->log) {
      std::filesystem::remove(sim->link, ec);
      return fail("cannot open the log " + config.logPath);
    }
  }
  sim->started = NowUs();
  sim->thread = std::thread(Serve, sim);
  return sim;
}

void psim_Stop(PumpSim *sim) {
  if (!sim) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t w = write(sim->stop, &one, sizeof one);
  if (sim->thread.joinable()) sim->thread.join();
  std::error_code ec;
  if (std::filesystem::read_symlink(sim->link, ec) == sim->device) {
    std::filesystem::remove(sim->link, ec);
    std::filesystem::remove(sim->link + ".owner", ec);
  }
  Close(sim);
  delete sim;
}

std::vector<std::string> psim_Commands(PumpSim *sim) {
  std::lock_guard<std::mutex> g(sim->lock);
  return sim->commands;
}

void psim_ClearCommands(PumpSim *sim) {
  std::lock_guard<std::mutex> g(sim->lock);
  sim->commands.clear();
}

bool psim_WaitCommands(PumpSim *sim, size_t n, uint32_t ms) {
  std::unique_lock<std::mutex> g(sim->lock);
  return sim->changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return sim->commands.size() >= n; });
}

void psim_SetFaults(PumpSim *sim, const std::vector<PsimFault> &faults) {
  std::lock_guard<std::mutex> g(sim->lock);
  sim->faults = faults;
}

std::vector<PsimExchange> psim_TakeExchanges(PumpSim *sim) {
  std::lock_guard<std::mutex> g(sim->lock);
  std::vector<PsimExchange> out;
  out.swap(sim->exchanges);
  return out;
}

double psim_Seconds(const PumpSim *sim) { return static_cast<double>(NowUs() - sim->started) / 1e6; }

std::string psim_LinkPath(const PumpSim *sim) { return sim->link; }
std::string psim_TakeOverNote(const PumpSim *sim) { return sim->takeOver; }
std::string psim_DevicePath(const PumpSim *sim) { return sim->device; }
