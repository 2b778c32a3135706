// logtool: shows a logger run.
//   logtool dump RUN              header, channel blocks, channels, records
//                                 with their status flags, text sections
//   logtool follow RUN [--seconds N] [--raw]
//                                 the records as they arrive (N: stop after N
//                                 seconds; --raw: each record's bytes in hex)
// RUN is the run's data file (".odl"), a Windows or Linux path, or a database
// connection string ("PROVIDER=...;LoggerName=NAME", the newest run, or with
// ";LoggerSeq=N" for run N).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_text.h"

namespace {

int Usage() {
  fprintf(stderr, "usage: logtool dump RUN | logtool follow RUN [--seconds N] [--raw]\n");
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

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  if (strcmp(argv[1], "dump") == 0 && argc == 3) return Dump(argv[2]);
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
  return Usage();
}
