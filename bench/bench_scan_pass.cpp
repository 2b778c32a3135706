// Scan passes of a full device (8 pumps, 128 analogue channels over bulk and
// single values, 256 digital channels) against pumpsim.
//
// Wire: pumpsim paces 9600 baud; the median pass duration divided by the wire
// time of the bytes exchanged plus the configured turnarounds (ideal 1.0).
// Software: an unpaced line; the CPU time of one pass outside the serial
// writes and reads (pump_SendCommand, pump_ReadReply): reply parsing, status,
// evaluation, publication, alarms, event counts; median of the passes; and the
// peak memory of a real Tnwell_SC process scanning the device.
// The last two lines are "wire_ratio <figure>" and "cpu_ms_per_pass <figure>";
// the exit status is 1 when the wire ratio is above 1.05 or the CPU time is
// not below 1 ms.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/status/sts_status.h"
#include "platform/os_handle.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_cycle.h"
#include "scanner/scan_life.h"
#include "scanner/scan_state.h"
#include "tools/scadasim/sim_world.h"

namespace {

const uint32_t kBaud = 9600;
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

struct Io {
  uint64_t rchar = 0, wchar = 0, syscw = 0;
};

Io ReadIo() {
  Io io;
  std::ifstream in("/proc/self/io");
  std::string key;
  uint64_t v;
  while (in >> key >> v) {
    if (key == "rchar:") io.rchar = v;
    else if (key == "wchar:") io.wchar = v;
    else if (key == "syscw:") io.syscw = v;
  }
  return io;
}

double ThreadCpuMs() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The CPU time of the serial writes and reads: the line's, not the software's.
// Each span's own clock reads fall partly outside it, so the figure outside
// errs on the high side.
double g_serialCpu, g_spanStart;
int g_spans;

void ObserveIo(bool entering) {
  if (entering) {
    g_spanStart = ThreadCpuMs();
    ++g_spans;
  } else {
    g_serialCpu += ThreadCpuMs() - g_spanStart;
  }
}

// The CPU cost of one clock read, for the share the spans add outside themselves.
double ClockReadMs() {
  const int n = 10000;
  double t0 = ThreadCpuMs();
  for (int i = 0; i < n; ++i) ThreadCpuMs();
  return (ThreadCpuMs() - t0) / n;
}

bool OpenLine(OsHandle *line, uint32_t *pid, const std::vector<std::string> &args) {
  *line = sim_StartPumpSim(0, args, pid);
  if (!*line) return fprintf(stderr, "bench_scan_pass: cannot start pumpsim (error %d)\n", errno), false;
  if (com_OpenPort(g_scan.record) != 0) return fprintf(stderr, "bench_scan_pass: cannot open COM1 (error %d)\n", errno), false;
  return true;
}

uint64_t PeakKb(uint32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return strtoull(line.c_str() + 6, nullptr, 10);
  return 0;
}

int Run(int passes, int cpuPasses, uint32_t turnaround) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 128;
  d.channels[IO_DI] = 256;
  d.channelSetup = Shape;
  w.processors = {{"ALARM", "Alarms", "", 0, 1, 0, 0}, {"DERIVED", "Derived", "", 0, 1, 0, 0}};
  w.loggers = {"L1"};
  std::string why;
  if (sim_CreateWorld(w, &why) != 0) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), 1;
  std::filesystem::path oldCwd = std::filesystem::current_path();
  std::filesystem::current_path(sim_DeviceFolder(0));
  g_scan.record = sim_Device(0);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  if (scan_LoadConfiguration() != 0)
    return fprintf(stderr, "bench_scan_pass: %s\n", sim_StatusText("TNWELL1").c_str()), 1;
  printf("bench_scan_pass: %u analogue and %u digital channels on 8 pumps\n", g_scan.limit[IO_AI], g_scan.limit[IO_DI]);

  // Wire: paced line, nothing else on this process's files and sockets.
  OsHandle line = nullptr;
  uint32_t linePid = 0;
  if (!OpenLine(&line, &linePid, {"--baud", std::to_string(kBaud), "--turnaround", std::to_string(turnaround)}))
    return 1;
  scan_MarkAllBad(0);
  for (int t : {IO_AI, IO_DI}) InitHandlerTable[t](g_scan.config, g_scan.limit[t], g_scan.type[t].table);
  // Reading /proc/self/io is itself a read: its share is taken off each pass.
  Io first = ReadIo(), second = ReadIo();
  const uint64_t selfRead = second.rchar - first.rchar;
  std::vector<double> durations, wires;
  for (int p = 0; p < passes; ++p) {
    Io before = ReadIo();
    auto t0 = std::chrono::steady_clock::now();
    if (scan_ScanDevice(0) != 0) fprintf(stderr, "bench_scan_pass: pass %d failed (%s)\n", p, sim_StatusText("TNWELL1").c_str());
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    Io after = ReadIo();
    uint64_t bytes = (after.rchar - before.rchar - selfRead) + (after.wchar - before.wchar);
    uint64_t exchanges = after.syscw - before.syscw;
    double wire = bytes * 10.0 * 1000.0 / kBaud + static_cast<double>(exchanges) * turnaround;
    printf("  paced pass %d: %.1f ms, %llu bytes in %llu exchanges, wire %.1f ms, ratio %.4f\n", p + 1, ms,
           static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(exchanges), wire, ms / wire);
    fflush(stdout);
    durations.push_back(ms);
    wires.push_back(wire);
  }
  double wireRatio = Median(durations) / Median(wires);
  com_ClosePort();
  sim_StopPumpSim(line, linePid, 5000);

  // Software: unpaced line, the server draining alarms, a logger on every channel.
  if (sim_OpenServerSlots(&why) != 0) return fprintf(stderr, "bench_scan_pass: %s\n", why.c_str()), 1;
  sim_StartLogger(0, nullptr);
  for (int c = 1; c <= 128; ++c) sim_Subscribe(d.codes[IO_AI], 1, c);
  for (int c = 1; c <= 256; ++c) sim_Subscribe(d.codes[IO_DI], 1, c);
  if (!OpenLine(&line, &linePid, {})) return 1;
  com_SetIoObserver(ObserveIo);
  std::vector<double> outside, walls;
  for (int p = 0; p < cpuPasses; ++p) {
    g_serialCpu = 0;
    g_spans = 0;
    double c0 = ThreadCpuMs();
    auto t0 = std::chrono::steady_clock::now();
    scan_ScanDevice(0);
    walls.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    outside.push_back(ThreadCpuMs() - c0 - g_serialCpu);
  }
  com_SetIoObserver(nullptr);
  size_t alarms = sim_TakeAlarms().size();
  printf("  unpaced: %d passes, median %.2f ms a pass, %.3f ms CPU outside the serial writes and reads, "
         "%zu alarm messages\n",
         cpuPasses, Median(walls), Median(outside), alarms);
  printf("  of which about %.3f ms are the benchmark's own clock reads (%d spans a pass)\n",
         g_spans * ClockReadMs(), g_spans);
  com_ClosePort();

  // The scanner program itself on the same device and line.
  uint32_t pid = 0;
  uint64_t peakKb = 0;
  OsHandle proc = sim_StartScanner(0, "", &pid);
  DeviceRecord *r = sim_Device(0);
  if (proc && sim_WaitRunning(0, proc, 10000)) {
    uint32_t start = os_GetTickCount();
    while ((r->Ready != 1 || r->Busy != 0) && os_GetTickCount() - start < 30000) os_Sleep(10);
    sim_Watch(d.codes[IO_AI], 1);
    for (int p = 0; p < 10; ++p) {
      sim_Post(pid, NTF_SCAN);
      sim_WaitForChange(d.codes[IO_AI], 1, 10000);
    }
    peakKb = PeakKb(pid);
    sim_Post(pid, NTF_STOP);
    sim_WaitExit(proc, 10000);
  }
  if (proc) os_CloseHandle(proc);
  sim_StopPumpSim(line, linePid, 5000);
  std::filesystem::current_path(oldCwd);
  sim_DestroyWorld();
  ntf_Stop();
  double cpu = Median(outside);
  printf("peak_rss_kb %llu\n", static_cast<unsigned long long>(peakKb));
  printf("wire_ratio %.4f\n", wireRatio);
  printf("cpu_ms_per_pass %.4f\n", cpu);
  bool ok = wireRatio > 0 && wireRatio <= 1.05 && cpu < 1.0 && peakKb > 0;
  if (!ok) fprintf(stderr, "bench_scan_pass: over the limits (wire_ratio at most 1.05, cpu_ms_per_pass below 1)\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  int passes = 3, cpuPasses = 50;
  uint32_t turnaround = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--passes") == 0 && i + 1 < argc) passes = atoi(argv[++i]);
    else if (strcmp(argv[i], "--cpu-passes") == 0 && i + 1 < argc) cpuPasses = atoi(argv[++i]);
    else if (strcmp(argv[i], "--turnaround") == 0 && i + 1 < argc) turnaround = static_cast<uint32_t>(atoi(argv[++i]));
    else {
      fprintf(stderr,
              "usage: bench_scan_pass [--passes N] [--cpu-passes N] [--turnaround MS]\n"
              "  (defaults: 3 paced passes of about 10 s each, 50 unpaced passes, no turnaround)\n");
      return 2;
    }
  }
  if (passes < 1 || cpuPasses < 1) return 2;
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/bench-scan-XXXXXX";
    if (!mkdtemp(templ)) return perror("mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
  }
  int status = Run(passes, cpuPasses, turnaround);
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
