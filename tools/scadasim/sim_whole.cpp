#include "tools/scadasim/sim_whole.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

#include "framework/notify/ntf_notify.h"
#include "platform/ado/ado.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "platform/os_spawn.h"
#include "plugin/loggers/prov_provider.h"
#include "tools/scadasim/sim_demo.h"
#include "tools/scadasim/sim_tls.h"

namespace {

// The channel cfgtool moves, from 1: P2.CONTR.VER becomes unit 1's outlet
// pressure, so the table shows it take the surge.
const int kChangedChannel = 8;
const char *const kChangedPump = "1", *const kChangedItem = "OP PRESS";
// Seconds of the road (pump line time) each step starts at.
const double kChangeAt = 4, kPrintAt = 6, kRequestFrom = 14, kRequestTo = kDemoSurgeTo - 0.5;
const double kSurgeAbove = 250;
const int kCycleSeconds = 10;
const char *const kRunsFolder = "C:\\demo\\runs", *const kPrefix = "RUN";
const char *const kCatalog = "demo", *const kLogger = "PUMPS";
const char *const kLive = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\demo\\live.mdb";
const char *const kArchive = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\demo\\archive.mdb";

struct Logger {
  std::string out;
  OsHandle process = nullptr;
  uint32_t pid = 0;
};

// What a run's dump showed.
struct RunFigures {
  std::string name, start;  // start "YYYY-MM-DD hh:mm:ss"
  bool open = false;
  std::vector<std::pair<std::string, double>> records;  // time and the outlet pressure
  double peak = -1;
};

}  // namespace

struct WholeRoad {
  SimWorldSpec spec;
  std::string out, root, aiCode;
  uint32_t lineStart = 0;
  std::thread worker, poster;
  std::atomic<bool> stop{false};
  Logger loggers[2];
  std::atomic<bool> loggersUp{false};
  std::atomic<int> posted{0};
  SimTlsServer *tls = nullptr;
  std::mutex provLock;
  LocalProvider *prov = nullptr;

  std::mutex lock;  // what follows
  std::vector<std::string> lines;
  std::vector<std::string> closing;  // a step's summary, in the road's order
  std::vector<SimChannel> ai;
  bool reconfigure = false;
  bool failed = false;
};

namespace {

double Now(const WholeRoad *r) { return static_cast<double>(os_GetTickCount() - r->lineStart) / 1000; }

void Say(WholeRoad *r, const std::string &text) {
  std::lock_guard<std::mutex> g(r->lock);
  r->lines.push_back("scadasim: demo: " + text);
}

void Sum(WholeRoad *r, const std::string &text, bool ok = true) {
  std::lock_guard<std::mutex> g(r->lock);
  r->closing.push_back("scadasim: road: " + text);
  if (!ok) r->failed = true;
}

// Waits until the road's clock reaches `at`; false when the road ends first.
bool Until(WholeRoad *r, double at) {
  while (!r->stop && Now(r) < at) os_Sleep(50);
  return !r->stop;
}

OsProgramRun Run(const std::vector<std::string> &args) {
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  OsProgramRun run;
  if (os_RunProgram(argv.data(), &run) != 0) run.exitCode = 127, run.err = "cannot run " + args[0];
  return run;
}

std::string Fixed(double v, int digits = 1) {
  char b[32];
  snprintf(b, sizeof b, "%.*f", digits, v);
  return b;
}

std::vector<SimChannel> Snapshot(WholeRoad *r) {
  std::lock_guard<std::mutex> g(r->lock);
  return r->ai;
}

// "  A13 status 0x80 P value 309.77": the value, or NaN.
double ReplyValue(const std::string &reply, const std::string &tag) {
  std::smatch m;
  if (std::regex_search(reply, m, std::regex("(^|\n) *" + tag + " status 0x[0-9A-Fa-f]+ [A-Z-]* *value ([-0-9.e+]+)")))
    return atof(m[2].str().c_str());
  return NAN;
}

// ---- The loggers.

// A logger child of the world, its output in a file.
bool StartLogger(WholeRoad *r, Logger *l, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" > \"$out\" 2>&1", "sh", l->out,
                                   sim_ProgramPath("scadasim"), "logger"};
  argv.insert(argv.end(), args.begin(), args.end());
  for (int t : {IO_AI, IO_DI})
    if (!r->spec.devices[0].codes[t].empty()) argv.insert(argv.end(), {"--area", r->spec.devices[0].codes[t]});
  l->process = sim_SpawnChild(argv, &l->pid);
  return l->process != nullptr;
}

std::string ReadText(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The line a logger printed after "created ", once it came.
std::string Created(WholeRoad *r, const Logger &l, uint32_t ms) {
  uint32_t start = os_GetTickCount();
  while (!r->stop && os_GetTickCount() - start < ms) {
    std::string text = ReadText(l.out);
    size_t at = text.find("created ");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos)
      return text.substr(at + 8, text.find('\n', at) - at - 8);
    uint32_t code = 0;
    if (os_GetExitCodeProcess(l.process, &code) == 0 && code != OS_STILL_ACTIVE) break;
    os_Sleep(50);
  }
  return "";
}

void StopLoggers(WholeRoad *r) {
  for (Logger &l : r->loggers) {
    if (!l.process) continue;
    sim_Post(l.pid, NTF_STOP);
    if (sim_WaitExit(l.process, 10000) < 0) {
      os_TerminateProcess(l.process, 1);
      sim_WaitExit(l.process, 5000);
    }
    os_CloseHandle(l.process);
    l.process = nullptr;
  }
}

// A record a second for each logger, as a logger's code would ask for.
void Post(WholeRoad *r) {
  while (!r->stop) {
    if (r->loggersUp) {
      for (Logger &l : r->loggers) sim_Post(l.pid, 200000);
      ++r->posted;
    }
    for (int i = 0; i < 20 && !r->stop; ++i) os_Sleep(50);
  }
}

// ---- The steps.

std::string DbServer() {
  return std::string("Provider=SQLOLEDB;Data Source=.;Initial Catalog=") + kCatalog + ";LoggerName=" + kLogger;
}

bool StartLoggers(WholeRoad *r) {
  std::string runs = r->root + "/drives/c/demo/runs", sql = r->root + "/hosts/./sqlserver";
  std::error_code ec;
  std::filesystem::remove_all(r->root + "/drives/c/demo", ec);
  std::filesystem::create_directories(runs, ec);
  std::filesystem::create_directories(sql, ec);
  std::string why, catalog = sql + "/" + kCatalog + ".db";
  std::filesystem::remove(catalog, ec);
  if (ado::ado_CreateFile(catalog, &why) != ado::ADO_S_OK) return Sum(r, "loggers: no catalog: " + why, false), false;
  Logger &folder = r->loggers[0], &db = r->loggers[1];
  folder.out = r->out + "/logger-folder.txt";
  db.out = r->out + "/logger-sqlite.txt";
  if (!StartLogger(r, &folder, {"--runs", runs, "--prefix", kPrefix, "--cycle", std::to_string(kCycleSeconds)}) ||
      !StartLogger(r, &db, {"--store", std::string("Provider=SQLOLEDB;Data Source=.;Initial Catalog=") + kCatalog,
                            "--logger", kLogger}))
    return Sum(r, "loggers: cannot start them", false), false;
  std::string a = Created(r, folder, 20000), b = Created(r, db, 20000);
  if (a.empty() || b.empty()) return Sum(r, "loggers: no run created (see " + r->out + ")", false), false;
  Say(r, "logger into a folder (a run every " + std::to_string(kCycleSeconds) + " s): " + a);
  Say(r, "logger into SQLite: " + b);
  r->loggersUp = true;
  return true;
}

std::string Types(const SimDeviceSpec &d) {
  std::string t;
  for (int i = 0; i < IO_TYPE_COUNT; ++i) {
    if (i) t += ",";
    if (!d.codes[i].empty()) t += d.codes[i] + ":" + std::to_string(d.channels[i]);
  }
  return t;
}

std::vector<std::string> Cfgtool(const WholeRoad *r, const std::vector<std::string> &args) {
  const SimDeviceSpec &d = r->spec.devices[0];
  std::vector<std::string> argv = {sim_ProgramPath("cfgtool"), "--folder", d.folder, "--types", Types(d)};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

void ChangeChannel(WholeRoad *r) {
  const std::string ch = r->aiCode + "." + std::to_string(kChangedChannel);
  std::vector<SimChannel> before = Snapshot(r);
  if (before.size() < static_cast<size_t>(kChangedChannel)) return Sum(r, "cfgtool: no channel " + ch, false);
  const SimChannel was = before[kChangedChannel - 1];
  std::vector<std::string> args;
  if (getenv("DISPLAY") && *getenv("DISPLAY")) {
    Say(r, "the channel dialog of " + ch + " " + was.tag + " is open: pick pump " + kChangedPump + " and " +
               kChangedItem + ", then OK");
  } else {
    std::string script = r->out + "/channel-dialog.txt";
    std::ofstream(script) << "pick 7001 " << kChangedPump << "\npick 7002 " << kChangedItem << "\nok\n";
    args = {"--script", script};
  }
  args.insert(args.end(), {"channel", "AI", std::to_string(kChangedChannel)});
  OsProgramRun run = Run(Cfgtool(r, args));
  if (run.exitCode != 0 || run.out.find("channel written") == std::string::npos)
    return Sum(r, "cfgtool: " + ch + " not written (" + std::to_string(run.exitCode) + "): " + run.err, false);
  const double written = Now(r);
  Say(r, "cfgtool wrote " + ch + " " + was.tag + " through the channel dialog: pump " + kChangedPump + ", " +
             kChangedItem + " (it read " + Fixed(was.value, 3) + ")");
  {
    std::lock_guard<std::mutex> g(r->lock);
    r->reconfigure = true;
  }
  // The scanner reads the channel files again at the reconfigure: the table
  // shows the outlet pressure in the channel from the next pass on.
  for (;;) {
    if (!Until(r, Now(r) + 0.1) || Now(r) > written + 10)
      return Sum(r, "cfgtool: " + ch + " still reads " + Fixed(Snapshot(r)[kChangedChannel - 1].value, 3) +
                        " after the reconfigure", false);
    std::vector<SimChannel> now = Snapshot(r);
    const float v = now[kChangedChannel - 1].value;
    if (std::fabs(v - was.value) > 1 && std::fabs(v - now[2].value) < 50) {
      Say(r, ch + " " + was.tag + " reads " + Fixed(v, 3) + " after the reconfigure, beside P1.OP.PRESS " +
                 Fixed(now[2].value, 3));
      Sum(r, "cfgtool: " + ch + " " + was.tag + " moved to pump " + kChangedPump + " " + kChangedItem + "; read " +
                 Fixed(was.value, 3) + " before, " + Fixed(v, 3) + " " + Fixed(Now(r) - written) +
                 " s after the write");
      return;
    }
  }
}

void PrintAll(WholeRoad *r) {
  const std::string pdf = r->out + "/config.pdf", png = r->out + "/config";
  OsProgramRun run = Run(Cfgtool(r, {"--pdf", pdf, "print-all"}));
  if (run.exitCode != 0) return Sum(r, "print-all failed: " + run.err, false);
  OsProgramRun page = Run({"pdftoppm", "-png", "-r", "100", "-f", "1", "-l", "1", "-singlefile", pdf, png});
  if (page.exitCode != 0) return Sum(r, "print-all: no PNG of page 1: " + page.err, false);
  OsProgramRun info = Run({"pdfinfo", pdf});
  std::smatch m;
  std::string pages = std::regex_search(info.out, m, std::regex("Pages: +([0-9]+)")) ? m[1].str() : "?";
  std::error_code ec;
  Say(r, "cfgtool print-all: " + pdf + " (" + pages + " pages), page 1: " + png + ".png");
  Sum(r, "print-all: " + pages + " pages in " + pdf + " (" + std::to_string(std::filesystem::file_size(pdf, ec)) +
             " bytes), page 1 in " + png + ".png (" + std::to_string(std::filesystem::file_size(png + ".png", ec)) +
             " bytes)");
}

// TLS requests are served from the SQLite run by a provider of this process.
std::string AnswerFromRun(WholeRoad *r, const std::string &request) {
  std::lock_guard<std::mutex> g(r->provLock);
  if (!r->prov) {
    r->prov = prov_Init();
    if (!r->prov || prov_Open(r->prov, DbServer().c_str()) != 0) {
      if (r->prov) prov_Destroy(r->prov);
      r->prov = nullptr;
      return std::string("-1,3", 5);
    }
  }
  std::vector<char> reply(65512);
  uint32_t n = static_cast<uint32_t>(reply.size());
  if (!prov_Dispatch(r->prov, request.data(), static_cast<uint32_t>(request.size()), reply.data(), &n))
    return std::string("-1,232", 7);
  return std::string(reply.data(), n);
}

bool StartTls(WholeRoad *r, std::string *url) {
  const std::string key = r->out + "/demo.key", cert = r->out + "/demo.pem";
  OsProgramRun made = Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                           "-days", "2", "-subj", "/CN=127.0.0.2"});
  if (made.exitCode != 0) return Sum(r, "requests: no certificate: " + made.err, false), false;
  SimTlsSpec spec;
  spec.certFile = cert;
  spec.keyFile = key;
  spec.answer = [r](const std::string &request) { return AnswerFromRun(r, request); };
  std::string why;
  r->tls = sim_StartTlsServer(spec, &why);
  if (!r->tls) return Sum(r, "requests: no TLS listener: " + why, false), false;
  *url = "tnw://127.0.0.2:" + std::to_string(sim_TlsPort(r->tls)) + "/";
  return true;
}

// While the outlet is blocked: its pressure read back from the runs as they
// are logged, through the provider of the folder run and over TLS.
void Requests(WholeRoad *r, const std::string &tlsUrl) {
  const std::string tag = r->aiCode + "3", line = "RV," + tag;
  struct Road {
    const char *how;
    std::string server;
    double value = NAN;
    std::string reply;
  } roads[] = {{"the in-process provider", kRunsFolder, NAN, ""}, {"TLS", tlsUrl, NAN, ""}};
  for (Road &road : roads) {
    while (Now(r) < kRequestTo && !r->stop) {
      OsProgramRun run = Run({sim_ProgramPath("logtool"), "request", road.server, line});
      road.reply = run.out + run.err;
      road.value = ReplyValue(run.out, tag);
      if (road.value > kSurgeAbove) break;
      Until(r, Now(r) + 0.5);
    }
    const bool ok = road.value > kSurgeAbove;
    Say(r, "logtool request " + road.server + " " + line + " (" + road.how + "): " +
               (std::isnan(road.value) ? "no value" : "P1.OP.PRESS " + Fixed(road.value, 3)));
    Sum(r,
        std::string("request over ") + road.how + " (" + road.server + "): " + line + " read P1.OP.PRESS " +
            (std::isnan(road.value) ? "nothing" : Fixed(road.value, 1)) +
            (ok ? " during the surge" : " (no surge seen): " + road.reply),
        ok);
  }
}

void Steps(WholeRoad *r) {
  if (!StartLoggers(r)) return;
  std::string tlsUrl;
  const bool tls = StartTls(r, &tlsUrl);
  if (Until(r, kChangeAt)) ChangeChannel(r);
  if (Until(r, kPrintAt)) PrintAll(r);
  if (tls && Until(r, kRequestFrom)) Requests(r, tlsUrl);
}

// The loggers die with the thread that started them (their parent-death
// signal follows the thread): it lives until the road ends.
void Road(WholeRoad *r) {
  Steps(r);
  while (!r->stop) os_Sleep(50);
}

// ---- The runs, read back, and the archive of the older ones.

// "26/12/11 12:52:58.970" -> "2026-12-11 12:52:58"; "261211_125252" likewise.
std::string Iso(const std::string &s) {
  if (s.size() >= 17 && s[2] == '/')
    return "20" + s.substr(0, 2) + "-" + s.substr(3, 2) + "-" + s.substr(6, 2) + " " + s.substr(9, 8);
  if (s.size() == 13 && s[6] == '_')
    return "20" + s.substr(0, 2) + "-" + s.substr(2, 2) + "-" + s.substr(4, 2) + " " + s.substr(7, 2) + ":" +
           s.substr(9, 2) + ":" + s.substr(11, 2);
  return "";
}

// The records of a run as `logtool dump` shows them; false when it fails.
bool DumpRun(const std::string &run, const std::string &tag, RunFigures *f) {
  OsProgramRun dump = Run({sim_ProgramPath("logtool"), "dump", run});
  if (dump.exitCode != 0) return false;
  std::istringstream in(dump.out);
  const std::regex record("^record [0-9]+ ([0-9/]+ [0-9:.]+) .* " + tag + "=([-0-9.e+]+)\\[");
  std::smatch m;
  for (std::string l; std::getline(in, l);) {
    if (!std::regex_search(l, m, record)) continue;
    double v = atof(m[2].str().c_str());
    f->records.emplace_back(Iso(m[1].str()), v);
    f->peak = std::max(f->peak, v);
  }
  return true;
}

std::string Sql(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The folder's runs become runs of the archive's live schema (a Loggers row
// and their outlet pressures), and those that began before the newest one
// move to the archive.
void Archive(WholeRoad *r, std::vector<RunFigures> &runs) {
  const std::string tool = sim_ProgramPath("adotool");
  const std::string fill = r->out + "/archive-fill.sql";
  std::ofstream sql(fill);
  sql << "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('.', " << Sql(r->spec.devices[0].folder) << ")\n"
      << "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('" << kPrefix << "', 'demo folder runs')\n"
      << "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (1, 1, 'P1.OP.PRESS')\n"
      << "CREATE TABLE RUNDATA (LoggerID integer, TS datetime, V1 float)\n";
  for (size_t i = 0; i < runs.size(); ++i) {
    const RunFigures &f = runs[i];
    const std::string stop = f.open || f.records.empty() ? "NULL" : Sql(f.records.back().first);
    sql << "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, "
           "sMainTableName, nLogRate, nParameters) VALUES (1, '"
        << kPrefix << "', " << Sql(f.name) << ", " << Sql(f.start) << ", " << stop << ", " << (f.open ? 0 : 1)
        << ", " << (f.open ? 0 : 1) << ", 'RUNDATA', 1, 1)\n";
    for (const auto &rec : f.records)
      sql << "INSERT INTO RUNDATA (LoggerID, TS, V1) VALUES (" << i + 1 << ", " << Sql(rec.first) << ", "
          << Fixed(rec.second, 3) << ")\n";
  }
  sql.close();
  if (runs.size() < 2) return Sum(r, "archive: only " + std::to_string(runs.size()) + " run, none older", false);
  const std::string cutoff = runs.back().start;
  OsProgramRun steps[] = {Run({tool, "create", kLive}),
                          Run({tool, "exec", kLive, "-f", sim_ProgramPath("archive_live.sql")}),
                          Run({tool, "exec", kLive, "-f", fill}),
                          Run({tool, "archive", kPrefix, kLive, kArchive, "", "1", cutoff})};
  for (const OsProgramRun &s : steps)
    if (s.exitCode != 0) return Sum(r, "archive failed: " + s.out + s.err, false);
  auto count = [&](const char *cs, const char *table) {
    OsProgramRun c = Run({tool, "exec", cs, std::string("SELECT COUNT(*) FROM ") + table});
    std::smatch m;
    return std::regex_search(c.out, m, std::regex("\n([0-9]+)\n")) ? atoi(m[1].str().c_str()) : -1;
  };
  const int moved = count(kArchive, "Loggers_Arc"), rows = count(kArchive, "RUNDATA_Arc");
  const int live = count(kLive, "Loggers"), liveRows = count(kLive, "RUNDATA");
  size_t older = 0, olderRows = 0;
  for (const RunFigures &f : runs)
    if (f.start < cutoff) ++older, olderRows += f.records.size();
  const bool ok = moved == static_cast<int>(older) && rows == static_cast<int>(olderRows) &&
                  live == static_cast<int>(runs.size() - older);
  Sum(r, "archive: " + std::to_string(moved) + " runs (" + std::to_string(rows) + " records) begun before " + cutoff +
             " moved to C:\\demo\\archive.mdb; " + std::to_string(live) + " run (" + std::to_string(liveRows) +
             " records) stays in C:\\demo\\live.mdb",
      ok);
}

void ReadBack(WholeRoad *r) {
  const std::string tag = r->aiCode + "3";
  OsProgramRun list = Run({sim_ProgramPath("logtool"), "runs", r->root + "/drives/c/demo/runs", "--prefix", kPrefix});
  std::vector<RunFigures> runs;
  std::istringstream in(list.out);
  for (std::string l; std::getline(in, l);) {
    std::istringstream fields(l);
    RunFigures f;
    std::string start, end;
    if (!(fields >> f.name >> start >> end)) continue;
    f.start = Iso(start);
    f.open = end == "-";
    if (!DumpRun(r->root + "/drives/c/demo/runs/" + f.name, tag, &f)) return Sum(r, "logger: cannot dump " + f.name, false);
    runs.push_back(f);
  }
  std::sort(runs.begin(), runs.end(), [](const RunFigures &a, const RunFigures &b) { return a.start < b.start; });
  size_t records = 0;
  double peak = -1;
  for (const RunFigures &f : runs) records += f.records.size(), peak = std::max(peak, f.peak);
  const int posted = r->posted;
  Sum(r, "folder logger: " + std::to_string(runs.size()) + " runs in " + kRunsFolder + ", " + std::to_string(records) +
             " records of " + std::to_string(posted) + " asked, P1.OP.PRESS peak " + Fixed(peak),
      !runs.empty() && records == static_cast<size_t>(posted) && peak > kSurgeAbove);
  RunFigures db;
  if (!DumpRun(DbServer(), tag, &db)) return Sum(r, "SQLite logger: cannot dump " + DbServer(), false);
  Sum(r, "SQLite logger: " + std::to_string(db.records.size()) + " records in " + kLogger + "_DATA of catalog " +
             kCatalog + ", P1.OP.PRESS peak " + Fixed(db.peak),
      db.records.size() == static_cast<size_t>(posted) && db.peak > kSurgeAbove);
  Archive(r, runs);
}

}  // namespace

WholeRoad *whole_Start(const SimWorldSpec &spec, const std::string &outDir, uint32_t lineStart) {
  if (spec.devices.empty() || spec.devices[0].codes[IO_AI].empty()) return nullptr;
  WholeRoad *r = new WholeRoad;
  r->spec = spec;
  r->out = outDir;
  r->root = os_Root();
  r->aiCode = spec.devices[0].codes[IO_AI];
  r->lineStart = lineStart;
  r->worker = std::thread(Road, r);
  r->poster = std::thread(Post, r);
  return r;
}

void whole_Tick(WholeRoad *r, const std::vector<SimChannel> &ai) {
  std::lock_guard<std::mutex> g(r->lock);
  r->ai = ai;
}

std::vector<std::string> whole_TakeLines(WholeRoad *r) {
  std::lock_guard<std::mutex> g(r->lock);
  std::vector<std::string> out;
  out.swap(r->lines);
  return out;
}

bool whole_TakeReconfigure(WholeRoad *r) {
  std::lock_guard<std::mutex> g(r->lock);
  return std::exchange(r->reconfigure, false);
}

std::vector<std::string> whole_Finish(WholeRoad *r, bool *ok) {
  r->stop = true;
  r->worker.join();
  r->poster.join();
  const bool logged = r->loggersUp;
  StopLoggers(r);
  if (r->tls) sim_StopTlsServer(r->tls);
  if (r->prov) prov_Destroy(r->prov);
  if (logged) ReadBack(r);
  std::vector<std::string> out = r->closing;
  *ok = !r->failed && logged;
  delete r;
  return out;
}
