// scadasim: plays the SCADA server for one or more pump scanners.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "framework/alarms/alm_alarms.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "plugin/loggers/log_status.h"
#include "plugin/loggers/log_status_feed.h"
#include "tools/scadasim/sim_demo.h"
#include "tools/scadasim/sim_file.h"
#include "tools/scadasim/sim_logger.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_whole.h"
#include "tools/scadasim/sim_world.h"

namespace {

volatile sig_atomic_t g_interrupted, g_signal;

void OnSignal(int s) {
  g_interrupted = 1;
  g_signal = s;
}

// Every signal that ends a terminal session or asks a program to stop ends
// the world in order; a reader that went away (SIGPIPE) shows as a failed
// write instead.
void CatchSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Codes a live scadasim takes from `scadasim scanner start`: this base plus
// the instance.
const int32_t kStartScannerCode = 4100000;
std::atomic<int32_t> g_startRequest{0};

void OnOtherCode(int32_t code) {
  if (code > kStartScannerCode && code <= kStartScannerCode + 65535) g_startRequest = code - kStartScannerCode;
}

void Usage(FILE *f) {
  fprintf(f,
          "usage: scadasim <command> [options]\n"
          "\n"
          "Plays the SCADA server for the Tnwell pump scanner: makes the server's shared\n"
          "tables, channel areas and configuration folders in the platform root\n"
          "($PLATFORM_ROOT; a temporary one when unset), starts pumpsim on each device's\n"
          "serial port and a Tnwell_SC per device, posts scan requests and shows what the\n"
          "scanners publish. Every process it starts ends with it, also when it is killed;\n"
          "every object it made is removed when it ends (after SIGKILL, by the next\n"
          "scadasim on that root). One scadasim runs on a platform root at a time.\n"
          "\n"
          "commands:\n"
          "  world FILE [--seconds N] [--scanner PATH] [--plain]\n"
          "        builds the world FILE describes (docs/world-file.md), starts pumpsim for\n"
          "        each port with the units its channels name, a scanner per device, and\n"
          "        scans every second until Ctrl-C (or for N seconds).\n"
          "  world --dump\n"
          "        writes the world in force on this platform root as a description file.\n"
          "  demo [--seconds N] [--scanner PATH] [--plain] [--whole [--out DIR]]\n"
          "        the demo world (demo.world beside the program) for N seconds (default\n"
          "        40) with a scan request every half second, one reconfigure request (at\n"
          "        2 s) and one initialise-values request (at 3 s); exits with the\n"
          "        scanner's exit status. Faults pumpsim plays, each announced when it\n"
          "        starts: from the start, 15%% of pump 2's DIG_INPUT1 queries answer with\n"
          "        error status 7 (P2.DIG.IN1 goes bad, status \"Tarnwell Error #007\");\n"
          "        from 12 s to 20 s unit 1's outlet is blocked (P1.OP.PRESS passes its\n"
          "        high alarm limit, 250 bar, and falls back); from 26 s to 32 s unit 2 is\n"
          "        unplugged (its channels go bad, the scanner retries every second until\n"
          "        the unit answers). --whole adds the rest of the system (files into\n"
          "        DIR, by default a new /tmp/tnwell-demo-*): a logger keeping runs in a\n"
          "        folder (a new run every 10 s) and one in a SQLite catalog, a record a\n"
          "        second each; at 4 s cfgtool moves A1.8 to pump 1's OP PRESS through\n"
          "        the channel dialog (scripted without DISPLAY) and the scanner takes\n"
          "        it at a reconfigure; at 6 s cfgtool print-all writes config.pdf and\n"
          "        pdftoppm config.png of its first page; from 14 s logtool request\n"
          "        reads A13 through the in-process provider and over TLS until the\n"
          "        surge shows; at the end the runs are read back and the older ones\n"
          "        archived; the last lines sum each step up.\n"
          "  run [--scanner PATH] [--plain]\n"
          "        the demo world without a time limit or faults: scans every second.\n"
          "  watch [--seconds N] [--plain]\n"
          "        the live table of the world in force (another scadasim's).\n"
          "  scanner start|stop INSTANCE\n"
          "        starts a scanner for a device of the world in force again (the live\n"
          "        scadasim starts it, as its own child), or stops it (code 31).\n"
          "  post PID CODE\n"
          "        posts one notification code (31 stop, 300 scan, 302 reconfigure,\n"
          "        303 reset counters, 304 initialise values) to a process.\n"
          "  logger --runs FOLDER [--prefix P] [--cycle S] [--keep S] [--logger NAME]\n"
          "         [--area CODE]...\n"
          "        plays a logger that keeps a run in FOLDER: one record of the areas\n"
          "        (default A1 and D1) per logger code, prints \"wrote N\" after each\n"
          "        append; a restarted one continues the newest open run; with\n"
          "        --logger it keeps that logger's status channels (\"logst\", LS) current\n"
          "  logger --store PROVIDER=... [--logger NAME] [--area CODE]...\n"
          "        the same logger keeping a new run (logger NAME, default LOG) in a\n"
          "        database; prints \"created\" and the run's connection string; feeds\n"
          "        NAME's status channels when the world's loggers table has it\n"
          "  logger --out FILE [--logger NAME]\n"
          "        plays a logger process: appends every code it receives to FILE, one a\n"
          "        line, until code 31 or a signal (the server starts these itself,\n"
          "        each feeding its logger's status channels when the world has them).\n");
  sim_RequestsUsage(f);
  fprintf(f,
          "  --help\n"
          "        this text.\n"
          "\n"
          "What the screen shows (on a terminal a live screen that fits it: a device line,\n"
          "the table, a rule with each device's status, and the latest lines below; with\n"
          "--plain, or into a pipe or file, lines, each after the seconds since start, and\n"
          "the table whenever a fault starts or ends, the status changes or a channel goes\n"
          "bad or good again):\n"
          "  device line   scan  running=1 ready=1 busy=0 pass=591ms next=12:00:01.500\n"
          "                status=\"...\": what scadasim just did (up, scan; scan (busy): no\n"
          "                pass ended within the step, as while a unit does not answer;\n"
          "                reconfigured, initialised, stopped), then the device record:\n"
          "                running (the scanner marked itself running), ready (it loaded\n"
          "                its configuration), busy (a pass or initialisation under way;\n"
          "                no scan is posted then), pass (how long the last pass took),\n"
          "                next (when its scan rate makes the next pass due, local time),\n"
          "                status (the driver's status text: \"\" when all is well,\n"
          "                \"Timeout Error\", \"Comms Error\", \"Tarnwell Error #NNN\" for a\n"
          "                unit's error status, \"CAN'T INITIALISE DEVICE -NNNN\" ...)\n"
          "  table         CH (area code and channel number), TAG, VALUE (analogue: scaled\n"
          "                value; digital: 0 or 1), UNITS and STATE: ok, BAD (no good\n"
          "                reading), ALARM-HI/LO, ANN (alarm announced), WARN-HI/LO,\n"
          "                EVENT-HI/LO, MOVED (changed by more than its deadband)\n"
          "  alarm ...     an alarm message the scanner sent: kind (raised, returned; limit\n"
          "                raised and returned for warnings), code and channel, tag, (bad)\n"
          "                for a value that could not be read, delay (s), priority,\n"
          "                analogue or digital, high, drive-common, value, sending computer\n"
          "                and user\n"
          "                (the live screen keeps kind, tag, high, value and priority)\n"
          "  derived CODE  the area code sent to the derived-value processor\n"
          "  logger NAME N a code the logger received: 200000 + the events since the last\n"
          "                one, bit 31 for a significant change\n"
          "  LS.N NAME     below the table, a logger's status channels from N on (the\n"
          "                \"logst\" processor's area): activity, write requests and\n"
          "                bytes written, date and time of the last write (YYMMDD HHMNSS)\n"
          "  scadasim: ... what scadasim did or saw: children started and ended (with\n"
          "                their exit status or signal), faults as they start and end\n"
          "Control bytes in tags and texts are shown as \\xHH.\n");
}

// ---- Numbers and times.

bool ParseSeconds(const char *text, double *out) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno || end == text || *end || !std::isfinite(v) || v <= 0 || v > 86400 * 365) return false;
  return *out = v, true;
}

std::string StampText(const TimeStamp &t) {
  time_t s = t.seconds;
  struct tm tm;
  gmtime_r(&s, &tm);  // the stamp counts local wall-clock seconds already
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, t.ms);
  return buf;
}

double Seconds(uint32_t since) { return static_cast<double>(os_GetTickCount() - since) / 1000; }

std::string DeviceStatus(const DeviceRecord *r) {
  return simfile_Escape(sim_StatusText(std::string(r->StatusName, strnlen(r->StatusName, sizeof r->StatusName))));
}

// The device record after a step; the status left out where the live screen
// shows it on a line of its own.
std::string DeviceLine(const DeviceRecord *r, const char *what, bool status = true) {
  char line[320];
  snprintf(line, sizeof line, "%-12s running=%u ready=%u busy=%u pass=%dms next=%s", what, r->Running, r->Ready,
           r->Busy, r->PassDuration, StampText(r->NextScanDue).c_str());
  return status ? std::string(line) + " status=\"" + DeviceStatus(r) + "\"" : std::string(line);
}

// ---- The platform root: one scadasim at a time.

std::string PidFile() { return std::string(os_Root()) + "/scadasim.pid"; }

bool Alive(long pid) { return sim_ProcessLives(pid); }

long ReadPid(const std::string &path) {
  long pid = 0;
  std::ifstream(path) >> pid;
  return pid;
}

// Claims the root, removing what a dead scadasim left there. 0, or -1 with
// the message printed.
int ClaimRoot() {
  std::error_code ec;
  std::filesystem::create_directories(os_Root(), ec);
  for (int tries = 0; tries < 5; ++tries) {
    int fd = open(PidFile().c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      std::string text = std::to_string(getpid()) + "\n";
      [[maybe_unused]] ssize_t w = write(fd, text.data(), text.size());
      close(fd);
      int removed = sim_RemoveLeftovers();
      if (removed > 0) printf("scadasim: removed %d objects of a world whose scadasim is gone\n", removed);
      return 0;
    }
    if (errno != EEXIST) {
      fprintf(stderr, "scadasim: cannot claim the platform root %s: %s\n", os_Root(), strerror(errno));
      return -1;
    }
    long owner = ReadPid(PidFile());
    if (Alive(owner)) {
      fprintf(stderr, "scadasim: the platform root %s is in use by scadasim process %ld\n", os_Root(), owner);
      return -1;
    }
    if (owner > 0) printf("scadasim: scadasim process %ld ended without cleaning up; taking over its root\n", owner);
    std::filesystem::remove(PidFile(), ec);
  }
  fprintf(stderr, "scadasim: cannot claim the platform root %s\n", os_Root());
  return -1;
}

void ReleaseRoot() {
  std::error_code ec;
  if (ReadPid(PidFile()) == getpid()) std::filesystem::remove(PidFile(), ec);
}

// ---- Children: tied to this process so that none outlives it.

// "scadasim child PARENT GROUP PROGRAM ARGS...": joins the process group
// (0: a new one), asks for SIGKILL when the parent dies and becomes PROGRAM.
int RunChild(int argc, char **argv) {
  if (argc < 5) return 2;
  pid_t parent = static_cast<pid_t>(atol(argv[2])), group = static_cast<pid_t>(atol(argv[3]));
  if (setpgid(0, group) != 0) setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);  // the parent died before the request above
  execv(argv[4], argv + 4);
  fprintf(stderr, "scadasim: cannot run %s: %s\n", argv[4], strerror(errno));
  _exit(127);
}

struct Child {
  std::string what;  // "pumpsim on COM1", "Tnwell_SC instance 1", "logger LOG1"
  OsHandle process = nullptr;
  uint32_t pid = 0;
  bool ended = false;
  bool owned = true;  // the handle is closed here (not the logger's)
};

std::string ExitText(uint32_t code) {
  if (code > 128 && code < 128 + 65) {
    int s = static_cast<int>(code) - 128;
    return "killed by signal " + std::to_string(s) + " (" + (strsignal(s) ? strsignal(s) : "?") + ")";
  }
  return "exit status " + std::to_string(code);
}

// ---- The console: what the server received.

struct TermSize {
  int rows = 24, cols = 80;
};

TermSize TerminalSize() {
  TermSize t;
  struct winsize w;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_row > 0 && w.ws_col > 0) t.rows = w.ws_row, t.cols = w.ws_col;
  return t;
}

std::string Fit(const std::string &s, int cols) {
  if (static_cast<int>(s.size()) <= cols) return s;
  return cols > 1 ? s.substr(0, static_cast<size_t>(cols - 1)) + "~" : s.substr(0, static_cast<size_t>(cols));
}

class Console {
 public:
  Console(bool live, const SimWorldSpec &spec) : live_(live), spec_(spec), start_(os_GetTickCount()) {}

  // A line after the seconds since start (plain), or into the log region.
  void Line(const std::string &text, bool timed = true) {
    char at[24] = "";
    if (timed) snprintf(at, sizeof at, "%6.1f ", Seconds(start_));
    if (!live_) {
      printf("%s%s\n", at, text.c_str());
      Flush();
      return;
    }
    recent_.push_back(at + text);
    while (recent_.size() > kRecent) recent_.pop_front();
  }

  // Alarm messages, derived notices and logger codes that arrived since the
  // last call; the alarm messages are also kept for the road's summary.
  void Collect() {
    for (const AlarmMessage &m : sim_TakeAlarms()) {
      std::string text = sim_DescribeAlarm(m);
      // The tag beside the channel number.
      std::string code(m.code, 2), tag = simfile_Escape(TagOf(code, m.channel & 0x7FFF));
      size_t at = text.find(" delay=");
      if (!tag.empty() && at != std::string::npos) text.insert(at, " tag=" + tag);
      // The live log keeps what fits a line: kind, tag, state and value.
      if (live_) text = ShortAlarm(text, tag);
      Line(text);
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

  // The state after a step: plain, the device lines (and the table when
  // asked); live, the whole screen redrawn to fit the terminal (the last one
  // a line short, so the shell's prompt scrolls nothing away).
  void Pass(const char *what, bool table, bool final = false) {
    Collect();
    if (!live_) {
      for (size_t i = 0; i < spec_.devices.size(); ++i)
        if (const DeviceRecord *r = sim_Device(static_cast<int>(i)))
          Line(DeviceLine(r, spec_.devices.size() > 1 ? (std::string(what) + " " + spec_.devices[i].folder).c_str() : what));
      if (table) PrintTable(nullptr);
      Flush();
      return;
    }
    TermSize t = TerminalSize();
    if (final && t.rows > 1) --t.rows;
    std::vector<std::string> screen;
    std::string status;
    for (size_t i = 0; i < spec_.devices.size(); ++i)
      if (const DeviceRecord *r = sim_Device(static_cast<int>(i))) {
        screen.push_back(
            DeviceLine(r, spec_.devices.size() > 1 ? (std::string(what) + " " + spec_.devices[i].folder).c_str() : what, false));
        status += " " + spec_.devices[i].folder + " status \"" + DeviceStatus(r) + "\" ";
      }
    PrintTable(&screen);
    // The statuses on the rule above the log region, which takes what is left
    // of the screen, newest last.
    int room = t.rows - static_cast<int>(screen.size()) - 2;
    std::string rule = "--" + status;
    if (static_cast<int>(rule.size()) < std::min(t.cols, 80)) rule.append(static_cast<size_t>(std::min(t.cols, 80)) - rule.size(), '-');
    screen.push_back(rule);
    size_t first = room > 0 && recent_.size() > static_cast<size_t>(room) ? recent_.size() - static_cast<size_t>(room) : 0;
    for (size_t i = first; room > 0 && i < recent_.size(); ++i) screen.push_back(recent_[i]);
    std::string out = "\033[H\033[J";
    for (size_t i = 0; i < screen.size() && static_cast<int>(i) < t.rows; ++i)
      out += Fit(screen[i], t.cols) + (static_cast<int>(i) + 1 < t.rows && i + 1 < screen.size() ? "\n" : "");
    if (final) out += "\n";
    fputs(out.c_str(), stdout);
    Flush();
  }

  bool live() const { return live_; }

  // The table of every device's channels, printed or added to `screen`.
  void PrintTable(std::vector<std::string> *screen) {
    std::vector<std::string> rows = TableRows();
    for (const std::string &r : rows) {
      if (screen) screen->push_back(r);
      else printf("%s\n", r.c_str());
    }
  }

  std::vector<std::string> TableRows() {
    std::vector<std::string> rows;
    char line[256];
    snprintf(line, sizeof line, "  %-6s %-15s %12s  %-7s %s", "CH", "TAG", "VALUE", "UNITS", "STATE");
    rows.push_back(line);
    for (const SimDeviceSpec &d : spec_.devices)
      for (int t : {IO_AI, IO_DI}) {
        if (d.codes[t].empty()) continue;
        int n = 0;
        for (const SimChannel &c : sim_ReadChannels(d.codes[t])) {
          char value[32], ch[16];
          if (c.analogue) snprintf(value, sizeof value, "%.3f", static_cast<double>(c.value));
          else snprintf(value, sizeof value, "%u", c.status & CST_VALUE);
          snprintf(ch, sizeof ch, "%s.%d", d.codes[t].c_str(), ++n);
          snprintf(line, sizeof line, "  %-6s %-15s %12s  %-7s %s", ch, simfile_Escape(c.tag).c_str(), value,
                   simfile_Escape(c.units).c_str(), sim_StatusFlagsText(c.status).c_str());
          rows.push_back(line);
        }
      }
    for (const std::string &l : LoggerStatusLines()) rows.push_back(l);
    return rows;
  }

  // One line a logger whose rows the logger status area holds.
  std::vector<std::string> LoggerStatusLines() {
    std::vector<std::string> out;
    std::string code;
    for (const SimProcessorSpec &p : spec_.processors)
      if (p.kind == SIM_LOGGER_STATUS_KIND && p.code.size() == 2) code = p.code;
    if (code.empty()) return out;
    std::vector<SimChannel> rows = sim_ReadChannels(code);
    void *conf = sim_Area(code, SHM_AREA_CONF);
    if (!conf) return out;
    const ChannelRecord *records = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf));
    for (size_t k = 0; k < spec_.loggers.size(); ++k) {
      const size_t base = k * LOG_STATUS_FEED_ROWS;
      if (base + LOG_STATUS_FEED_ROWS > rows.size()) break;
      char ch[16], line[256];
      snprintf(ch, sizeof ch, "%s.%zu", code.c_str(), base + 1);
      const std::string name = simfile_Escape(spec_.loggers[k]);
      if (rows[base].tag.empty()) {
        snprintf(line, sizeof line, "  %-6s %-15s no status yet", ch, name.c_str());
        out.push_back(line);
        continue;
      }
      char activity[CHAN_TEXT_SIZE + 1];
      chan_GetText32(&records[base + LOG_ROW_ACTIVITY - 1], CHAN_HIGH_STATE_TEXT_OFFSET, activity);
      auto value = [&](int row) { return static_cast<double>(rows[base + static_cast<size_t>(row) - 1].value); };
      auto bad = [&](int row) { return (rows[base + static_cast<size_t>(row) - 1].status & CST_BAD) != 0; };
      std::string last = "-";
      if (!bad(LOG_ROW_DATE_LAST_WRITE)) {
        char when[32];
        snprintf(when, sizeof when, "%06.0f %06.0f", value(LOG_ROW_DATE_LAST_WRITE), value(LOG_ROW_TIME_LAST_WRITE));
        last = when;
      }
      snprintf(line, sizeof line, "  %-6s %-15s %s, %.0f writes, %.0f bytes, last %s", ch, name.c_str(),
               simfile_Escape(activity).c_str(), value(16), value(17), last.c_str());
      out.push_back(line);
    }
    return out;
  }

  // A reader that went away ends the run as an interruption would.
  void Flush() {
    if (fflush(stdout) != 0 || ferror(stdout)) g_interrupted = 1;
  }

 private:
  // "alarm raised P1.OP.PRESS analogue high value=312.9 priority=5" from the
  // whole description.
  static std::string ShortAlarm(const std::string &text, const std::string &tag) {
    std::smatch m;
    static const std::regex whole(
        "^alarm (.*?) +code=(..) channel=([0-9]+)( \\(bad\\))?.* delay=([0-9]+) priority=([0-9]+)( analogue| "
        "digital)( high)?.* value=(\\S+)");
    if (!std::regex_search(text, m, whole)) return text;
    std::string out = "alarm " + m[1].str() + " " + (tag.empty() ? m[2].str() + "." + m[3].str() : tag) + m[4].str() +
                      m[8].str() + " value=" + m[9].str() + " priority=" + m[6].str();
    if (m[5].str() != "0") out += " delay=" + m[5].str();
    return out;
  }

  std::string TagOf(const std::string &code, unsigned channel) {
    if (channel == 0) return "";
    std::vector<SimChannel> all = sim_ReadChannels(code);
    return channel <= all.size() ? all[channel - 1].tag : "";
  }

  static const size_t kRecent = 200;
  bool live_;
  const SimWorldSpec &spec_;
  uint32_t start_;
  std::deque<std::string> recent_;
  std::vector<size_t> seen_;
  std::vector<AlarmMessage> alarms_;
};

// ---- Serving a world, stage by stage.

struct Options {
  double seconds = 0;       // 0: until interrupted
  std::string scanner;      // "" = Tnwell_SC beside this program
  bool live = false;        // a live table on the terminal
  bool demo = false;        // the demo's faults, road and requests
  std::string worldFile;    // pumpsim learns its units from it ("" = the demo world)
  bool whole = false;       // the demo with the loggers, cfgtool, requests and archive
  std::string outDir;       // where the whole road's files go
};

// What the road showed, for the last lines of the demo.
struct Road {
  double raised = -1, cleared = -1;       // the outlet's high alarm
  double unpluggedAt = -1, backAt = -1;   // bad channels seen, and good again after
};

struct Served {
  SimWorldSpec spec;
  std::vector<Child> children;
  std::vector<int> scannerOf;   // device index -> index in children (-1 none)
  std::vector<DemoEvent> schedule;
  uint32_t lineStart = 0;
  WholeRoad *road = nullptr;
};

// Stage 1: the tables, areas, folders and the server's mailslots.
int BuildWorld(Served &s) {
  std::string why;
  if (sim_CreateWorld(s.spec, &why) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return -1;
  }
  if (sim_OpenServerSlots(&why) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return -1;
  }
  if (sim_ListenForCodes(OnOtherCode) != 0) fprintf(stderr, "scadasim: no mailslot for scanner requests\n");
  return 0;
}

// Stage 2: the loggers; the first one leads the process group of the world's
// children, so a terminal's Ctrl-C or hang-up reaches scadasim alone and it
// stops them in order (the scanner first, with its stop code).
int StartLoggers(Served &s, Console &console) {
  const std::string self = sim_ProgramPath("scadasim"), parent = std::to_string(getpid());
  sim_SetChildLauncher({self, "child", parent, "0"});
  for (size_t k = 0; k < s.spec.loggers.size(); ++k) {
    uint32_t pid = 0;
    if (sim_StartLogger(static_cast<int>(k), &pid) != 0) {
      fprintf(stderr, "scadasim: cannot start logger %s: %s\n", s.spec.loggers[k].c_str(), strerror(errno));
      return -1;
    }
    s.children.push_back({"logger " + s.spec.loggers[k], sim_LoggerProcess(static_cast<int>(k)), pid, false, false});
    console.Line("scadasim: started logger " + s.spec.loggers[k] + ", process " + std::to_string(pid));
    if (k == 0) sim_SetChildLauncher({self, "child", parent, std::to_string(pid)});
  }
  return 0;
}

// Stage 3: pumpsim on every port the devices use, before the scanners open
// them. The demo adds its faults and announces them.
int StartPumpLines(Served &s, Console &console, const Options &o) {
  std::vector<std::string> ports;
  for (size_t i = 0; i < s.spec.devices.size(); ++i) {
    std::string port = sim_PumpSimPort(static_cast<int>(i));
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) continue;
    ports.push_back(port);
    std::vector<std::string> args = {"--baud", std::to_string(s.spec.devices[i].baudRate),
                                     "--world", o.worldFile.empty() ? demo_WorldPath() : o.worldFile};
    if (o.demo) {
      args.insert(args.end(), {"--fault", "2:DIG_INPUT1=error:7@15"});
      for (const DemoEvent &e : s.schedule)
        if (!e.option.empty()) args.insert(args.end(), {e.option, e.value});
    }
    uint32_t pid = 0;
    OsHandle line = sim_StartPumpSim(static_cast<int>(i), args, &pid);
    if (!line) {
      fprintf(stderr, "scadasim: pumpsim on %s did not come up (error %d)\n", port.c_str(), errno);
      return -1;
    }
    s.children.push_back({"pumpsim on " + port, line, pid});
    console.Line("scadasim: started pumpsim on " + port + ", process " + std::to_string(pid));
  }
  s.lineStart = os_GetTickCount();
  if (o.demo) {
    console.Line("scadasim: now: 15% of pump 2's DIG_INPUT1 queries answer error status 7 (P2.DIG.IN1 goes bad)");
    for (const DemoEvent &e : s.schedule) {
      char at[32];
      snprintf(at, sizeof at, "%.0f s", e.at);
      console.Line("scadasim: at " + std::string(at) + ": " + e.text);
    }
  }
  return 0;
}

// Starts the scanner of device `index` and waits until it runs.
int StartScanner(Served &s, Console &console, const Options &o, size_t index) {
  uint32_t pid = 0;
  OsHandle proc = sim_StartScanner(static_cast<int>(index), o.scanner, &pid);
  DeviceRecord *r = sim_Device(static_cast<int>(index));
  std::string what = "Tnwell_SC instance " + std::to_string(r->Instance);
  if (!proc) {
    fprintf(stderr, "scadasim: cannot start %s (error %d)\n", what.c_str(), errno);
    return -1;
  }
  s.children.push_back({what, proc, pid});
  s.scannerOf[index] = static_cast<int>(s.children.size() - 1);
  console.Line("scadasim: started " + what + ", process " + std::to_string(pid));
  if (!sim_WaitRunning(static_cast<int>(index), proc, 10000)) {
    int64_t code = sim_WaitExit(proc, 1000);
    fprintf(stderr, "scadasim: %s did not come up (exit %lld)\n", what.c_str(), static_cast<long long>(code));
    return -1;
  }
  return 0;
}

// Stage 4: a scanner per device.
int StartScanners(Served &s, Console &console, const Options &o) {
  s.scannerOf.assign(s.spec.devices.size(), -1);
  for (size_t i = 0; i < s.spec.devices.size(); ++i)
    if (StartScanner(s, console, o, i) != 0) return -1;
  return 0;
}

// A child that ended on its own is told at once, with its status.
void ReportEndedChildren(Served &s, Console &console) {
  for (Child &c : s.children) {
    uint32_t code = 0;
    if (c.ended || !c.process || os_GetExitCodeProcess(c.process, &code) != 0 || code == OS_STILL_ACTIVE) continue;
    c.ended = true;
    console.Line("scadasim: " + c.what + " (process " + std::to_string(c.pid) + ") ended: " + ExitText(code));
  }
}

bool ScannerLives(const Served &s, size_t index) {
  int k = s.scannerOf[index];
  return k >= 0 && !s.children[static_cast<size_t>(k)].ended;
}

// `scadasim scanner start N` asked for a scanner that is not running.
void ServeStartRequest(Served &s, Console &console, const Options &o) {
  int32_t instance = g_startRequest.exchange(0);
  if (instance == 0) return;
  for (size_t i = 0; i < s.spec.devices.size(); ++i) {
    if (s.spec.devices[i].instance != instance) continue;
    if (ScannerLives(s, i)) console.Line("scadasim: instance " + std::to_string(instance) + " is running already");
    else StartScanner(s, console, o, i);
    return;
  }
  console.Line("scadasim: no device of instance " + std::to_string(instance));
}

// Stage 5: scan requests until the time is up or a signal came. A scan goes
// to a scanner only when its last pass has ended (busy 0), so a slow pass
// (a unit that does not answer) never stalls the screen.
int ScanLoop(Served &s, Console &console, const Options &o, Road &seen) {
  const std::string watched = s.spec.devices[0].codes[IO_AI].empty() ? s.spec.devices[0].codes[IO_DI]
                                                                     : s.spec.devices[0].codes[IO_AI];
  sim_Watch(watched, 1);
  const DeviceRecord *first = sim_Device(0);
  const std::string statusName(first->StatusName, strnlen(first->StatusName, sizeof first->StatusName));
  int requests = 0, ticks = 0;
  size_t next = 0;
  std::string lastStatus, lastBad;
  const uint32_t start = os_GetTickCount();
  const double step = o.demo ? 0.5 : 1.0;
  console.Pass("up", !o.live);
  while (!g_interrupted && (o.seconds <= 0 || Seconds(start) < o.seconds)) {
    uint32_t tickStart = os_GetTickCount();
    ++ticks;
    bool roadReconfigure = false;
    ServeStartRequest(s, console, o);
    for (size_t i = 0; i < s.spec.devices.size(); ++i) {
      const DeviceRecord *r = sim_Device(static_cast<int>(i));
      if (!ScannerLives(s, i) || r->Busy) continue;
      int32_t code = NTF_SCAN;
      if (o.demo && ticks == 4) code = NTF_RECONFIGURE;
      if (o.demo && ticks == 6) code = NTF_INITIALISE_VALUES;
      if (code == NTF_SCAN && s.road && i == 0 && whole_TakeReconfigure(s.road))
        code = NTF_RECONFIGURE, roadReconfigure = true;
      if (sim_Post(s.children[static_cast<size_t>(s.scannerOf[i])].pid, code) == 0 && code == NTF_SCAN) ++requests;
    }
    bool changed = sim_WaitForChange(watched, 1, static_cast<uint32_t>(step * 1000 * 0.9));
    ReportEndedChildren(s, console);
    // A step of the road that came due is told, with the table as it stands.
    bool milestone = false;
    while (next < s.schedule.size() && Seconds(s.lineStart) >= s.schedule[next].at) {
      console.Line("scadasim: now: " + s.schedule[next++].text);
      milestone = true;
    }
    if (s.road) {
      whole_Tick(s.road, sim_ReadChannels(watched));
      for (const std::string &l : whole_TakeLines(s.road)) console.Line(l), milestone = true;
    }
    std::string status = sim_StatusText(statusName);
    bool statusChanged = status != lastStatus;
    lastStatus = status;
    bool anyBad = false;
    for (const SimChannel &c : sim_ReadChannels(watched)) anyBad = anyBad || (c.status & CST_BAD);
    // Which channels are bad, over every device: a change shows the table.
    std::string bad;
    for (const SimDeviceSpec &d : s.spec.devices)
      for (int t : {IO_AI, IO_DI})
        if (!d.codes[t].empty())
          for (const SimChannel &c : sim_ReadChannels(d.codes[t])) bad.push_back((c.status & CST_BAD) ? 'B' : '-');
    bool badChanged = bad != lastBad;
    lastBad = bad;
    double t = Seconds(s.lineStart);
    if (o.demo && t >= kDemoUnplugFrom && t < kDemoUnplugTo + 5 && anyBad && seen.unpluggedAt < 0) {
      seen.unpluggedAt = t;
    }
    if (seen.unpluggedAt >= 0 && seen.backAt < 0 && !anyBad && status.empty()) seen.backAt = t;
    bool last = o.seconds > 0 && Seconds(start) + step >= o.seconds;
    const char *what = (o.demo && ticks == 4) || roadReconfigure ? "reconfigured" : o.demo && ticks == 6 ? "initialised" : changed ? "scan" : "scan (busy)";
    console.Pass(what, ticks == 1 || last || g_interrupted || milestone || statusChanged || badChanged);
    for (const AlarmMessage &m : console.TakeAlarms()) {
      if (memcmp(m.code, watched.data(), 2) != 0 || (m.channel & 0x7FFF) != 3) continue;
      if ((m.flags & ALM_KIND_MASK) == 0 && seen.raised < 0) seen.raised = t;
      if ((m.flags & ALM_KIND_MASK) == 1 && seen.raised >= 0 && seen.cleared < 0) seen.cleared = t;
    }
    uint32_t spent = os_GetTickCount() - tickStart, wanted = static_cast<uint32_t>(step * 1000);
    if (spent < wanted && !g_interrupted) os_Sleep(wanted - spent);
  }
  return requests;
}

// Stage 6: the scanners get the stop code and are waited for (killed when
// they do not stop); the exit status of the first.
int64_t StopScanners(Served &s, Console &console) {
  int64_t first = -1;
  for (size_t i = 0; i < s.scannerOf.size(); ++i) {
    if (s.scannerOf[i] < 0) continue;
    Child &c = s.children[static_cast<size_t>(s.scannerOf[i])];
    int64_t code = -1;
    if (!c.ended) {
      sim_Post(c.pid, NTF_STOP);
      code = sim_WaitExit(c.process, 10000);
      c.ended = true;
      if (code < 0) {
        console.Line("scadasim: " + c.what + " did not stop; killing it");
        os_TerminateProcess(c.process, 1);
        code = 1;
      }
    } else {
      uint32_t u = 1;
      code = os_GetExitCodeProcess(c.process, &u) == 0 ? u : 1;
    }
    if (i == 0) first = code;
  }
  return first;
}

std::vector<std::string> RoadLines(const Road &seen) {
  std::vector<std::string> out;
  char text[512];
  if (seen.raised >= 0)
    snprintf(text, sizeof text, "scadasim: road: P1.OP.PRESS alarm raised at %.1f s, %s", seen.raised,
             seen.cleared >= 0 ? ("returned to normal at " + std::to_string(static_cast<int>(seen.cleared)) + " s").c_str()
                               : "not returned to normal");
  else
    snprintf(text, sizeof text, "scadasim: road: no P1.OP.PRESS alarm (the run ended before %.0f s)", kDemoSurgeFrom);
  out.push_back(text);
  if (seen.unpluggedAt >= 0)
    snprintf(text, sizeof text, "scadasim: road: unit 2 unplugged: channels bad at %.1f s, %s", seen.unpluggedAt,
             seen.backAt >= 0 ? ("read again at " + std::to_string(static_cast<int>(seen.backAt)) + " s").c_str()
                              : "not read again");
  else
    snprintf(text, sizeof text, "scadasim: road: unit 2 was not seen unplugged (the run ended before %.0f s)",
             kDemoUnplugFrom);
  out.push_back(text);
  return out;
}

// Stage 7: the closing lines: live, in the log region of the last screen;
// plain, below the last table.
void Summarise(Console &console, const Options &o, const Road &seen, int requests, int64_t code,
               const std::vector<std::string> &whole) {
  console.Collect();
  std::vector<std::string> closing;
  if (o.demo) closing = RoadLines(seen);
  closing.insert(closing.end(), whole.begin(), whole.end());
  closing.push_back("scadasim: scanner exited with status " + std::to_string(code) + " after " +
                    std::to_string(requests) + " scan requests");
  if (g_signal) closing.push_back("scadasim: ended by signal " + std::to_string(g_signal) + " (" + strsignal(g_signal) + ")");
  if (console.live())
    for (const std::string &l : closing) console.Line(l, false);
  console.Pass("stopped", true, true);
  // The whole road's summary is longer than the log region of a screen.
  if (!console.live() || !whole.empty())
    for (const std::string &l : closing) printf("%s\n", l.c_str());
  fflush(stdout);
}

// Stage 8: every child ends (pumpsim asked first, so it removes its link),
// then the world goes.
void Teardown(Served &s) {
  for (Child &c : s.children) {
    if (!c.owned || !c.process) continue;
    if (!c.ended && c.what.rfind("pumpsim", 0) == 0) {
      sim_StopPumpSim(c.process, c.pid, 5000);
    } else {
      if (!c.ended) {
        os_TerminateProcess(c.process, 1);
        os_WaitForSingleObject(c.process, 5000);
      }
      os_CloseHandle(c.process);
    }
    c.process = nullptr;
  }
  sim_DestroyWorld();
  ntf_Stop();
}

int Serve(SimWorldSpec spec, const Options &o) {
  if (ClaimRoot() != 0) return 1;
  Served s;
  s.spec = std::move(spec);
  if (o.demo) s.schedule = demo_Schedule();
  Console console(o.live, s.spec);
  int status = 1;
  if (BuildWorld(s) == 0 && !g_interrupted && StartLoggers(s, console) == 0) {
    if (o.demo || o.worldFile.empty()) demo_Subscribe(s.spec);
    if (!g_interrupted && StartPumpLines(s, console, o) == 0 && !g_interrupted && StartScanners(s, console, o) == 0) {
      Road seen;
      if (o.whole) {
        console.Line("scadasim: demo: the whole system: files in " + o.outDir);
        s.road = whole_Start(s.spec, o.outDir, s.lineStart);
      }
      int requests = ScanLoop(s, console, o, seen);
      int64_t code = StopScanners(s, console);
      bool roadOk = true;
      std::vector<std::string> whole;
      if (s.road) whole = whole_Finish(s.road, &roadOk), s.road = nullptr;
      if (o.whole && whole.empty()) whole.push_back("scadasim: road: the whole road did not start"), roadOk = false;
      Summarise(console, o, seen, requests, code, whole);
      status = code < 0 ? 1 : code == 0 && !roadOk ? 1 : static_cast<int>(code);
    }
  }
  sim_SetChildLauncher({});
  Teardown(s);
  ReleaseRoot();
  return status;
}

// ---- Commands on a live world.

int Dump() {
  SimWorldSpec spec;
  std::string why;
  if (simfile_ReadLive(&spec, &why) != 0) return fprintf(stderr, "scadasim: %s\n", why.c_str()), 1;
  fputs(simfile_Write(spec).c_str(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

int Watch(double seconds, bool live) {
  SimWorldSpec spec;
  std::string why;
  if (simfile_ReadLive(&spec, &why) != 0) return fprintf(stderr, "scadasim: %s\n", why.c_str()), 1;
  Console console(live, spec);
  const uint32_t start = os_GetTickCount();
  while (!g_interrupted && (seconds <= 0 || Seconds(start) < seconds)) {
    std::vector<std::string> rows;
    std::error_code ec;
    if (!std::filesystem::exists(sim_WorldNotePath(), ec)) return fprintf(stderr, "scadasim: the world ended\n"), 1;
    for (const std::string &r : console.TableRows()) rows.push_back(r);
    if (live) printf("\033[H\033[J");
    for (size_t i = 0; i < rows.size() && (!live || static_cast<int>(i) < TerminalSize().rows - 1); ++i)
      printf("%s\n", Fit(rows[i], live ? TerminalSize().cols : 1 << 20).c_str());
    console.Flush();
    os_Sleep(1000);
  }
  return 0;
}

int ScannerCommand(const std::string &verb, const char *instanceText) {
  uint32_t instance = static_cast<uint32_t>(strtoul(instanceText, nullptr, 10));
  if (instance == 0 || instance > 65535) return fprintf(stderr, "scadasim: bad instance \"%s\"\n", instanceText), 2;
  if (verb == "start") {
    long owner = ReadPid(PidFile());
    if (!Alive(owner)) return fprintf(stderr, "scadasim: no scadasim serves the platform root %s\n", os_Root()), 1;
    if (sim_Post(static_cast<uint32_t>(owner), kStartScannerCode + static_cast<int32_t>(instance)) != 0)
      return fprintf(stderr, "scadasim: cannot reach scadasim process %ld (error %d)\n", owner, errno), 1;
    return 0;
  }
  void *dev = shm_OpenSegment("dm_device");
  if (!dev) return fprintf(stderr, "scadasim: no world in the platform root %s\n", os_Root()), 1;
  int32_t n = 0;
  memcpy(&n, shm_Payload(dev), 4);
  const DeviceRecord *recs = reinterpret_cast<const DeviceRecord *>(shm_Payload(dev) + 4);
  for (int32_t i = 0; i < n; ++i) {
    if (recs[i].Instance != instance) continue;
    if (recs[i].Running != 1 || recs[i].ProcessId == 0)
      return fprintf(stderr, "scadasim: instance %u is not running\n", instance), 1;
    if (sim_Post(recs[i].ProcessId, NTF_STOP) != 0)
      return fprintf(stderr, "scadasim: cannot post to process %u (error %d)\n", recs[i].ProcessId, errno), 1;
    return 0;
  }
  return fprintf(stderr, "scadasim: no device of instance %u\n", instance), 1;
}

// The logger: every code as one line, written whole.
int g_loggerOut = -1;
volatile sig_atomic_t g_loggerStop;

int OnLoggerCode(int32_t code) {
  char line[24];
  int n = snprintf(line, sizeof line, "%d\n", code);
  if (g_loggerOut >= 0 && n > 0 && write(g_loggerOut, line, static_cast<size_t>(n)) == n)
    log_StatusFeedWrite(static_cast<uint32_t>(n));
  if (code == NTF_STOP) g_loggerStop = 1;
  return 0;
}

// `logger`: the loggers table's logger whose status channels it feeds ("" none).
int RunLogger(const std::string &out, const std::string &logger) {
  g_loggerOut = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (g_loggerOut < 0) return perror("scadasim logger"), 1;
  // A world without the status processor is no fault of the logger's: quiet.
  if (!logger.empty()) sim_StartStatusFeed(logger.c_str(), true);
  errno = 0;
  if (!ntf_Start(OnLoggerCode) && errno != 0)
    return fprintf(stderr, "scadasim logger: no mailslot (error %d)\n", errno), 1;
  log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
  while (!g_interrupted && !g_loggerStop) os_Sleep(20);
  ntf_Stop();
  log_StatusFeedActivity(LOG_ACTIVITY_FINISHED);
  log_StatusFeedStop();
  close(g_loggerOut);
  return 0;
}

// The options of demo, run, world FILE and watch.
bool ParseOptions(const std::string &cmd, int argc, char **argv, int from, Options *o, bool *plain) {
  for (int i = from; i < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc && cmd != "run") {
      if (!ParseSeconds(argv[++i], &o->seconds)) {
        fprintf(stderr, "scadasim: --seconds takes a number of seconds above 0, not \"%s\"\n", argv[i]);
        return false;
      }
    } else if (strcmp(argv[i], "--scanner") == 0 && i + 1 < argc && cmd != "watch") {
      o->scanner = argv[++i];
    } else if (strcmp(argv[i], "--plain") == 0) {
      *plain = true;
    } else if (strcmp(argv[i], "--whole") == 0 && cmd == "demo") {
      o->whole = true;
    } else if (strcmp(argv[i], "--out") == 0 && i + 1 < argc && cmd == "demo") {
      o->outDir = argv[++i];
    } else {
      fprintf(stderr, "scadasim: bad argument \"%s\"\n", argv[i]);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "child") == 0) return RunChild(argc, argv);
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  CatchSignals();
  if (cmd == "post") {
    if (argc != 4) return Usage(stderr), 2;
    if (sim_Post(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)), static_cast<int32_t>(atoi(argv[3]))) != 0) {
      fprintf(stderr, "scadasim: cannot post to process %s (error %d)\n", argv[2], errno);
      return 1;
    }
    return 0;
  }
  if (cmd == "logger" && argc >= 4 && strcmp(argv[2], "--runs") == 0) return sim_LoggerRunsCommand(argc - 3, argv + 3);
  if (cmd == "logger" && argc >= 4 && strcmp(argv[2], "--store") == 0) return sim_LoggerStoreCommand(argc - 3, argv + 3);
  if (cmd == "logger") {
    if ((argc != 4 && (argc != 6 || strcmp(argv[4], "--logger") != 0)) || strcmp(argv[2], "--out") != 0)
      return Usage(stderr), 2;
    return RunLogger(argv[3], argc == 6 ? argv[5] : "");
  }
  if (cmd == "requests") return sim_RequestsCommand(argc - 2, argv + 2);
  if (cmd == "scanner") {
    if (argc != 4 || (strcmp(argv[2], "start") != 0 && strcmp(argv[2], "stop") != 0)) return Usage(stderr), 2;
    return ScannerCommand(argv[2], argv[3]);
  }
  if (cmd == "world" && argc == 3 && strcmp(argv[2], "--dump") == 0) return Dump();
  if (cmd != "demo" && cmd != "run" && cmd != "world" && cmd != "watch") return Usage(stderr), 2;
  Options o;
  o.demo = cmd == "demo";
  o.seconds = o.demo ? kDemoSeconds : 0;
  int from = 2;
  if (cmd == "world") {
    if (argc < 3 || argv[2][0] == '-') return Usage(stderr), 2;
    o.worldFile = argv[2];
    from = 3;
  }
  bool plain = false;
  if (!ParseOptions(cmd, argc, argv, from, &o, &plain)) return 2;
  o.live = !plain && isatty(STDOUT_FILENO);
  if (cmd == "watch") return Watch(o.seconds, o.live);
  if (!o.outDir.empty() && !o.whole) return fprintf(stderr, "scadasim: --out belongs to --whole\n"), 2;
  if (o.whole) {
    std::error_code ec;
    if (o.outDir.empty()) {
      char templ[] = "/tmp/tnwell-demo-XXXXXX";
      if (!mkdtemp(templ)) return perror("scadasim: mkdtemp"), 1;
      o.outDir = templ;
    } else if (!std::filesystem::create_directories(o.outDir, ec) && ec) {
      return fprintf(stderr, "scadasim: cannot make %s: %s\n", o.outDir.c_str(), ec.message().c_str()), 1;
    }
    o.outDir = std::filesystem::absolute(o.outDir, ec).string();
  }

  SimWorldSpec spec;
  std::string why;
  if ((o.worldFile.empty() ? demo_LoadWorld(&spec, &why) : simfile_Load(o.worldFile, &spec, &why)) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return 2;
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
  int status = Serve(spec, o);
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
