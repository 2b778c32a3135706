#include "tools/scadasim/sim_logger.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_env.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_status.h"
#include "plugin/loggers/log_status_feed.h"
#include "plugin/loggers/log_store.h"
#include "tools/scadasim/sim_world.h"

namespace {

struct Area {
  std::string code;
  void *data = nullptr;
  uint16_t count = 0;
};

std::vector<Area> g_areas;
CLogFileCollection g_runs;
std::unique_ptr<CLogStore> g_store;
std::mutex g_storeLock;  // the code thread appends while the main thread cycles runs
int32_t g_runStart = 0;
LogFileHeader g_header;
uint32_t g_written = 0;
std::string g_headerText;
int g_copyConfig = 0;  // each run gets a ".tsq" copy of the configuration
std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

// Taken before the first line is printed: whoever reads "created" may stop
// the logger at once, and the program's own handlers would not stop it.
void CatchStop() {
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
}

int OnCode(int32_t code) {
  if (code == NTF_STOP) return g_stop = true, 0;
  uint32_t u = static_cast<uint32_t>(code);
  int32_t events = static_cast<int32_t>(u & 0x7FFFFFFFu) - 200000;
  if (events < -100000 || events > 100000) return 0;  // not a logger code
  std::vector<uint8_t> rec(g_header.recordSize, 0);
  uint16_t mark = LOG_RECORD_MARK, word = (u & 0x80000000u) ? 1 : 0;
  TimeStamp now;
  tm_Now(&now);
  memcpy(&rec[0], &mark, 2);
  memcpy(&rec[2], &word, 2);
  memcpy(&rec[LOG_RECORD_TIME], &now, sizeof now);
  for (size_t i = 0; i < g_areas.size(); ++i) {
    const LogChannelBlock &b = g_header.blocks[i];
    uint32_t n = g_areas[i].count;
    memcpy(&rec[b.statusOffset], shm_AreaStatusWords(g_areas[i].data), 4 * n);
    // Digital areas carry their states in the status words and no values.
    if (const float *values = shm_AreaValues(g_areas[i].data)) memcpy(&rec[b.statusOffset + 4 * n], values, 4 * n);
  }
  std::lock_guard<std::mutex> hold(g_storeLock);
  if (!g_store || g_store->WriteLogs(&g_header, rec.data(), 1) != 0) {
    fprintf(stderr, "scadasim logger: append failed (error %u %s)\n", os_GetLastError(),
            g_store ? g_store->GetErrorSummary() : "");
    return 0;
  }
  ++g_written;
  log_StatusFeedWrite(g_header.recordSize);
  log_StatusFeedLog(LOG_FEED_REAL_TIME, static_cast<int32_t>(g_written), now.seconds);
  printf("wrote %u\n", g_written);
  fflush(stdout);
  if (events > 0)
    g_store->WriteTextAt(now, ("events " + std::to_string(events)).c_str(), nullptr, nullptr);
  return 0;
}

const char *const kUsage =
    "usage: scadasim logger --runs FOLDER [--prefix P] [--cycle S] [--keep S] [--logger NAME] [--area CODE]...\n";

// A new run from now on, with its header text; the channel records are the
// areas' at the time.
bool NewRun(std::vector<std::vector<ChannelRecord>> &channels) {
  TimeStamp now;
  tm_Now(&now);
  g_header.start = now;
  g_header.recordCount = 0;
  g_runStart = now.seconds;
  std::vector<ChannelRecord *> blocks;
  for (auto &c : channels) blocks.push_back(c.data());
  g_store.reset(g_runs.CreateRun(&g_runStart, 0, nullptr, &g_header, g_headerText.c_str(), g_copyConfig, nullptr,
                                 nullptr, blocks.data()));
  if (!g_store) return fprintf(stderr, "scadasim logger: cannot create a run (error %u)\n", os_GetLastError()), false;
  char name[300];
  uint32_t size = sizeof name;
  g_store->GetName(name, &size);
  printf("created %s\n", name);
  fflush(stdout);
  return true;
}

// A logger process works in its configuration's "LOGGERS" folder, where the
// collection archives the configuration for each run. The configuration is
// the world's; without one on disk the runs go without a copy.
void EnterLoggersFolder() {
  char conf[CFG_FOLDER_MAX] = "";
  if (os_GetEnvironmentVariable("TSQ_CURRENT_CONFIG", conf, sizeof conf) == 0 || conf[0] == 0) {
    std::vector<std::string> note = sim_WorldNote("config-folder");
    if (!note.empty()) snprintf(conf, sizeof conf, "%s", note[0].c_str());
  }
  char local[4096];
  uint32_t a = conf[0] ? os_GetFileAttributes(conf) : OS_INVALID_FILE_ATTRIBUTES;
  if (a == OS_INVALID_FILE_ATTRIBUTES || !(a & OS_FILE_ATTRIBUTE_DIRECTORY) ||
      os_TranslatePath(conf, local, sizeof local) != 0) {
    fprintf(stderr, "scadasim logger: no configuration folder \"%s\": runs without a configuration copy\n", conf);
    return;
  }
  // The archive is staged in the saved-configuration folder and compressed
  // by the build's "compress", as an installation keeps it in its binaries.
  char bin[4096];
  if (os_GetEnvironmentVariable("TSQ_BIN", bin, sizeof bin) == 0 || bin[0] == 0)
    os_SetEnvironmentVariable("TSQ_BIN", std::filesystem::path(sim_ProgramPath("compress")).parent_path().c_str());
  char saved[4096];
  const char *savedFolder = cfg_GetFolder("TSQ_SAVED_CONFIG");
  std::string loggers = std::string(local) + "/LOGGERS";
  if (!savedFolder || os_TranslatePath(savedFolder, saved, sizeof saved) != 0 || os_MakeFolders(saved) != 0 ||
      os_MakeFolders(loggers.c_str()) != 0 || os_SetCurrentDirectory(loggers.c_str()) != 0) {
    fprintf(stderr, "scadasim logger: cannot prepare the configuration copy (error %u): runs without one\n",
            os_GetLastError());
    return;
  }
  g_copyConfig = 1;
}

// The run header and channel records of the areas' blocks.
int BuildHeader(const std::vector<std::string> &codes, std::vector<std::vector<ChannelRecord>> *channels) {
  memset(&g_header, 0, sizeof g_header);
  uint32_t offset = LOG_RECORD_TIME + sizeof(TimeStamp);
  for (const std::string &code : codes) {
    Area a;
    a.code = code;
    a.data = shm_OpenDataArea(code.c_str());
    void *conf = shm_OpenConfArea(code.c_str());
    if (!a.data || !conf) return fprintf(stderr, "scadasim logger: no area %s\n", code.c_str()), -1;
    a.count = shm_AreaHeader(a.data)->count;
    if (a.count == 0 || g_areas.size() >= LOG_MAX_BLOCKS) continue;
    LogChannelBlock &b = g_header.blocks[g_areas.size()];
    memcpy(b.prefix, code.c_str(), 2);
    b.first = 1;
    b.last = a.count;
    b.kind = code[0] == 'D' ? LOG_KIND_DIGITAL : 8;
    b.statusOffset = static_cast<uint16_t>(offset);
    snprintf(b.source, sizeof b.source, "scadasim");
    offset += 8u * a.count;
    channels->emplace_back(a.count);
    memcpy(channels->back().data(), shm_AreaRecords(conf), sizeof(ChannelRecord) * a.count);
    g_areas.push_back(a);
  }
  g_header.blockCount = static_cast<uint16_t>(g_areas.size());
  g_header.recordSize = offset;
  tm_Now(&g_header.start);
  return 0;
}

// Appends on each logger code until stopped; with a cycle the run is closed
// and a new one begun every `cycle` seconds, `keep` seconds of runs kept.
int RunLoop(std::vector<std::vector<ChannelRecord>> &channels, long cycle, long keep) {
  errno = 0;
  if (!ntf_Start(OnCode) && errno != 0) return fprintf(stderr, "scadasim logger: no mailslot (error %d)\n", errno), 1;
  log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
  while (!g_stop) {
    os_Sleep(20);
    TimeStamp now;
    tm_Now(&now);
    if (cycle <= 0 || now.seconds - g_runStart < cycle) continue;
    std::lock_guard<std::mutex> hold(g_storeLock);
    int32_t runEnd = now.seconds;
    g_runs.CloseRun(g_store.get(), &g_runStart, &runEnd, 0);
    g_store.reset();
    if (keep > 0) {
      int32_t cut = static_cast<int32_t>(now.seconds - keep);
      g_runs.Purge(&cut);
    }
    // A run that starts in the second the last one ended would take its name.
    while (tm_Now(&now), now.seconds == runEnd) os_Sleep(20);
    if (!NewRun(channels)) {
      log_StatusFeedActivity(LOG_ACTIVITY_FINISHED_IN_ERROR);
      break;
    }
  }
  ntf_Stop();
  std::lock_guard<std::mutex> hold(g_storeLock);
  if (g_store) g_store->Close();
  g_store.reset();
  if (g_stop) log_StatusFeedActivity(LOG_ACTIVITY_FINISHED);
  log_StatusFeedStop();
  return 0;
}

}  // namespace

bool sim_StartStatusFeed(const char *logger, bool quiet) {
  int32_t number = shm_AttachLoggers() == 0 ? shm_FindLoggerIndex(logger) : 0;
  if (number <= 0) {
    if (!quiet) fprintf(stderr, "scadasim logger: no logger %s in the loggers table: no status channels\n", logger);
    return false;
  }
  const LoggerRecord *r = reinterpret_cast<const LoggerRecord *>(shm_LoggerTable()->first) + (number - 1);
  char type[sizeof r->TypeName + 1] = {};
  memcpy(type, r->TypeName, sizeof r->TypeName);
  if (log_StatusFeedStart(number, type, logger) != 0) {
    if (!quiet)
      fprintf(stderr, "scadasim logger: no status channels for logger %d (%s) (error %u)\n", number, logger,
              os_GetLastError());
    return false;
  }
  log_StatusFeedActivity(LOG_ACTIVITY_PREPARING);
  return true;
}

int sim_LoggerRunsCommand(int argc, char **argv) {
  if (argc < 1) return fprintf(stderr, "%s", kUsage), 2;
  std::string folder = argv[0];
  std::vector<std::string> codes;
  const char *prefix = "LOG", *logger = nullptr;
  long cycle = 0, keep = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--area") == 0 && i + 1 < argc) codes.push_back(argv[++i]);
    else if (strcmp(argv[i], "--logger") == 0 && i + 1 < argc) logger = argv[++i];
    else if (strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) prefix = argv[++i];
    else if (strcmp(argv[i], "--cycle") == 0 && i + 1 < argc) cycle = strtol(argv[++i], nullptr, 10);
    else if (strcmp(argv[i], "--keep") == 0 && i + 1 < argc) keep = strtol(argv[++i], nullptr, 10);
    else return fprintf(stderr, "%s", kUsage), 2;
  }
  if (codes.empty()) codes = {"A1", "D1"};
  CatchStop();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  folder = std::filesystem::absolute(folder, ec).string();
  // Started first, so the feed hears of the collection that opens.
  if (logger) sim_StartStatusFeed(logger, false);
  if (g_runs.Open("", folder.c_str(), "", prefix, OS_GENERIC_READ | OS_GENERIC_WRITE) != 0)
    return fprintf(stderr, "scadasim logger: cannot open %s (error %u)\n", folder.c_str(), os_GetLastError()), 1;

  std::vector<std::vector<ChannelRecord>> channels;
  if (BuildHeader(codes, &channels) != 0) return 1;
  g_headerText = std::string("[HEADER]\r\nscadasim logger, prefix ") + prefix + ", areas";
  for (const std::string &code : codes) g_headerText += " " + code;
  g_headerText += "\r\n";
  EnterLoggersFolder();

  // The newest run of this prefix continues when it is still open.
  char name[256];
  uint32_t capacity = sizeof name;
  LogRunTime start{}, end{};
  if (g_runs.FindRun(name, &capacity, &start, &end, 0) == 1 && end.seconds == 0) {
    LogFileHeader read;
    g_store.reset(g_runs.OpenStore(name, OS_GENERIC_READ | OS_GENERIC_WRITE));
    // The run keeps its text and its configuration copy.
    if (!g_store || g_runs.UseRunForLogging(g_store.get(), LOG_END_UNKNOWN, prefix, 1, g_copyConfig) != 0 ||
        g_store->ReadHeader(&read) != 0 || read.recordSize != g_header.recordSize)
      return fprintf(stderr, "scadasim logger: cannot continue %s (error %u %s)\n", name, os_GetLastError(),
                     g_runs.GetErrorText()),
             1;
    g_header = read;
    g_written = read.recordCount;
    g_runStart = start.seconds;
    printf("continued %s/%s at %u\n", folder.c_str(), name, g_written);
    fflush(stdout);
  } else if (!NewRun(channels)) {
    return 1;
  }
  return RunLoop(channels, cycle, keep);
}

int sim_LoggerStoreCommand(int argc, char **argv) {
  const char *usage = "usage: scadasim logger --store PROVIDER=... [--logger NAME] [--area CODE]...\n";
  if (argc < 1) return fprintf(stderr, "%s", usage), 2;
  std::string cs = argv[0], logger = "LOG";
  std::vector<std::string> codes;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--area") == 0 && i + 1 < argc) codes.push_back(argv[++i]);
    else if (strcmp(argv[i], "--logger") == 0 && i + 1 < argc) logger = argv[++i];
    else return fprintf(stderr, "%s", usage), 2;
  }
  if (codes.empty()) codes = {"A1", "D1"};
  CatchStop();
  std::vector<std::vector<ChannelRecord>> channels;
  if (BuildHeader(codes, &channels) != 0) return 1;
  // NAME is first the database's logger: a world without it is no fault.
  sim_StartStatusFeed(logger.c_str(), true);
  std::unique_ptr<CLogCollection> c(log_CreateCollection(cs.c_str()));
  if (!c || c->Open(cs.c_str(), "", logger.c_str(), "", OS_GENERIC_READ | OS_GENERIC_WRITE) != 0)
    return fprintf(stderr, "scadasim logger: cannot open %s (%s %s)\n", cs.c_str(), c ? c->GetErrorSummary() : "",
                   c ? c->GetErrorText() : ""),
           1;
  std::vector<ChannelRecord *> blocks;
  for (auto &b : channels) blocks.push_back(b.data());
  std::unique_ptr<CLogStore> store(c->CreateRun(&g_header.start.seconds, 1, nullptr, &g_header, nullptr, 0, nullptr,
                                                nullptr, blocks.data()));
  if (!store)
    return fprintf(stderr, "scadasim logger: cannot create a run (%s %s)\n", c->GetErrorSummary(), c->GetErrorText()),
           1;
  char name[LOG_CONNSTR_MAX + 64];
  uint32_t size = sizeof name;
  store->GetName(name, &size);
  printf("created %s\n", name);
  fflush(stdout);
  g_store = std::move(store);
  return RunLoop(channels, 0, 0);
}
