// scadasim: plays the SCADA server for one or more pump scanners.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <string>

#include "framework/alarms/alm_alarms.h"
#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "tools/scadasim/sim_demo.h"
#include "tools/scadasim/sim_logger.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_world.h"

namespace {

volatile sig_atomic_t g_interrupted;

void OnInterrupt(int) { g_interrupted = 1; }

void Usage(FILE *f) {
  fprintf(f,
          "usage: scadasim <command> [options]\n"
          "\n"
          "Plays the SCADA server for the Tnwell pump scanner: makes the server's shared\n"
          "tables, channel areas and configuration folders in the platform root\n"
          "($PLATFORM_ROOT), starts pumpsim on the device's serial port (COM1) and\n"
          "Tnwell_SC for instance 1, posts codes to the scanner and shows what it\n"
          "publishes. Every object it made is removed when it ends.\n"
          "\n"
          "The device has eight analogue and eight digital inputs on pumps 1 and 2, with\n"
          "warning and alarm limits, events and a change deadband on some; the server's\n"
          "alarm and derived-value processors and one logger take what the scanner sends.\n"
          "Alarm messages are printed field by field, derived notices and logger codes as\n"
          "they arrive; on a terminal a live table of every channel (tag, value, units,\n"
          "state) is redrawn after each pass (else it is printed at the start and the end).\n"
          "\n"
          "commands:\n"
          "  demo [--seconds N] [--scanner PATH] [--plain]\n"
          "        runs the scanner for N seconds (default 40) with a scan request every\n"
          "        half second, one reconfigure and one initialise-values request, then\n"
          "        stops it; exits with the scanner's exit status. On the way pumpsim\n"
          "        blocks unit 1's outlet from 12 s to 20 s (its pressure passes the high\n"
          "        alarm limit of P1.OP.PRESS, 250 bar, and falls back) and unplugs unit 2\n"
          "        from 26 s to 32 s (the passes fail and the device is initialised again\n"
          "        until it answers). Without $PLATFORM_ROOT it works in a temporary\n"
          "        platform root of its own. --plain prints lines only, also on a\n"
          "        terminal, with the table at every step of the road.\n"
          "  run [--scanner PATH] [--plain]\n"
          "        the same without a time limit: scans every second until Ctrl-C.\n"
          "  post PID CODE\n"
          "        posts one notification code (31 stop, 300 scan, 302 reconfigure,\n"
          "        303 reset counters, 304 initialise values) to a process.\n"
          "  logger --runs FOLDER [--area CODE]...\n"
          "        plays a logger that keeps a run in FOLDER: one record of the areas\n"
          "        (default A1 and D1) per logger code, prints \"wrote N\" after each\n"
          "        append; a restarted one continues the newest open run\n"
          "  logger --out FILE\n"
          "        plays a logger process: appends every code it receives to FILE, one a\n"
          "        line, until code 31 or a signal (the server starts these itself).\n");
  sim_RequestsUsage(f);
  fprintf(f,
          "  --help\n"
          "        this text.\n");
}

std::string StampText(const TimeStamp &t) {
  time_t s = t.seconds;
  struct tm tm;
  gmtime_r(&s, &tm);  // the stamp counts local wall-clock seconds already
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, t.ms);
  return buf;
}

std::string DeviceLine(const DeviceRecord *r, const char *what) {
  std::string status = sim_StatusText(std::string(r->StatusName, strnlen(r->StatusName, sizeof r->StatusName)));
  char line[256];
  snprintf(line, sizeof line, "%-12s running=%u ready=%u busy=%u pass=%dms next=%s status=\"%s\"", what, r->Running,
           r->Ready, r->Busy, r->PassDuration, StampText(r->NextScanDue).c_str(), status.c_str());
  return line;
}

// What the server received: printed as it comes (plain), or the last lines
// below the live table (terminal).
class Console {
 public:
  Console(bool live, const SimWorldSpec &spec) : live_(live), spec_(spec) {}

  void Line(const std::string &text) {
    if (!live_) {
      printf("%s\n", text.c_str());
      fflush(stdout);
      return;
    }
    recent_.push_back(text);
    while (recent_.size() > kRecent) recent_.pop_front();
  }

  // Alarm messages, derived notices and logger codes that arrived since the
  // last call; the alarm messages are also kept for the road's summary.
  void Collect() {
    for (const AlarmMessage &m : sim_TakeAlarms()) {
      Line(sim_DescribeAlarm(m));
      alarms_.push_back(m);
    }
    for (const std::string &d : sim_TakeDerived()) Line("derived " + d);
    for (size_t k = 0; k < spec_.loggers.size(); ++k) {
      std::vector<int32_t> codes = sim_LoggerCodes(static_cast<int>(k));
      if (seen_.size() <= k) seen_.resize(k + 1, 0);
      for (size_t i = seen_[k]; i < codes.size(); ++i)
        Line("logger " + spec_.loggers[k] + " " + sim_DescribeLoggerCode(codes[i]));
      seen_[k] = codes.size();
    }
  }

  std::vector<AlarmMessage> TakeAlarms() {
    std::vector<AlarmMessage> out;
    out.swap(alarms_);
    return out;
  }

  void Pass(const DeviceRecord *r, const char *what, bool table) {
    Collect();
    if (!live_) {
      Line(DeviceLine(r, what));
      if (table) demo_PrintTable(stdout, spec_);
      fflush(stdout);
      return;
    }
    printf("\033[H\033[J%s\n\n", DeviceLine(r, what).c_str());
    demo_PrintTable(stdout, spec_);
    printf("\n");
    for (const std::string &l : recent_) printf("%s\n", l.c_str());
    fflush(stdout);
  }

 private:
  static const size_t kRecent = 14;
  bool live_;
  const SimWorldSpec &spec_;
  std::deque<std::string> recent_;
  std::vector<size_t> seen_;
  std::vector<AlarmMessage> alarms_;
};

double Seconds(uint32_t since) { return static_cast<double>(os_GetTickCount() - since) / 1000; }

// What the road showed, for the last lines of the demo.
struct Road {
  double raised = -1, cleared = -1;       // the outlet's high alarm
  std::string unplugged;                  // the status while unit 2 was away
  double unpluggedAt = -1, backAt = -1;   // bad channels seen, and good again after
};

int Fail(const char *text) {
  fprintf(stderr, "scadasim: %s (error %d)\n", text, errno);
  sim_DestroyWorld();
  return 1;
}

int Serve(double seconds, const std::string &scanner, bool live, bool road) {
  SimWorldSpec spec = demo_WorldSpec();
  std::string why;
  if (sim_CreateWorld(spec, &why) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return 1;
  }
  if (sim_OpenServerSlots(&why) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    sim_DestroyWorld();
    return 1;
  }
  demo_Subscribe(spec);
  uint32_t loggerPid = 0;
  if (sim_StartLogger(0, &loggerPid) != 0) return Fail("cannot start the logger process");
  Console console(live, spec);
  console.Line("scadasim: started logger " + spec.loggers[0] + ", process " + std::to_string(loggerPid));
  // The pump line first: the scanner opens its port while it starts. Now and
  // then a digital input of pump 2 answers with its error status 7; on the
  // road pumpsim also blocks unit 1's outlet and unplugs unit 2 for a while.
  std::vector<std::string> args = {"--baud", std::to_string(spec.devices[0].baudRate), "--fault", "2:DIG_INPUT1=error:7@15"};
  std::vector<DemoEvent> schedule = road ? demo_Schedule() : std::vector<DemoEvent>{};
  for (const DemoEvent &e : schedule)
    if (!e.option.empty()) args.insert(args.end(), {e.option, e.value});
  uint32_t linePid = 0;
  OsHandle line = sim_StartPumpSim(0, args, &linePid);
  if (!line) return Fail("cannot start pumpsim");
  const uint32_t lineStart = os_GetTickCount();
  console.Line("scadasim: started pumpsim on " + sim_PumpSimPort(0) + ", process " + std::to_string(linePid));
  for (const DemoEvent &e : schedule) {
    char at[32];
    snprintf(at, sizeof at, "%.0f s", e.at);
    console.Line("scadasim: at " + std::string(at) + ": " + e.text);
  }
  uint32_t pid = 0;
  OsHandle proc = sim_StartScanner(0, scanner, &pid);
  if (!proc) {
    sim_StopPumpSim(line, linePid, 5000);
    return Fail("cannot start the scanner");
  }
  DeviceRecord *r = sim_Device(0);
  console.Line("scadasim: started Tnwell_SC instance " + std::to_string(r->Instance) + ", process " +
               std::to_string(pid));
  if (!sim_WaitRunning(0, proc, 10000)) {
    int64_t code = sim_WaitExit(proc, 1000);
    fprintf(stderr, "scadasim: the scanner did not come up (exit %lld)\n", static_cast<long long>(code));
    sim_StopPumpSim(line, linePid, 5000);
    sim_DestroyWorld();
    return 1;
  }
  console.Pass(r, "up", false);
  // The last type of a pass is the analogue one: its notice ends the pass.
  const std::string watched = spec.devices[0].codes[IO_AI];
  sim_Watch(watched, 1);
  const std::string statusName(r->StatusName, strnlen(r->StatusName, sizeof r->StatusName));
  int passes = 0;
  size_t next = 0;
  Road seen;
  std::string lastStatus;
  const uint32_t start = os_GetTickCount();
  const double step = seconds > 0 ? 0.5 : 1.0;
  while (!g_interrupted && (seconds <= 0 || Seconds(start) < seconds)) {
    uint32_t passStart = os_GetTickCount();
    if (sim_Post(pid, NTF_SCAN) != 0) {
      fprintf(stderr, "scadasim: cannot post to the scanner (error %d)\n", errno);
      break;
    }
    bool changed = sim_WaitForChange(watched, 1, 5000);
    ++passes;
    // A step of the road that came due is told, with the table as it stands.
    bool milestone = false;
    while (next < schedule.size() && Seconds(lineStart) >= schedule[next].at) {
      console.Line("scadasim: now: " + schedule[next++].text);
      milestone = true;
    }
    std::string status = sim_StatusText(statusName);
    bool statusChanged = status != lastStatus;
    lastStatus = status;
    std::vector<SimChannel> ai = sim_ReadChannels(watched);
    bool anyBad = false;
    for (const SimChannel &c : ai) anyBad = anyBad || (c.status & CST_BAD);
    double t = Seconds(lineStart);
    if (road && t >= kDemoUnplugFrom && t < kDemoUnplugTo + 5 && anyBad && seen.unpluggedAt < 0) {
      seen.unpluggedAt = t;
      seen.unplugged = status;
    }
    if (seen.unpluggedAt >= 0 && seen.backAt < 0 && !anyBad && status.empty()) seen.backAt = t;
    // Without a terminal the table goes out after the first and the last pass,
    // and whenever the road or the status moves on.
    bool last = seconds > 0 && Seconds(start) + step >= seconds;
    console.Pass(r, changed ? "scan" : "scan (no notice)", passes == 1 || last || g_interrupted || milestone || statusChanged);
    for (const AlarmMessage &m : console.TakeAlarms()) {
      if (memcmp(m.code, watched.data(), 2) != 0 || (m.channel & 0x7FFF) != 3) continue;
      if ((m.flags & ALM_KIND_MASK) == 0 && seen.raised < 0) seen.raised = t;
      if ((m.flags & ALM_KIND_MASK) == 1 && seen.raised >= 0 && seen.cleared < 0) seen.cleared = t;
    }
    if (seconds > 0 && passes == 4) {
      sim_Post(pid, NTF_RECONFIGURE);
      sim_WaitForChange(watched, 1, 5000);
      console.Pass(r, "reconfigured", false);
    }
    if (seconds > 0 && passes == 6) {
      sim_Post(pid, NTF_INITIALISE_VALUES);
      sim_WaitForChange(watched, 1, 5000);
      console.Pass(r, "initialised", false);
    }
    uint32_t spent = os_GetTickCount() - passStart, wanted = static_cast<uint32_t>(step * 1000);
    if (spent < wanted) os_Sleep(wanted - spent);
  }
  sim_Post(pid, NTF_STOP);
  int64_t code = sim_WaitExit(proc, 10000);
  console.Pass(r, "stopped", false);
  if (code < 0) {
    fprintf(stderr, "scadasim: the scanner did not stop; killing it\n");
    os_TerminateProcess(proc, 1);
    code = 1;
  }
  if (road) {
    char text[512];
    if (seen.raised >= 0)
      snprintf(text, sizeof text, "scadasim: road: P1.OP.PRESS alarm raised at %.1f s, %s", seen.raised,
               seen.cleared >= 0 ? ("returned to normal at " + std::to_string(static_cast<int>(seen.cleared)) + " s").c_str()
                                 : "not returned to normal");
    else
      snprintf(text, sizeof text, "scadasim: road: no P1.OP.PRESS alarm (the run ended before %.0f s)", kDemoSurgeFrom);
    printf("%s\n", text);
    if (seen.unpluggedAt >= 0)
      snprintf(text, sizeof text, "scadasim: road: unit 2 unplugged: channels bad at %.1f s (status \"%s\"), %s",
               seen.unpluggedAt, seen.unplugged.c_str(),
               seen.backAt >= 0 ? ("read again at " + std::to_string(static_cast<int>(seen.backAt)) + " s").c_str()
                                : "not read again");
    else
      snprintf(text, sizeof text, "scadasim: road: unit 2 was not seen unplugged (the run ended before %.0f s)",
               kDemoUnplugFrom);
    printf("%s\n", text);
  }
  printf("scadasim: scanner exited with status %lld after %d scan requests\n", static_cast<long long>(code), passes);
  os_CloseHandle(proc);
  sim_StopPumpSim(line, linePid, 5000);
  sim_DestroyWorld();
  ntf_Stop();
  return static_cast<int>(code);
}

// The logger: every code as one line, written whole.
int g_loggerOut = -1;
volatile sig_atomic_t g_loggerStop;

int OnLoggerCode(int32_t code) {
  char line[24];
  int n = snprintf(line, sizeof line, "%d\n", code);
  if (g_loggerOut >= 0 && n > 0) {
    [[maybe_unused]] ssize_t w = write(g_loggerOut, line, static_cast<size_t>(n));
  }
  if (code == NTF_STOP) g_loggerStop = 1;
  return 0;
}

int RunLogger(const std::string &out) {
  g_loggerOut = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (g_loggerOut < 0) return perror("scadasim logger"), 1;
  errno = 0;
  if (!ntf_Start(OnLoggerCode) && errno != 0)
    return fprintf(stderr, "scadasim logger: no mailslot (error %d)\n", errno), 1;
  while (!g_interrupted && !g_loggerStop) os_Sleep(20);
  ntf_Stop();
  close(g_loggerOut);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
  if (cmd == "post") {
    if (argc != 4) return Usage(stderr), 2;
    if (sim_Post(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)), static_cast<int32_t>(atoi(argv[3]))) != 0) {
      fprintf(stderr, "scadasim: cannot post to process %s (error %d)\n", argv[2], errno);
      return 1;
    }
    return 0;
  }
  if (cmd == "logger" && argc >= 4 && strcmp(argv[2], "--runs") == 0) return sim_LoggerRunsCommand(argc - 3, argv + 3);
  if (cmd == "logger") {
    if (argc != 4 || strcmp(argv[2], "--out") != 0) return Usage(stderr), 2;
    return RunLogger(argv[3]);
  }
  if (cmd == "requests") return sim_RequestsCommand(argc - 2, argv + 2);
  if (cmd != "demo" && cmd != "run") return Usage(stderr), 2;
  double seconds = cmd == "demo" ? kDemoSeconds : 0;
  std::string scanner;
  bool plain = false;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc && cmd == "demo") seconds = atof(argv[++i]);
    else if (strcmp(argv[i], "--scanner") == 0 && i + 1 < argc) scanner = argv[++i];
    else if (strcmp(argv[i], "--plain") == 0) plain = true;
    else return Usage(stderr), 2;
  }
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/scadasim-XXXXXX";
    if (!mkdtemp(templ)) return perror("scadasim: mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
    printf("scadasim: platform root %s\n", templ);
    fflush(stdout);
  }
  int status = Serve(seconds, scanner, !plain && isatty(STDOUT_FILENO), cmd == "demo");
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
