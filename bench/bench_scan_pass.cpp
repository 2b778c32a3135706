// The scanner's cost per pass, measured on the real Tnwell_SC process.
//
// A full device (8 pumps, 128 analogue channels over bulk and single values,
// 256 digital channels) is scanned by Tnwell_SC, started through scadasim with
// its trace object open (trace off) against a pumpsim line in this process.
// Each pass is one scan code posted to the scanner and ends with the change
// notice of the analogue area, which the pass publishes last.
//
// - CPU: the kernel's CPU clock of the scanner process (all its threads),
//   over the passes of a case, per pass: unpaced line (500 passes by default),
//   the same with statistics channels configured, and a paced line.
// - System calls: a raw_syscalls:sys_enter tracepoint counter (perf events,
//   counting only; no ptrace, no seccomp) on every thread of the scanner,
//   over as many passes again after the CPU was measured (an attached counter
//   makes each thread switch dearer, so it is kept out of the CPU figure).
//   Without tracepoints (no tracefs, no permission) the figure is missing and
//   the benchmark fails.
// - Wire ratio: on a line paced at 9600 baud with a turnaround, each pass's
//   duration (post to notice) over the wire time of the bytes the line saw
//   (commands and replies, counted at pumpsim) plus one turnaround per
//   exchange; the median of the passes.
// - Floor: the same exchanges of one pass (the commands the line saw, the
//   replies pumpsim makes) by bare write/poll/read on the pseudo-terminal in
//   this thread, its CPU per pass: what the machine asks of any reader of
//   the line. Printed beside the scanner's figure, no target; on the paced
//   line too, with its wake-ups.
// - Wake-ups: on the paced line, the voluntary context switches of every
//   thread of the scanner (/proc/<pid>/task/*/status) per pass, which the
//   load moves far less than the CPU each of them costs; no target.
// - Evaluation: in this process, the scan pass with the line swapped out of
//   the handler table (evaluation, publication, alarms, event counts), per pass.
//
// Prints "<name> <figure>" lines and exits 1 when a figure is past its target.
#include <fcntl.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/status/sts_status.h"
#include "platform/os_handle.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_cycle.h"
#include "scanner/scan_life.h"
#include "scanner/scan_state.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

namespace {

const uint32_t kAnalogueIndexes[16] = {1, 2, 3, 6, 9, 10, 12, 16, 18, 19, 35, 36, 39, 40, 41, 42};

void Hardware(ChannelRecord *r, bool digital, uint32_t pump, uint32_t value) {
  int at = digital ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &pump, 4);
  memcpy(r->raw + at + 4, &value, 4);
}

// Every channel takes part and has something to evaluate.
void Shape(int t, int i, ChannelRecord *r) {
  if (t == IO_AI) {
    Hardware(r, false, 1 + i / 16, kAnalogueIndexes[i % 16]);
    for (int bit : {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                    CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_EVENT_ENABLE, CHAN_AF_SIG_CHANGE_ENABLE})
      chan_SetFlagBit(r, bit, true);
    r->a.HighAlarmLimit = 90, r->a.HighAlarmDeadband = 85, r->a.HighWarningLimit = 80;
    r->a.LowAlarmLimit = 1, r->a.HighEventLimit = 95, r->a.LowEventLimit = 5, r->a.SigChangeValue = 2;
  } else if (t == IO_DI) {
    int k = i % 32;
    Hardware(r, true, 1 + i / 32, k < 29 ? 1 + k : (k == 29 ? 87 : 96 + (k - 30)));
    chan_SetFlagBit(r, CHAN_DF_EVENT_ENABLE, true);
    chan_SetFlagBit(r, CHAN_DF_EVENT_STATE, true);
    if (k % 4 == 0) chan_SetFlagBit(r, CHAN_DF_ALARM_ENABLE, true);
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ProcessCpuMs(pid_t pid) {
  clockid_t clock;
  struct timespec ts;
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return -1;
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// System calls of every thread of a process, by a tracepoint counter per thread.
struct SyscallCounter {
  std::vector<int> fds;

  static long TracepointId() {
    for (const char *p : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                          "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
      std::ifstream in(p);
      long id = -1;
      if (in >> id) return id;
    }
    return -1;
  }

  bool Open(pid_t pid) {
    Close();
    long id = TracepointId();
    if (id < 0) return false;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
      struct perf_event_attr a;
      memset(&a, 0, sizeof a);
      a.type = PERF_TYPE_TRACEPOINT;
      a.size = sizeof a;
      a.config = static_cast<uint64_t>(id);
      a.inherit = 1;
      int tid = atoi(e.path().filename().c_str());
      int fd = static_cast<int>(syscall(SYS_perf_event_open, &a, tid, -1, -1, 0));
      if (fd < 0) return Close(), false;
      fds.push_back(fd);
    }
    return !fds.empty();
  }

  uint64_t Count() const {
    uint64_t total = 0;
    for (int fd : fds) {
      uint64_t v = 0;
      if (read(fd, &v, sizeof v) == sizeof v) total += v;
    }
    return total;
  }

  void Close() {
    for (int fd : fds) close(fd);
    fds.clear();
  }
};

double ThreadCpuMs() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Voluntary context switches of this thread.
long ThreadWakeups() {
  struct rusage ru;
  return getrusage(RUSAGE_THREAD, &ru) == 0 ? ru.ru_nvcsw : -1;
}

// Voluntary context switches of each thread of a process, by thread id.
std::map<int, long> ProcessWakeups(pid_t pid) {
  std::map<int, long> by;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(e.path() / "status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) by[atoi(e.path().filename().c_str())] = atol(line.c_str() + 24);
  }
  return by;
}

// Wake-ups between two looks, a thread born in between counted from zero.
long WakeupsBetween(const std::map<int, long> &a, const std::map<int, long> &b, std::map<int, long> *byThread) {
  long total = 0;
  for (const auto &[tid, n] : b) {
    auto was = a.find(tid);
    long d = n - (was == a.end() ? 0 : was->second);
    total += d;
    if (byThread) (*byThread)[tid] += d;
  }
  return total;
}

// The exchanges of one pass done bare: per command one write, then a poll
// and a read until the carriage return. CPU of this thread per pass, or -1;
// its wake-ups per pass in *wakeups.
double RunFloor(PumpSim *line, const std::vector<std::string> &commands, int passes, double *wakeups = nullptr) {
  int fd = open(psim_DevicePath(line).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return close(fd), -1;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::vector<std::string> out;
  for (const std::string &c : commands) out.push_back(c + "\r");
  bool ok = !out.empty();
  double cpu0 = ThreadCpuMs();
  long wake0 = ThreadWakeups();
  for (int p = 0; p < passes && ok; ++p) {
    for (const std::string &c : out) {
      if (write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size())) ok = false;
      char reply[512];
      bool ended = false;
      while (ok && !ended) {
        struct pollfd pf = {fd, POLLIN, 0};
        ssize_t n = poll(&pf, 1, 800) == 1 ? read(fd, reply, sizeof reply) : -1;
        if (n <= 0) ok = false;
        else ended = memchr(reply, '\r', static_cast<size_t>(n)) != nullptr;
      }
    }
  }
  double cpu = ThreadCpuMs() - cpu0;
  if (wakeups) *wakeups = static_cast<double>(ThreadWakeups() - wake0) / passes;
  close(fd);
  return ok ? cpu / passes : -1;
}

struct CaseResult {
  double floorCpuMsPerPass = -1;
  double cpuMsPerPass = -1;
  double syscallsPerPass = -1;
  double exchangesPerPass = 0;
  double wireRatio = 0;
  double wallMs = 0;
  double wakeupsPerPass = -1;
  double floorWakeupsPerPass = -1;
};

struct Scanner {
  OsHandle proc = nullptr;
  uint32_t pid = 0;
};

bool StartScanner(Scanner *s) {
  s->proc = sim_StartScanner(0, "", &s->pid);
  if (!s->proc || !sim_WaitRunning(0, s->proc, 10000)) return false;
  DeviceRecord *r = sim_Device(0);
  uint32_t start = os_GetTickCount();
  while ((r->Ready != 1 || r->Busy != 0) && os_GetTickCount() - start < 60000) os_Sleep(5);
  return r->Ready == 1 && r->Busy == 0;
}

void StopScanner(Scanner *s) {
  if (!s->proc) return;
  sim_Post(s->pid, NTF_STOP);
  sim_WaitExit(s->proc, 10000);
  os_CloseHandle(s->proc);
  s->proc = nullptr;
}

// One pass: the scan code, then the analogue area's change notice.
bool Pass(const Scanner &s, const std::string &code) {
  sim_Post(s.pid, NTF_SCAN);
  return sim_WaitForChange(code, 1, 30000);
}

bool MakeWorld(bool stats, std::string *why) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 128;
  d.channels[IO_DI] = 256;
  d.channelSetup = Shape;
  if (stats) {
    d.statsCode = "S1";
    d.statsChannels = 90;  // the line and eight pumps
  }
  w.processors = {{"ALARM", "Alarms", "", 0, 1, 0, 0}, {"DERIVED", "Derived", "", 0, 1, 0, 0}};
  w.loggers = {"L1"};
  if (sim_CreateWorld(w, why) != 0) return false;
  if (sim_OpenServerSlots(why) != 0) return false;
  sim_StartLogger(0, nullptr);
  for (int c = 1; c <= 128; ++c) sim_Subscribe(d.codes[IO_AI], 1, c);
  for (int c = 1; c <= 256; ++c) sim_Subscribe(d.codes[IO_DI], 1, c);
  return true;
}

// Unpaced: CPU and system calls over `passes` passes; withFloor, then the
// bare exchanges of one of them on the same line.
bool RunUnpaced(bool stats, bool withFloor, int passes, CaseResult *out) {
  std::string why;
  if (!MakeWorld(stats, &why)) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), false;
  PsimConfig pc;
  pc.port = sim_PumpSimPort(0);
  PumpSim *line = psim_Start(pc, &why);
  if (!line) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), sim_DestroyWorld(), false;
  Scanner s;
  bool ok = StartScanner(&s);
  std::string code = "A1";
  if (ok) {
    sim_Watch(code, 1);
    for (int p = 0; p < 20 && ok; ++p) ok = Pass(s, code);  // warm up
  }
  // CPU first, with nothing attached to the scanner: a counter on its threads
  // makes every switch between them dearer.
  if (ok) {
    psim_ClearCommands(line);
    double cpu0 = ProcessCpuMs(static_cast<pid_t>(s.pid));
    auto t0 = std::chrono::steady_clock::now();
    for (int p = 0; p < passes && ok; ++p) ok = Pass(s, code);
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    double cpu1 = ProcessCpuMs(static_cast<pid_t>(s.pid));
    size_t exchanges = psim_Commands(line).size();
    if (ok) {
      out->cpuMsPerPass = (cpu1 - cpu0) / passes;
      out->exchangesPerPass = static_cast<double>(exchanges) / passes;
      out->wallMs = wall / passes;
    }
  }
  // Then the system calls, over passes of their own.
  SyscallCounter counter;
  bool counting = ok && counter.Open(static_cast<pid_t>(s.pid));
  if (counting) {
    uint64_t calls0 = counter.Count();
    for (int p = 0; p < passes && ok; ++p) ok = Pass(s, code);
    uint64_t calls1 = counter.Count();
    if (ok) out->syscallsPerPass = static_cast<double>(calls1 - calls0) / passes;
  }
  if (!ok) fprintf(stderr, "bench_scan_pass: the scanner did not serve the passes (%s)\n", sim_StatusText("TNWELL1").c_str());
  if (!counting && ok) fprintf(stderr, "bench_scan_pass: no system call counter (perf tracepoints unavailable)\n");
  counter.Close();
  std::vector<std::string> onePass;
  if (ok && withFloor) {
    psim_ClearCommands(line);
    ok = Pass(s, code);
    onePass = psim_Commands(line);
  }
  StopScanner(&s);
  if (ok && withFloor) {
    out->floorCpuMsPerPass = RunFloor(line, onePass, passes);
    if (out->floorCpuMsPerPass < 0) fprintf(stderr, "bench_scan_pass: the bare exchanges failed\n");
    printf("  floor: %zu bare exchanges a pass, %d passes\n", onePass.size(), passes);
  }
  psim_Stop(line);
  sim_DestroyWorld();
  return ok;
}

// Paced: the wire ratio, the CPU and the wake-ups per pass; then the bare
// exchanges of one pass on the same paced line, over `floorPasses`.
bool RunPaced(int passes, int floorPasses, uint32_t baud, uint32_t turnaround, CaseResult *out) {
  std::string why;
  if (!MakeWorld(false, &why)) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), false;
  PsimConfig pc;
  pc.port = sim_PumpSimPort(0);
  pc.baud = baud;
  pc.turnaroundMs = turnaround;
  pc.keepExchanges = true;
  PumpSim *line = psim_Start(pc, &why);
  if (!line) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), sim_DestroyWorld(), false;
  Scanner s;
  bool ok = StartScanner(&s);
  std::string code = "A1";
  std::vector<double> ratios;
  double cpu = 0;
  long wakeups = 0;
  std::map<int, long> byThread;
  std::vector<std::string> onePass;
  if (ok) {
    sim_Watch(code, 1);
    psim_TakeExchanges(line);
    for (int p = 0; p < passes && ok; ++p) {
      std::map<int, long> w0 = ProcessWakeups(static_cast<pid_t>(s.pid));
      double c0 = ProcessCpuMs(static_cast<pid_t>(s.pid));
      auto t0 = std::chrono::steady_clock::now();
      ok = Pass(s, code);
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      cpu += ProcessCpuMs(static_cast<pid_t>(s.pid)) - c0;
      long woke = WakeupsBetween(w0, ProcessWakeups(static_cast<pid_t>(s.pid)), &byThread);
      wakeups += woke;
      std::vector<PsimExchange> ex = psim_TakeExchanges(line);
      onePass.clear();
      for (const PsimExchange &e : ex) onePass.push_back(e.command);
      size_t bytes = 0;
      for (const PsimExchange &e : ex) bytes += e.command.size() + 1 + e.reply.size();
      double wire = static_cast<double>(bytes) * 10.0 * 1000.0 / baud + static_cast<double>(ex.size()) * turnaround;
      printf("  paced pass %d: %.1f ms, %zu bytes in %zu exchanges, wire %.1f ms, ratio %.4f, %ld wake-ups\n", p + 1,
             ms, bytes, ex.size(), wire, ms / wire, woke);
      fflush(stdout);
      if (wire > 0) ratios.push_back(ms / wire);
      out->exchangesPerPass = static_cast<double>(ex.size());
    }
  }
  if (ok) {
    out->wireRatio = Median(ratios);
    out->cpuMsPerPass = cpu / passes;
    out->wakeupsPerPass = static_cast<double>(wakeups) / passes;
    for (const auto &[tid, n] : byThread)
      printf("  paced: thread %d woke %.1f times a pass\n", tid, static_cast<double>(n) / passes);
  } else {
    fprintf(stderr, "bench_scan_pass: the scanner did not serve the paced passes\n");
  }
  StopScanner(&s);
  if (ok && floorPasses > 0) {
    out->floorCpuMsPerPass = RunFloor(line, onePass, floorPasses, &out->floorWakeupsPerPass);
    if (out->floorCpuMsPerPass < 0) fprintf(stderr, "bench_scan_pass: the bare paced exchanges failed\n"), ok = false;
    printf("  paced floor: %zu bare exchanges a pass, %d passes\n", onePass.size(), floorPasses);
  }
  psim_Stop(line);
  sim_DestroyWorld();
  return ok;
}

// Stands in for the line: every channel good, values that move a little
// (inside every limit and below the significant change).
int g_evalPass;
int StubDigital(uint8_t *, int count, ChannelRecord *, uint32_t *status, float *) {
  for (int i = 0; i < count; ++i) status[i] = (status[i] & ~CST_BAD) | ((i % 3 == 0) ? CST_VALUE : 0u);
  return 0;
}
int StubAnalogue(uint8_t *, int count, ChannelRecord *, uint32_t *status, float *values) {
  for (int i = 0; i < count; ++i) {
    status[i] &= ~CST_BAD;
    values[i] = 40.0f + static_cast<float>(i % 10) + (g_evalPass % 2 ? 0.5f : 0.0f);
  }
  return 0;
}

// Evaluation and publication alone, in this process: median CPU of a pass in us.
double RunEvaluation(int passes) {
  std::string why;
  if (!MakeWorld(false, &why)) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), -1;
  std::filesystem::path oldCwd = std::filesystem::current_path();
  std::filesystem::current_path(sim_DeviceFolder(0));
  g_scan.record = sim_Device(0);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  double result = -1;
  if (scan_LoadConfiguration() == 0) {
    PumpReadHandler saved[IO_TYPE_COUNT];
    memcpy(saved, ReadHandlerTable, sizeof saved);
    ReadHandlerTable[IO_DI] = StubDigital;
    ReadHandlerTable[IO_AI] = StubAnalogue;
    std::vector<double> us;
    for (int p = 0; p < passes + 50; ++p) {
      g_evalPass = p;
      struct timespec a, b;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
      scan_ScanDevice(0);
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
      if (p >= 50) us.push_back((b.tv_sec - a.tv_sec) * 1e6 + (b.tv_nsec - a.tv_nsec) / 1e3);
    }
    memcpy(ReadHandlerTable, saved, sizeof saved);
    result = Median(us);
  } else {
    fprintf(stderr, "bench_scan_pass: %s\n", sim_StatusText("TNWELL1").c_str());
  }
  std::filesystem::current_path(oldCwd);
  sim_DestroyWorld();
  return result;
}

struct Target {
  const char *name;
  double value, limit;
};

}  // namespace

int main(int argc, char **argv) {
  int passes = 500, pacedPasses = 20, pacedFloorPasses = 3, evalPasses = 2000;
  uint32_t baud = 9600, turnaround = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--passes") == 0 && i + 1 < argc) passes = atoi(argv[++i]);
    else if (strcmp(argv[i], "--paced-passes") == 0 && i + 1 < argc) pacedPasses = atoi(argv[++i]);
    else if (strcmp(argv[i], "--paced-floor-passes") == 0 && i + 1 < argc) pacedFloorPasses = atoi(argv[++i]);
    else if (strcmp(argv[i], "--baud") == 0 && i + 1 < argc) baud = static_cast<uint32_t>(atoi(argv[++i]));
    else if (strcmp(argv[i], "--turnaround") == 0 && i + 1 < argc) turnaround = static_cast<uint32_t>(atoi(argv[++i]));
    else {
      fprintf(stderr,
              "usage: bench_scan_pass [--passes N] [--paced-passes N] [--paced-floor-passes N] [--baud N]\n"
              "                       [--turnaround MS]\n"
              "  (defaults: 500 unpaced passes a case; 20 paced passes of about 10 s each at 9600 baud,\n"
              "   turnaround 5 ms, then 3 bare paced passes; a shorter run for a quick look is not a measurement: the targets\n"
              "   need at least 500 unpaced and 20 paced passes)\n");
      return 2;
    }
  }
  if (passes < 1 || pacedPasses < 0 || pacedFloorPasses < 0 || baud == 0 || turnaround == 0) return 2;
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/bench-scan-XXXXXX";
    if (!mkdtemp(templ)) return perror("mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
  }
  CaseResult unpaced, stats, paced;
  bool ok = RunUnpaced(false, true, passes, &unpaced);
  printf("  unpaced: %d passes, %.2f ms a pass, %.1f exchanges a pass\n", passes, unpaced.wallMs,
         unpaced.exchangesPerPass);
  ok = RunUnpaced(true, false, passes, &stats) && ok;
  printf("  with statistics: %d passes, %.2f ms a pass, %.1f exchanges a pass, %.0f system calls a pass\n", passes,
         stats.wallMs, stats.exchangesPerPass, stats.syscallsPerPass);
  if (pacedPasses > 0) ok = RunPaced(pacedPasses, pacedFloorPasses, baud, turnaround, &paced) && ok;
  double eval = RunEvaluation(evalPasses);
  ntf_Stop();
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  const Target targets[] = {
      {"cpu_ms_per_pass_unpaced", unpaced.cpuMsPerPass, 2.0},
      {"cpu_ms_per_pass_stats", stats.cpuMsPerPass, 2.5},
      {"cpu_ms_per_pass_paced", paced.cpuMsPerPass, 20},
      {"syscalls_per_pass_unpaced", unpaced.syscallsPerPass, 1600},
      {"wire_ratio", paced.wireRatio, 1.02},
      {"eval_us_per_pass", eval, 20},
  };
  // The machine's own cost of the line, no target: beside the scanner's figure.
  printf("floor_cpu_ms_per_pass %.4f\n", unpaced.floorCpuMsPerPass);
  if (unpaced.floorCpuMsPerPass <= 0) ok = false;
  if (pacedPasses > 0) {
    printf("wakeups_per_pass_paced %.1f\n", paced.wakeupsPerPass);
    if (pacedFloorPasses > 0) {
      printf("floor_cpu_ms_per_pass_paced %.4f\n", paced.floorCpuMsPerPass);
      printf("floor_wakeups_per_pass_paced %.1f\n", paced.floorWakeupsPerPass);
    }
  }
  for (const Target &t : targets) {
    printf("%s %.4f\n", t.name, t.value);
    // A figure that could not be measured is past its target too.
    if (t.value <= 0 || t.value > t.limit) {
      fprintf(stderr, "bench_scan_pass: %s past its target (at most %g)\n", t.name, t.limit);
      ok = false;
    }
  }
  if (passes < 500 || pacedPasses < 20) {
    fprintf(stderr, "bench_scan_pass: fewer passes than a measurement needs (500 unpaced, 20 paced)\n");
    ok = false;
  }
  return ok ? 0 : 1;
}
