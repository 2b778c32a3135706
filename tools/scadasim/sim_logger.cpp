#include "tools/scadasim/sim_logger.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_store.h"

namespace {

struct Area {
  std::string code;
  void *data = nullptr;
  uint16_t count = 0;
};

std::vector<Area> g_areas;
CLogFileStore g_store;
CLogStore *g_out = &g_store;
LogFileHeader g_header;
uint32_t g_written = 0;
std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

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
  if (g_out->WriteLogs(&g_header, rec.data(), 1) != 0) {
    fprintf(stderr, "scadasim logger: append failed (error %u %s)\n", os_GetLastError(), g_out->GetErrorSummary());
    return 0;
  }
  ++g_written;
  printf("wrote %u\n", g_written);
  fflush(stdout);
  if (events > 0)
    g_out->WriteTextAt(now, ("events " + std::to_string(events)).c_str(), nullptr, nullptr);
  return 0;
}

// The newest open run of the folder ("LOG" + start stamp + ".odl").
std::string NewestOpenRun(const std::string &folder) {
  std::string best;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(folder, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind("LOG", 0) == 0 && log_StampTail(name.c_str(), ".odl") == LOG_OPEN_STAMP_LEN && name > best)
      best = name;
  }
  return best.empty() ? best : folder + "/" + best;
}

int RunLoop() {
  fflush(stdout);
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  errno = 0;
  if (!ntf_Start(OnCode) && errno != 0) return fprintf(stderr, "scadasim logger: no mailslot (error %d)\n", errno), 1;
  while (!g_stop) os_Sleep(20);
  ntf_Stop();
  g_out->Close();
  return 0;
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

}  // namespace

int sim_LoggerRunsCommand(int argc, char **argv) {
  if (argc < 1) return fprintf(stderr, "usage: scadasim logger --runs FOLDER [--area CODE]...\n"), 2;
  std::string folder = argv[0];
  std::vector<std::string> codes;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--area") == 0 && i + 1 < argc) codes.push_back(argv[++i]);
    else return fprintf(stderr, "usage: scadasim logger --runs FOLDER [--area CODE]...\n"), 2;
  }
  if (codes.empty()) codes = {"A1", "D1"};
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);

  std::vector<std::vector<ChannelRecord>> channels;
  if (BuildHeader(codes, &channels) != 0) return 1;

  std::string run = NewestOpenRun(folder);
  if (!run.empty()) {
    uint32_t at = LOG_END_UNKNOWN;
    LogFileHeader read;
    if (g_store.Open(nullptr, run.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE) != 0 || g_store.UseforLogging(&at) != 0 ||
        g_store.ReadHeader(&read) != 0 || read.recordSize != g_header.recordSize)
      return fprintf(stderr, "scadasim logger: cannot continue %s (error %u)\n", run.c_str(), os_GetLastError()), 1;
    g_header = read;
    g_written = read.recordCount;
    printf("continued %s at %u\n", run.c_str(), g_written);
  } else {
    char stamp[14];
    log_FormatStamp(g_header.start.seconds, stamp);
    run = folder + "/LOG" + stamp + ".odl";
    std::vector<ChannelRecord *> blocks;
    for (auto &c : channels) blocks.push_back(c.data());
    if (g_store.Create(run.c_str(), &g_header, blocks.data()) != 0)
      return fprintf(stderr, "scadasim logger: cannot create %s (error %u)\n", run.c_str(), os_GetLastError()), 1;
    printf("created %s\n", run.c_str());
  }
  return RunLoop();
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
  std::vector<std::vector<ChannelRecord>> channels;
  if (BuildHeader(codes, &channels) != 0) return 1;
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
  g_out = store.get();
  int rc = RunLoop();
  g_out = &g_store;
  return rc;
}
