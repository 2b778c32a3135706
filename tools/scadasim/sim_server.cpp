// The server's side of the scanner's notifications: the "xalarms" and
// "derived" mailslots, logger processes, event subscriptions and the reading
// of published channels.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "framework/alarms/alm_alarms.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"
#include "platform/os_path.h"
#include "tools/scadasim/sim_world.h"

namespace {

struct Logger {
  OsHandle process = nullptr;
  uint32_t pid = 0;
  std::string out;
};

struct Server {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<AlarmMessage> alarms;
  std::vector<std::string> derived;
  OsHandle alarmSlot = nullptr, derivedSlot = nullptr;
  std::thread drain;
  std::atomic<bool> stop{false};
  std::vector<Logger> loggers;
};

Server g_server;

// Reads both slots until told to stop; a read waits at most 50 ms.
void Drain() {
  while (!g_server.stop.load()) {
    bool any = false;
    for (OsHandle slot : {g_server.alarmSlot, g_server.derivedSlot}) {
      uint32_t next = 0, count = 0;
      if (os_GetMailslotInfo(slot, &next, &count) != 0 || count == 0) continue;
      uint8_t buf[512];
      uint32_t got = 0;
      if (os_ReadFile(slot, buf, sizeof buf, &got) != 0) continue;
      any = true;
      std::lock_guard<std::mutex> g(g_server.lock);
      if (slot == g_server.alarmSlot && got == sizeof(AlarmMessage)) {
        AlarmMessage m;
        memcpy(&m, buf, sizeof m);
        g_server.alarms.push_back(m);
      } else if (slot == g_server.derivedSlot) {
        g_server.derived.emplace_back(reinterpret_cast<const char *>(buf), got);
      }
      g_server.arrived.notify_all();
    }
    if (!any) os_Sleep(2);
  }
}

std::string LoggerOut(int index) { return std::string(os_Root()) + "/scadasim/logger-" + std::to_string(index + 1) + ".codes"; }

LoggerRecord *LoggerAt(int index) {
  if (shm_AttachLoggers() != 0 || !shm_LoggerTable() || index < 0 || index >= shm_LoggerTable()->count) return nullptr;
  return reinterpret_cast<LoggerRecord *>(shm_LoggerTable()->first) + index;
}

std::string Program(const std::string &name) {
  const char *bin = getenv("TNW_BIN");
  if (bin && *bin) return std::string(bin) + "/" + name;
  char self[4096];
  os_GetModuleFileName(self, sizeof self);
  return std::filesystem::path(self).parent_path().string() + "/" + name;
}

std::string Trim(const char *p, size_t n) { return std::string(p, strnlen(p, n)); }

}  // namespace

int sim_OpenServerSlots(std::string *why) {
  if (g_server.alarmSlot) return 0;
  g_server.alarmSlot = os_CreateMailslot("\\\\.\\mailslot\\xalarms", 0, 0, nullptr);
  g_server.derivedSlot = os_CreateMailslot("\\\\.\\mailslot\\derived", 0, 0, nullptr);
  if (!g_server.alarmSlot || !g_server.derivedSlot) {
    if (why) *why = "cannot create the xalarms and derived mailslots (error " + std::to_string(os_GetLastError()) + ")";
    sim_StopServer();
    return -1;
  }
  g_server.stop = false;
  g_server.drain = std::thread(Drain);
  return 0;
}

void sim_StopServer(void) {
  g_server.stop = true;
  if (g_server.drain.joinable()) g_server.drain.join();
  for (OsHandle *h : {&g_server.alarmSlot, &g_server.derivedSlot}) {
    if (*h) os_CloseHandle(*h);
    *h = nullptr;
  }
  for (Logger &l : g_server.loggers) {
    if (!l.process) continue;
    kill(static_cast<pid_t>(l.pid), SIGTERM);
    if (os_WaitForSingleObject(l.process, 5000) != OS_WAIT_OBJECT_0) os_TerminateProcess(l.process, 1);
    os_WaitForSingleObject(l.process, 5000);
    os_CloseHandle(l.process);
    std::error_code ec;
    std::filesystem::remove(l.out, ec);
  }
  g_server.loggers.clear();
  std::lock_guard<std::mutex> g(g_server.lock);
  g_server.alarms.clear();
  g_server.derived.clear();
}

std::vector<AlarmMessage> sim_TakeAlarms(void) {
  std::lock_guard<std::mutex> g(g_server.lock);
  std::vector<AlarmMessage> out;
  out.swap(g_server.alarms);
  return out;
}

std::vector<std::string> sim_TakeDerived(void) {
  std::lock_guard<std::mutex> g(g_server.lock);
  std::vector<std::string> out;
  out.swap(g_server.derived);
  return out;
}

bool sim_WaitAlarms(size_t n, uint32_t ms) {
  std::unique_lock<std::mutex> g(g_server.lock);
  return g_server.arrived.wait_for(g, std::chrono::milliseconds(ms), [n] { return g_server.alarms.size() >= n; });
}

bool sim_WaitDerived(size_t n, uint32_t ms) {
  std::unique_lock<std::mutex> g(g_server.lock);
  return g_server.arrived.wait_for(g, std::chrono::milliseconds(ms), [n] { return g_server.derived.size() >= n; });
}

std::string sim_DescribeAlarm(const AlarmMessage &m) {
  static const char *const kinds[8] = {"raised", "returned", "kind 2", "kind 3",
                                       "limit raised", "limit returned", "kind 6", "kind 7"};
  char value[32] = "none";
  if (m.value != ALM_NO_VALUE) {
    float v;
    memcpy(&v, &m.value, sizeof v);
    snprintf(value, sizeof value, "%g", static_cast<double>(v));
  }
  char line[512];
  snprintf(line, sizeof line,
           "alarm %-14s code=%.2s channel=%u%s delay=%u priority=%u%s%s%s value=%s computer=%s user=%s%s%s%s",
           kinds[m.flags & ALM_KIND_MASK], m.code, m.channel & 0x7FFFu, (m.channel & ALM_CHANNEL_BAD) ? " (bad)" : "",
           m.delay, (m.flags >> ALM_PRIORITY_SHIFT) & 0xFFu, (m.flags & ALM_FLAG_ANALOGUE) ? " analogue" : " digital",
           (m.flags & ALM_FLAG_HIGH) ? " high" : "", (m.flags & ALM_FLAG_DRIVE_COMMON) ? " drive-common" : "", value,
           Trim(m.computer, sizeof m.computer).c_str(), Trim(m.user, sizeof m.user).c_str(), m.text[0] ? " text=" : "",
           Trim(m.text, sizeof m.text).c_str(), (m.textFlag & 1) ? " text-flag" : "");
  return line;
}

std::string sim_DescribeLoggerCode(int32_t code) {
  uint32_t u = static_cast<uint32_t>(code);
  bool significant = (u & 0x80000000u) != 0;
  int32_t net = static_cast<int32_t>(u & 0x7FFFFFFFu) - 200000;
  char line[96];
  snprintf(line, sizeof line, "%d%s (events %+d%s)", 200000 + net, significant ? " with bit 31" : "", net,
           significant ? ", significant change" : "");
  return line;
}

int sim_StartLogger(int index, uint32_t *pid) {
  LoggerRecord *r = LoggerAt(index);
  if (!r) return errno = EINVAL, -1;
  std::string out = LoggerOut(index), prog = Program("scadasim");
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(out).parent_path(), ec);
  std::filesystem::remove(out, ec);
  uint32_t child = 0;
  // It feeds the logger's status channels when the world has them.
  const std::string name(r->Name, strnlen(r->Name, sizeof r->Name));
  OsHandle p = sim_SpawnChild({prog, "logger", "--out", out, "--logger", name}, &child);
  if (!p) return -1;
  // Ready once its notification mailslot is there.
  std::string slot = std::string(os_Root()) + "/kernel/mailslot/dm_" + std::to_string(child) + ".slt";
  uint32_t start = os_GetTickCount();
  while (!std::filesystem::exists(slot, ec) && os_GetTickCount() - start < 10000) os_Sleep(5);
  if (!std::filesystem::exists(slot, ec)) {
    os_TerminateProcess(p, 1);
    os_WaitForSingleObject(p, 5000);
    os_CloseHandle(p);
    return errno = ETIMEDOUT, -1;
  }
  r->ProcessId = child;
  r->Enabled = 1;
  g_server.loggers.push_back(Logger{p, child, out});
  if (pid) *pid = child;
  return 0;
}

OsHandle sim_LoggerProcess(int index) {
  for (const Logger &l : g_server.loggers)
    if (LoggerAt(index) && LoggerAt(index)->ProcessId == l.pid) return l.process;
  return nullptr;
}

std::vector<int32_t> sim_LoggerCodes(int index) {
  std::vector<int32_t> codes;
  std::ifstream in(LoggerOut(index));
  long long c;
  while (in >> c) codes.push_back(static_cast<int32_t>(c));
  return codes;
}

bool sim_WaitLoggerCodes(int index, size_t n, uint32_t ms) {
  uint32_t start = os_GetTickCount();
  for (;;) {
    if (sim_LoggerCodes(index).size() >= n) return true;
    if (os_GetTickCount() - start >= ms) return false;
    os_Sleep(5);
  }
}

bool sim_Subscribe(const std::string &code, int row, int channel, bool on) {
  void *data = sim_Area(code, SHM_AREA_DATA);
  void *events = sim_Area(code, SHM_AREA_EVENT);
  if (!data || !events || channel < 1 || channel > shm_AreaHeader(data)->count) return false;
  uint8_t *r = shm_EventRow(events, shm_AreaHeader(data)->count, row);
  if (!r) return false;
  int i = channel - 1;
  uint8_t bit = static_cast<uint8_t>(0x80 >> (i & 7));
  shm_Lock(events);
  r[i >> 3] = static_cast<uint8_t>(on ? (r[i >> 3] | bit) : (r[i >> 3] & ~bit));
  shm_Unlock(events);
  return true;
}

std::vector<SimChannel> sim_ReadChannels(const std::string &code) {
  std::vector<SimChannel> out;
  void *data = sim_Area(code, SHM_AREA_DATA);
  void *conf = sim_Area(code, SHM_AREA_CONF);
  if (!data || !conf) return out;
  shm_Lock(data);
  const ChannelAreaHeader *h = shm_AreaHeader(data);
  const uint32_t *words = shm_AreaStatusWords(data);
  const float *values = shm_AreaValues(data);
  const ChannelRecord *table = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf));
  int64_t n = h->count;
  if (n * CHAN_RECORD_SIZE > shm_DataLength(conf)) n = shm_DataLength(conf) / CHAN_RECORD_SIZE;
  for (int64_t i = 0; i < n; ++i) {
    SimChannel c;
    char tag[16];
    chan_JoinTag(&table[i], tag);
    c.tag = tag;
    c.analogue = values != nullptr;
    if (c.analogue) {
      c.units = chan_GetUnits(&table[i]);
      c.value = values[i];
    }
    c.status = words[i];
    out.push_back(c);
  }
  shm_Unlock(data);
  return out;
}

std::string sim_StatusFlagsText(uint32_t s) {
  std::string t;
  auto add = [&t](const char *w) { t += t.empty() ? w : std::string(" ") + w; };
  if (s & CST_BAD) add("BAD");
  if (s & CST_ALARM) add((s & CST_ALARM_HIGH) ? "ALARM-HI" : "ALARM-LO");
  if (s & CST_ALARM_ANNOUNCED) add("ANN");
  if (s & CST_WARNING) add((s & CST_WARNING_HIGH) ? "WARN-HI" : "WARN-LO");
  if (s & CST_EVENT) add((s & CST_EVENT_HIGH) ? "EVENT-HI" : "EVENT-LO");
  if ((s & CST_ANALOGUE) && (s & CST_VALUE)) add("MOVED");
  return t.empty() ? "ok" : t;
}
