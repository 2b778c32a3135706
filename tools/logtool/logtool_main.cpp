// logtool: shows a logger run.
//   logtool dump RUN              header, channel blocks, channels, records
//                                 with their status flags, text sections
//   logtool follow RUN [--seconds N] [--raw]
//                                 the records as they arrive (N: stop after N
//                                 seconds; --raw: each record's bytes in hex)
//   logtool runs FOLDER [--prefix P]
//                                 the runs in FOLDER (of prefix P only):
//                                 name, start, end, records
//   logtool purge FOLDER --prefix P --before TIME
//                                 deletes P's closed runs that ended before
//                                 TIME ("YYMMDD_hhmmss", seconds, or "now")
//   logtool asset PATH            the asset code of PATH (below the asset
//                                 root), "LEVEL=value" per level, position
//   logtool logger-config read|write FOLDER TYPE N
//                                 a logger configuration as field=value
//                                 lines (write: the lines on standard input)
//   logtool request SERVER LINE
//                                 one request line through the connection
//                                 table; the reply printed, binary replies
//                                 ("TS", "CV", "RV", "TC") field by field
//   logtool loggers SERVER [SELECTOR]
//                                 the configured loggers of SERVER ("." this
//                                 computer) as "type,number,description";
//                                 SELECTOR "*,n", a number or a type name
//                                 (default: all of them)
// RUN is the run's data file (".odl"), a Windows or Linux path, or a database
// connection string ("PROVIDER=...;LoggerName=NAME", the newest run, or with
// ";LoggerSeq=N" for run N). FOLDER is a folder, a Windows or Linux path.
#include <cctype>
#include <chrono>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/server/srv_requests.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/dbstores/asset_folders.h"
#include "plugin/dbstores/asset_settings.h"
#include "framework/server/srv_client.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/lcfg_list.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "plugin/loggers/log_text.h"
#include "tools/logtool/logtool_config.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: logtool dump RUN | logtool follow RUN [--seconds N] [--raw] | logtool runs FOLDER [--prefix P]"
          " | logtool purge FOLDER --prefix P --before TIME | logtool asset PATH\n"
          "       | logtool logger-config read|write FOLDER TYPE N\n"
          "       | logtool request SERVER LINE\n"
          "       | logtool loggers SERVER [SELECTOR]\n");
  return 2;
}

std::string Stamp(const uint8_t *record) {
  TimeStamp t;
  memcpy(&t, record + LOG_RECORD_TIME, sizeof t);
  std::string s = txt_FormatStamp(t, false);
  s.pop_back();
  return s;
}

// A status word's flags: P present, B bad.
std::string Flags(uint32_t status) {
  std::string f;
  if (status & LOG_STATUS_PRESENT) f += 'P';
  if (status & LOG_STATUS_BAD) f += 'B';
  return f.empty() ? "-" : f;
}

void PrintRecord(const LogFileHeader &h, int64_t index, const uint8_t *rec, bool raw) {
  if (raw) {
    printf("%lld", static_cast<long long>(index));
    for (uint32_t i = 0; i < h.recordSize; ++i) printf(i ? "%02x" : " %02x", rec[i]);
    printf("\n");
    return;
  }
  uint16_t mark, word;
  memcpy(&mark, rec, 2);
  memcpy(&word, rec + 2, 2);
  printf("record %lld %s word=%u%s", static_cast<long long>(index), Stamp(rec).c_str(), word,
         mark == LOG_RECORD_MARK ? "" : " (no record marker)");
  for (uint32_t b = 0; b < h.blockCount; ++b) {
    const LogChannelBlock &blk = h.blocks[b];
    uint32_t n = uint32_t{blk.last} - blk.first + 1;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t status;
      float value;
      memcpy(&status, rec + blk.statusOffset + 4 * k, 4);
      memcpy(&value, rec + blk.statusOffset + 4 * n + 4 * k, 4);
      printf(" %.2s%u=%g[%s]", blk.prefix, blk.first + k, static_cast<double>(value), Flags(status).c_str());
    }
  }
  printf("\n");
}

bool IsDatabase(const char *run) { return log_ProviderKind(run) >= 0; }

// The store of a run: a file, or a database run (the newest when none is named).
CLogStore *Open(const char *run, LogFileHeader *h) {
  std::string path = run;
  if (IsDatabase(run)) {
    const char *resolved = log_ResolveRun(run);
    if (!resolved || !*resolved) {
      fprintf(stderr, "logtool: no run found for %s\n", run);
      return nullptr;
    }
    path = resolved;
  }
  CLogStore *store = log_CreateStore(path.c_str());
  if (!store || store->Open(nullptr, path.c_str(), OS_GENERIC_READ) != 0 || store->ReadHeader(h) != 0) {
    fprintf(stderr, "logtool: cannot read run %s (error %u%s%s)\n", run, os_GetLastError(), store ? " " : "",
            store ? store->GetErrorSummary() : "");
    delete store;
    return nullptr;
  }
  return store;
}

int Dump(const char *run) {
  LogFileHeader h;
  CLogStore *opened = Open(run, &h);
  if (!opened) return 1;
  std::unique_ptr<CLogStore> owner(opened);
  CLogStore &store = *opened;
  printf("run %s\n", run);
  printf("header type=0x%04x blocks=%u records=%u record_size=%u first_record=%u end_offset=%u\n", h.type,
         h.blockCount, h.recordCount, h.recordSize, h.firstRecord, h.endOffset);
  printf("start %s.%03d stop %d sig_change=%u trigger=%.2s%u lag=%.2s%u extension=%u@%u\n",
         txt_FormatStamp(h.start, false).c_str(), h.start.ms, h.stop.seconds, h.sigChange, h.trigPrefix, h.trigNumber,
         h.lagPrefix, h.lagNumber, h.extLength, h.extOffset);
  for (uint32_t b = 0; b < h.blockCount; ++b) {
    const LogChannelBlock &blk = h.blocks[b];
    printf("block %u %.2s %u-%u kind=%u status_offset=%u source=%.24s lag=%u\n", b, blk.prefix, blk.first, blk.last,
           blk.kind, blk.statusOffset, blk.source, blk.lag);
    int n = int(blk.last) - int(blk.first) + 1;
    std::vector<ChannelRecord> ch(static_cast<size_t>(n));
    if (store.ReadChannels(&h, ch.data(), int(b), 0, n) != 0) {
      printf("  channels unreadable\n");
      continue;
    }
    for (int k = 0; k < n; ++k)
      printf("  channel %.2s%d tag=%s units=%s\n", blk.prefix, blk.first + k, chan_GetTag(&ch[size_t(k)]),
             chan_GetUnits(&ch[size_t(k)]));
  }
  std::vector<uint8_t> buf(size_t{h.recordSize} * 1000);
  for (int64_t i = 0; i < int64_t{h.recordCount};) {
    int32_t got = store.ReadLogs(i, &h, buf.data(), 1000, nullptr, nullptr, nullptr);
    if (got <= 0) break;
    for (int32_t k = 0; k < got; ++k) PrintRecord(h, i + k, &buf[size_t(k) * h.recordSize], false);
    i += got;
  }
  if (IsDatabase(run)) {
    for (const char *n : {"HEADER", "PREDEFINED", "TEXT"}) {
      uint32_t cap = 0;
      if (store.ReadSection(n, nullptr, &cap, nullptr, nullptr) < 0) continue;
      std::vector<char> out(cap + 1);
      int lines = store.ReadSection(n, out.data(), &cap, nullptr, nullptr);
      printf("section [%s] lines=%d\n%s\n", n, lines, lines < 0 ? "" : out.data());
    }
    return 0;
  }
  // Sections: every "[NAME]" line of the text file, each read as it is kept.
  char path[300];
  uint32_t size = 0;
  store.GetName(path, &size);
  std::string text = path;
  size_t dot = text.rfind('.');
  if (dot != std::string::npos) text.replace(dot, std::string::npos, ".txt");
  std::vector<std::string> names = {"[TEXT]"};
  if (FILE *f = os_FOpen(text.c_str(), "rb")) {
    char line[1024];
    while (fgets(line, sizeof line, f))
      if (line[0] == '[') {
        std::string n = line;
        n = n.substr(0, n.find(']') == std::string::npos ? n.size() : n.find(']') + 1);
        bool seen = false;
        for (const std::string &s : names) seen = seen || s == n;
        if (!seen) names.push_back(n);
      }
    fclose(f);
  }
  for (const std::string &n : names) {
    uint32_t cap = 0;
    if (txt_ReadSection(text.c_str(), n.c_str(), nullptr, &cap) < 0) continue;
    std::vector<char> out(cap + 1);
    int lines = txt_ReadSection(text.c_str(), n.c_str(), out.data(), &cap);
    printf("section %s lines=%d\n%s", n.c_str(), lines, out.data());
  }
  return 0;
}

int Follow(const char *run, double seconds, bool raw) {
  LogFileHeader h;
  CLogStore *opened = Open(run, &h);
  if (!opened) return 1;
  std::unique_ptr<CLogStore> owner(opened);
  CLogStore &store = *opened;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int64_t next = 0;
  std::vector<uint8_t> buf(size_t{h.recordSize} * 1000);
  for (;;) {
    int32_t got = store.ReadLogs(next, &h, buf.data(), 1000, nullptr, nullptr, nullptr);
    for (int32_t k = 0; k < got; ++k) PrintRecord(h, next + k, &buf[size_t(k) * h.recordSize], raw);
    next += got;
    fflush(stdout);
    if (seconds > 0 && std::chrono::steady_clock::now() >= until) return 0;
    if (got < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string StampText(int32_t seconds) {
  if (seconds == 0) return "-";
  char stamp[14];
  log_FormatStamp(seconds, stamp);
  return std::string(stamp, 13);
}

int Runs(const char *folder, const char *prefix) {
  CLogFileCollection c;
  if (c.Open("", folder, "", prefix ? prefix : "", OS_GENERIC_READ) != 0) {
    fprintf(stderr, "logtool: cannot open folder %s (error %u)\n", folder, os_GetLastError());
    return 1;
  }
  if (!c.FirstRun(nullptr)) return 0;
  char name[256];
  LogRunTime start, end;
  std::vector<std::string> lines;
  while (c.NextRun(name, &start, &end)) {
    LogRunName run;
    if (prefix && (!log_ParseRunName(name, ".odl", &run) || !log_RunOfPrefix(name, run, prefix))) continue;
    long long records = -1;
    if (CLogStore *s = c.OpenStore(name, OS_GENERIC_READ)) {
      LogFileHeader h;
      if (s->ReadHeader(&h) == 0) records = s->GetNoLogs(&h);
      delete s;
    }
    char line[400];
    snprintf(line, sizeof line, "%s %s %s %lld\n", name, StampText(start.seconds).c_str(), StampText(end.seconds).c_str(),
             records);
    lines.push_back(line);
  }
  for (const std::string &l : lines) fputs(l.c_str(), stdout);
  return 0;
}

// "now", a run stamp or seconds since 1970; -1 when none of these.
int64_t ParseTime(const char *text) {
  if (strcmp(text, "now") == 0) return static_cast<int64_t>(time(nullptr));
  if (strlen(text) == 13) return log_ParseStamp(text);
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  return *text && *end == 0 && v >= 0 && v <= INT32_MAX ? v : -1;
}

int PurgeRuns(const char *folder, const char *prefix, const char *before) {
  int64_t cut = ParseTime(before);
  if (cut < 0 || cut > INT32_MAX) return fprintf(stderr, "logtool: bad time %s\n", before), 2;
  CLogFileCollection c;
  // Read access: a mistyped folder is reported, not made.
  if (c.Open("", folder, "", prefix, OS_GENERIC_READ) != 0) {
    fprintf(stderr, "logtool: cannot open folder %s (error %u)\n", folder, os_GetLastError());
    return 1;
  }
  int32_t cutOff = static_cast<int32_t>(cut);
  c.Purge(&cutOff);
  return 0;
}

// The code, each level the code reaches ("-" for a region or country with
// no name) and the position ("-" when the path has none).
int Asset(const char *path) {
  const char *found = asset_Code(".", path, 1);
  if (!found || !*found) {
    fprintf(stderr, "logtool: %s is not below the asset root %s\n", path, asset_Root(".") ? asset_Root(".") : "-");
    return 1;
  }
  std::string code = found;
  printf("code %s\n", code.c_str());
  int parts = 1;
  for (char ch : code) parts += ch == '_';
  for (int level = 1; level <= asset_LevelCount() && level <= parts; ++level) {
    char name[64], value[ASSET_PATH_MAX + 1];
    if (asset_LevelValue(".", level, code.c_str(), name, sizeof name, value, sizeof value))
      printf("%s=%s\n", name, value);
    else
      printf("%s=-\n", asset_LevelName(level));
  }
  double latitude = 0, longitude = 0;
  if (asset_GetPosition(".", path, &latitude, &longitude)) printf("position %f %f\n", latitude, longitude);
  else printf("position -\n");
  return 0;
}

// Reads what a reply holds at `at`, or says it ended early.
struct ReplyReader {
  const std::vector<char> &r;
  size_t n, at;
  template <class T>
  bool Get(T *v) {
    if (n - at < sizeof(T)) return printf("  (reply ends at byte %zu)\n", at), false;
    memcpy(v, r.data() + at, sizeof(T));
    at += sizeof(T);
    return true;
  }
};

// The groups of a "CV" or "RV" line: a tag, then plain numbers.
std::vector<std::pair<std::string, std::vector<int>>> LineGroups(const std::string &args) {
  std::vector<std::pair<std::string, std::vector<int>>> out;
  size_t at = 0;
  while (at <= args.size()) {
    size_t c = args.find(',', at);
    std::string t = args.substr(at, c == std::string::npos ? std::string::npos : c - at);
    at = c == std::string::npos ? args.size() + 1 : c + 1;
    if (t.empty()) continue;
    if (isdigit(static_cast<unsigned char>(t[0]))) {
      if (!out.empty()) out.back().second.push_back(atoi(t.c_str()));
      continue;
    }
    size_t d = 0;
    while (d < t.size() && isalpha(static_cast<unsigned char>(t[d]))) ++d;
    out.push_back({t.substr(0, d), {atoi(t.c_str() + d)}});
  }
  return out;
}

std::string Utf16(const uint16_t *w, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && w[i]; ++i) s.push_back(w[i] < 128 ? static_cast<char>(w[i]) : '?');
  return s;
}

int Request(const char *server, const char *line) {
  con_InstallTransports();
  std::vector<char> reply(65512);
  int n = static_cast<int>(reply.size());
  int rc = con_Transact(server, line, static_cast<int>(strlen(line) + 1), reply.data(), &n);
  printf("result %d, %d bytes", rc, n);
  if (rc < 0) printf(", error %u", os_GetLastError());
  printf("\n");
  if (n <= 0) return rc < 0 ? 1 : 0;
  std::string cmd(line, strnlen(line, 2));
  for (char &c : cmd) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string args = strlen(line) > 3 ? line + 3 : "";
  size_t text = strnlen(reply.data(), static_cast<size_t>(n));
  bool binary = rc == 1 && text >= 2 && reply[0] == '1' && reply[1] == ',' && (cmd == "CV" || cmd == "RV" || cmd == "TC");
  if (cmd == "TS" && rc >= 0 && text < static_cast<size_t>(n)) {
    printf("time %s\n", reply.data());
    TIME_ZONE_INFORMATION tz;
    if (static_cast<size_t>(n) - text - 1 < sizeof tz) return printf("  (time zone cut short)\n"), 0;
    memcpy(&tz, reply.data() + text + 1, sizeof tz);
    printf("bias %d\nstandard %s, bias %d\ndaylight %s, bias %d\n", tz.Bias, Utf16(tz.StandardName, 32).c_str(),
           tz.StandardBias, Utf16(tz.DaylightName, 32).c_str(), tz.DaylightBias);
    return 0;
  }
  if (!binary) {
    printf("%.*s\n", static_cast<int>(text), reply.data());
    return rc < 0 ? 1 : 0;
  }
  ReplyReader rd{reply, static_cast<size_t>(n), 2};
  if (cmd == "TC") {
    size_t at = 0;
    while (at <= args.size()) {
      size_t c = args.find(',', at);
      std::string tag = args.substr(at, c == std::string::npos ? std::string::npos : c - at);
      at = c == std::string::npos ? args.size() + 1 : c + 1;
      char prefix[3] = {};
      uint16_t number = 0;
      if (!rd.Get(&prefix[0]) || !rd.Get(&prefix[1]) || !rd.Get(&number)) return 1;
      if (prefix[0]) printf("%s = %s%u\n", tag.c_str(), prefix, number);
      else printf("%s = none\n", tag.c_str());
    }
    return 0;
  }
  for (const auto &[prefix, numbers] : LineGroups(args)) {
    uint32_t seconds = 0;
    uint16_t ms = 0;
    if (!rd.Get(&seconds) || !rd.Get(&ms)) return 1;
    printf("group %s: run start %u.%03u\n", prefix.c_str(), seconds, ms);
    for (int number : numbers) {
      if (cmd == "CV") {
        ChannelRecord c;
        if (!rd.Get(&c)) return 1;
        printf("  %s%d tag \"%s\" description \"%s\" type %u %s\n", prefix.c_str(), number, chan_GetTag(&c),
               chan_GetDescription(&c), chan_TypeByte(&c), chan_IsDigital(&c) ? "digital" : "analogue");
        continue;
      }
      uint32_t status = 0;
      if (!rd.Get(&status)) return 1;
      printf("  %s%d status 0x%02X %s", prefix.c_str(), number, status, Flags(status).c_str());
      if ((status & LOG_STATUS_PRESENT) && !(status & LOG_STATUS_BAD)) {
        float v = 0;
        if (!rd.Get(&v)) return 1;
        printf(" value %g", static_cast<double>(v));
      } else {
        printf(" state %u", status & 1);
      }
      printf("\n");
    }
  }
  if (rd.at != rd.n) printf("  (%zu bytes more)\n", rd.n - rd.at);
  return 0;
}

int Loggers(const char *server, const char *selector) {
  std::string all;
  if (!selector) {
    int count = srv_CountLoggers(server);
    all = "*," + std::to_string(count > 0 ? count : 0);
    selector = all.c_str();
  }
  // Room for what the selector can give, within reason.
  int64_t limit = lcfg_ListSelectorLimit(selector);
  std::vector<LoggerListEntry> entries(static_cast<size_t>(limit < 1 ? 1 : limit > 65535 ? 65535 : limit));
  int n = lcfg_ListLoggers(server, selector, entries.data(), static_cast<int>(entries.size()));
  if (n == -2) {
    fprintf(stderr, "logtool: a line of LOGCAP.TXT of %s fails its check\n", server);
    return 1;
  }
  if (n < 0) {
    fprintf(stderr, "logtool: the logger list of %s failed (error %u)\n", server, os_GetLastError());
    return 1;
  }
  for (int i = 0; i < n; ++i)
    printf("%s,%u,%s\n", entries[static_cast<size_t>(i)].TypeName, entries[static_cast<size_t>(i)].Number,
           entries[static_cast<size_t>(i)].Description);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  if (strcmp(argv[1], "asset") == 0 && argc == 3) return Asset(argv[2]);
  if (strcmp(argv[1], "request") == 0 && argc == 4) return Request(argv[2], argv[3]);
  if (strcmp(argv[1], "loggers") == 0 && argc <= 4) return Loggers(argv[2], argc == 4 ? argv[3] : nullptr);
  if (strcmp(argv[1], "dump") == 0 && argc == 3) return Dump(argv[2]);
  if (strcmp(argv[1], "logger-config") == 0 && argc == 6) return LoggerConfigCommand(argv[2], argv[3], argv[4], argv[5]);
  if (strcmp(argv[1], "follow") == 0) {
    double seconds = 0;
    bool raw = false;
    for (int i = 3; i < argc; ++i) {
      if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atof(argv[++i]);
      else if (strcmp(argv[i], "--raw") == 0) raw = true;
      else return Usage();
    }
    return Follow(argv[2], seconds, raw);
  }
  if (strcmp(argv[1], "runs") == 0) {
    const char *prefix = nullptr;
    for (int i = 3; i < argc; ++i) {
      if (strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) prefix = argv[++i];
      else return Usage();
    }
    return Runs(argv[2], prefix);
  }
  if (strcmp(argv[1], "purge") == 0) {
    const char *prefix = nullptr, *before = nullptr;
    for (int i = 3; i < argc; ++i) {
      if (strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) prefix = argv[++i];
      else if (strcmp(argv[i], "--before") == 0 && i + 1 < argc) before = argv[++i];
      else return Usage();
    }
    if (!prefix || !before) return Usage();
    return PurgeRuns(argv[2], prefix, before);
  }
  return Usage();
}
