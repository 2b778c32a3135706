#include "plugin/loggers/asset_runs.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_format.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "plugin/dbstores/asset_folders.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_run_name.h"
#include "plugin/loggers/log_store.h"

namespace {

constexpr uint32_t kRead = OS_GENERIC_READ, kReadWrite = OS_GENERIC_READ | OS_GENERIC_WRITE;

bool HasConnection(const char *connection) { return connection && *connection; }

// The collection of an asset folder, opened; its logger is the asset code.
std::unique_ptr<CLogCollection> OpenCollection(const char *host, const char *path, const char *connection,
                                               const char *prefix, uint32_t access) {
  const char *code = asset_Code(host, path, 1);
  if (!code || !*code) return os_Fail(OS_ERROR_BAD_PATHNAME), nullptr;
  std::string logger = code;
  std::unique_ptr<CLogCollection> c(HasConnection(connection) ? log_CreateCollection(connection)
                                                              : new (std::nothrow) CLogFileCollection());
  if (!c) return nullptr;
  if (c->Open(HasConnection(connection) ? connection : nullptr, path, logger.c_str(), prefix ? prefix : "", access) !=
      0)
    return nullptr;
  return c;
}

struct Run {
  std::string name;
  int32_t start, end;
};

// The collection's runs of its prefix, oldest first.
std::vector<Run> Runs(CLogCollection *c) {
  std::vector<Run> runs;
  bool files = dynamic_cast<CLogFileCollection *>(c) != nullptr;
  if (!c->FirstRun(nullptr)) return runs;
  char name[LOG_CONNSTR_MAX + 1];
  LogRunTime s{}, e{};
  while (c->NextRun(name, &s, &e)) {
    LogRunName run;
    // A folder may hold other loggers' runs; a database collection is its logger's.
    if (files && (!log_ParseRunName(name, ".odl", &run) || !log_RunOfPrefix(name, run, c->Prefix()))) continue;
    runs.push_back({name, s.seconds, e.seconds});
  }
  std::stable_sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.start < b.start; });
  return runs;
}

// The records of a run, or -1 when it cannot be read.
int64_t Records(CLogCollection *c, const Run &run, LogFileHeader *h, CLogStore **keep = nullptr,
                uint32_t access = kRead) {
  CLogStore *s = c->OpenStore(run.name.c_str(), access);
  if (!s) return -1;
  int64_t n = s->ReadHeader(h) == 0 ? s->GetNoLogs(h) : -1;
  if (keep) {
    *keep = s;
  } else {
    s->Close();
    delete s;
  }
  return n;
}

}  // namespace

int asset_WriteHeaderRun(const char *host, const char *path, const char *connection, const char *prefix,
                         int32_t start) {
  AssetHeaderValue values[ASSET_VALUE_MAX];
  int n = asset_HeaderValues(host, path, values, ASSET_VALUE_MAX);
  if (n < 0) return 0;
  if (HasConnection(connection)) {
    // The database keeps the runs; the asset folder is still made.
    char local[4096];
    if (os_TranslatePath(path, local, sizeof local) != 0 || os_MakeFolders(local) != 0) return 0;
  }
  std::unique_ptr<CLogCollection> c = OpenCollection(host, path, connection, prefix, kReadWrite);
  if (!c) return 0;
  std::string text = "[HEADER]\r\n";
  for (int i = 0; i < n; ++i) {
    char number[64];
    const AssetHeaderValue &v = values[i];
    if (v.kind == ASSET_VALUE_INT) os_FormatC(number, sizeof number, "%lld", static_cast<long long>(v.number));
    else if (v.kind == ASSET_VALUE_FLOAT) os_FormatC(number, sizeof number, "%f", v.number);
    text += std::string(v.name) + ":" + (v.kind == ASSET_VALUE_TEXT ? v.text : number) + "\r\n";
  }
  // A run of no channels: its records hold only their mark and time.
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.recordSize = LOG_RECORD_TIME + 8;
  h.start = TimeStamp{start, 0, 0};
  int32_t at = start;
  CLogStore *store = c->CreateRun(&at, 1, nullptr, &h, text.c_str(), 0, nullptr, nullptr, nullptr);
  if (!store) return 0;
  store->Close();
  delete store;
  return 1;
}

int asset_RunInfo(const char *host, const char *path, const char *connection, const char *prefix, int32_t *start,
                  int *completed) {
  std::unique_ptr<CLogCollection> c = OpenCollection(host, path, connection, prefix, kRead);
  if (!c) return 0;
  std::vector<Run> runs = Runs(c.get());
  if (runs.empty()) return os_Fail(OS_ERROR_NOT_FOUND), 0;
  const Run *run = &runs.back();
  LogFileHeader h;
  if (runs.size() > 1 && Records(c.get(), *run, &h) == 0) run = &runs[runs.size() - 2];
  if (start) *start = run->start;
  if (completed) *completed = run->end != 0;
  return 1;
}

int asset_LastRunTime(const char *host, const char *path, const char *connection, const char *prefix,
                      int32_t *start) {
  return asset_RunInfo(host, path, connection, prefix, start, nullptr);
}

int asset_CloseLastRun(const char *host, const char *path, const char *connection, const char *prefix, int noStop) {
  std::unique_ptr<CLogCollection> c = OpenCollection(host, path, connection, prefix, kReadWrite);
  if (!c) return 0;
  std::vector<Run> runs = Runs(c.get());
  if (runs.empty()) return os_Fail(OS_ERROR_NOT_FOUND), 0;
  const Run &run = runs.back();
  LogFileHeader h;
  CLogStore *store = nullptr;
  int64_t count = Records(c.get(), run, &h, &store, kReadWrite);
  if (count < 0) {
    delete store;
    return 0;
  }
  int32_t end = 0;
  bool haveEnd = false;
  if (!noStop && count > 0) {
    std::vector<uint8_t> record(h.recordSize);
    if (store->ReadLogs(count - 1, &h, record.data(), 1, nullptr, nullptr, nullptr) == 1) {
      memcpy(&end, record.data() + LOG_RECORD_TIME, sizeof end);
      haveEnd = true;
    }
  }
  int32_t begin = run.start;
  int rc = c->CloseRun(store, &begin, haveEnd ? &end : nullptr, 0);
  delete store;
  return rc == 0 ? 1 : 0;
}
