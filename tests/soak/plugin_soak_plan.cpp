#include "tests/soak/plugin_soak_plan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_store.h"

namespace psoak {

const char *TransportName(int t) {
  static const char *const names[] = {"pipe", "tls", "soap", "provider"};
  return t >= 0 && t < kTransports ? names[t] : "?";
}
const char *FaultName(int f) {
  static const char *const names[] = {"clean", "refuse", "reset", "stall", "garbage"};
  return f >= 0 && f < kFaults ? names[f] : "?";
}
const char *LoggerName(int l) {
  static const char *const names[] = {"folder", "sqlite", "mysql"};
  return l >= 0 && l < kLoggers ? names[l] : "?";
}
const char *VerdictName(int v) {
  static const char *const names[] = {"own", "failed", "foreign", "garbled"};
  return v >= 0 && v < kVerdicts ? names[v] : "?";
}

namespace {

uint64_t Between(std::mt19937 &random, uint64_t from, uint64_t to) {
  return to <= from ? from : from + random() % (to - from);
}

void Sort(std::vector<Timed> *v) {
  std::sort(v->begin(), v->end(), [](const Timed &a, const Timed &b) { return a.atMs < b.atMs; });
}

}  // namespace

RoundPlan PlanRound(std::mt19937 &random, uint64_t lengthMs, int analogue, int digital) {
  RoundPlan p;
  p.lengthMs = lengthMs;
  const uint64_t faulty = lengthMs * 3 / 4;
  for (auto &kills : p.kills) {
    int n = static_cast<int>(random() % 3);
    for (int i = 0; i < n; ++i) kills.push_back({Between(random, 500, faulty), static_cast<int>(random() % 1500)});
    Sort(&kills);
  }
  if (random() % 2) p.mysqlKills.push_back({Between(random, 500, faulty / 2), static_cast<int>(random() % 2000)});
  for (int t = 0; t < kTransports; ++t) {
    for (uint64_t at = Between(random, 0, 1500); at < faulty; at += Between(random, 800, 3500)) {
      int f = static_cast<int>(random() % kFaults);
      // The in-process provider has no peer: only a store that is not there.
      if (t == kProvider && f != kClean) f = kRefuse;
      p.faults[t].push_back({at, f});
    }
    p.faults[t].push_back({faulty, kClean});
  }
  for (int i = 0, n = 1 + static_cast<int>(random() % 2); i < n; ++i)
    p.dialogWrites.push_back({Between(random, 0, faulty), static_cast<int>(random() % static_cast<uint32_t>(analogue))});
  for (int i = 0, n = 1 + static_cast<int>(random() % 3); i < n; ++i)
    p.remoteWrites.push_back({Between(random, 0, faulty), static_cast<int>(random() % static_cast<uint32_t>(digital))});
  for (int i = 0, n = static_cast<int>(random() % 4); i < n; ++i) p.reconfigures.push_back({Between(random, 0, faulty), 0});
  Sort(&p.dialogWrites);
  Sort(&p.remoteWrites);
  Sort(&p.reconfigures);
  return p;
}

std::string EchoRequest(int thread, uint64_t n) {
  std::string pad(static_cast<size_t>((n * 37 + static_cast<uint64_t>(thread) * 11) % 700), 'a');
  for (size_t i = 0; i < pad.size(); ++i) pad[i] = static_cast<char>('a' + (n + i + static_cast<uint64_t>(thread)) % 26);
  return "ZE," + std::to_string(thread) + "," + std::to_string(n) + "," + pad;
}

std::string EchoReply(const std::string &request) {
  std::string r = request;
  while (!r.empty() && (r.back() == '\0' || r.back() == '\r' || r.back() == '\n')) r.pop_back();
  if (r.compare(0, 3, "ZE,") != 0) return std::string("-1,87", 6);
  return "0," + r.substr(3) + std::string(1, '\0');
}

std::string Garbage(std::mt19937 &random) {
  std::string g(1 + random() % 300, 'x');
  for (char &c : g) {
    c = static_cast<char>(1 + random() % 255);
    if (c == ',') c = ';';
  }
  return g;
}

Verdict JudgeEcho(const std::string &request, int rc, const std::string &reply) {
  if (rc < 0) return kFailed;
  std::string want = EchoReply(request);
  want.pop_back();
  if (reply == want) return kOwn;
  // Another request's fields, or anything that is no echo at all.
  return reply.compare(0, 2, "0,") == 0 && reply.find(',', 2) != std::string::npos ? kForeign : kGarbled;
}

std::string ProviderRequest(const std::string &area, int channel) { return "CV," + area + "," + std::to_string(channel); }

Verdict JudgeProvider(int channel, int rc, const std::string &reply) {
  if (rc < 0) return kFailed;
  // "1," a start (4 bytes) and its ms (2), then the channel record.
  if (reply.size() < 8 + sizeof(ChannelRecord) || reply.compare(0, 2, "1,") != 0) return kGarbled;
  ChannelRecord c;
  memcpy(&c, reply.data() + 8, sizeof c);
  char want[16];
  snprintf(want, sizeof want, "AI%03d", channel);
  return strcmp(chan_GetTag(&c), want) == 0 ? kOwn : kForeign;
}

StoreRead ReadStore(const std::string &where, const std::string &logger) {
  StoreRead out;
  const bool folder = where.compare(0, 9, "PROVIDER=") != 0 && where.compare(0, 9, "Provider=") != 0;
  std::unique_ptr<CLogCollection> c(folder ? new CLogFileCollection : log_CreateCollection(where.c_str()));
  if (!c) return out.why = "no collection for " + where, out;
  int rc = folder ? c->Open("", where.c_str(), "", "LOG", OS_GENERIC_READ)
                  : c->Open(where.c_str(), "", logger.c_str(), "", OS_GENERIC_READ);
  if (rc != 0) return out.why = std::string("cannot open: ") + c->GetErrorSummary() + " " + c->GetErrorText(), out;
  std::vector<std::vector<uint32_t>> runs;
  if (c->FirstRun(nullptr) == 1) {
    char name[1024];
    LogRunTime start, end;
    while (c->NextRun(name, &start, &end) == 1) {
      std::unique_ptr<CLogStore> s(c->OpenStore(name, OS_GENERIC_READ));
      LogFileHeader h;
      if (!s || s->ReadHeader(&h) != 0 || h.blockCount < 1 || h.recordSize == 0)
        return out.why = std::string("run ") + name + " unreadable: " + (s ? s->GetErrorSummary() : c->GetErrorText()),
               out;
      const int64_t count = s->GetNoLogs(&h);
      if (count < 0) return out.why = std::string("run ") + name + ": no record count: " + s->GetErrorSummary(), out;
      const LogChannelBlock &b = h.blocks[0];
      const uint32_t channels = static_cast<uint32_t>(b.last - b.first + 1), at = b.statusOffset + 4u * channels;
      std::vector<uint8_t> buf(size_t{h.recordSize} * 500);
      std::vector<uint32_t> seqs;
      for (int64_t i = 0; i < count;) {
        int32_t got = s->ReadLogs(i, &h, buf.data(), 500, nullptr, nullptr, nullptr);
        if (got <= 0)
          return out.why = std::string("run ") + name + ": record " + std::to_string(i) + " of " +
                           std::to_string(count) + " unreadable: " + s->GetErrorSummary(),
                 out;
        for (int32_t k = 0; k < got; ++k) {
          float v;
          memcpy(&v, &buf[size_t(k) * h.recordSize + at], 4);
          seqs.push_back(static_cast<uint32_t>(v));
        }
        i += got;
      }
      if (!seqs.empty()) runs.push_back(std::move(seqs));
    }
  }
  std::sort(runs.begin(), runs.end(), [](const auto &a, const auto &b) { return a[0] < b[0]; });
  out.runs = static_cast<int>(runs.size());
  for (const auto &r : runs) out.seqs.insert(out.seqs.end(), r.begin(), r.end());
  return out;
}

namespace {
// The numbers held around record i.
std::string Around(const std::vector<uint32_t> &held, size_t i) {
  std::string s = " (records " + std::to_string(i < 3 ? 0 : i - 3) + " on:";
  for (size_t k = i < 3 ? 0 : i - 3; k < held.size() && k < i + 4; ++k) s += " " + std::to_string(held[k]);
  return s + "; " + std::to_string(held.size()) + " held)";
}
}  // namespace

std::string CheckStore(const std::vector<uint32_t> &reported, const std::vector<uint32_t> &held, uint32_t lastPosted) {
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i] == 0 || held[i] > lastPosted)
      return "record " + std::to_string(i) + " holds " + std::to_string(held[i]) + ", never posted" + Around(held, i);
    if (i > 0 && held[i] <= held[i - 1])
      return "record " + std::to_string(i) + " holds " + std::to_string(held[i]) + " after " +
             std::to_string(held[i - 1]) + Around(held, i);
  }
  size_t at = 0;
  for (uint32_t r : reported) {
    while (at < held.size() && held[at] < r) ++at;
    if (at == held.size() || held[at] != r)
      return "record " + std::to_string(r) + " was reported written but is not held (" +
             std::to_string(held.size()) + " held)";
  }
  return "";
}

std::string SanitizerReport(const std::string &output) {
  for (const char *s : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "Segmentation fault"}) {
    size_t at = output.find(s);
    if (at != std::string::npos) return output.substr(at, 300);
  }
  return "";
}

}  // namespace psoak
