#include "tools/scadasim/sim_world.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_path.h"
#include "framework/config/chan_files.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "framework/registry/reg_settings.h"

namespace {

struct World {
  bool live = false;
  SimWorldSpec spec;
  std::vector<std::string> segments;  // every segment made, for the end
  std::vector<std::string> folders;   // device folders made (Linux paths)
  DeviceRecord *devices = nullptr;
  bool productSet = false;            // the world named the product ...
  bool productWas = false;            // ... over this earlier value
  std::string productBefore;
};

World g_world;
std::atomic<uint64_t> g_changes;  // code 32 notices received by this process

std::atomic<void (*)(int32_t)> g_otherCodes{nullptr};

int OnCode(int32_t code) {
  if (code == NTF_DATA_CHANGED) g_changes += 1;
  else if (void (*fn)(int32_t) = g_otherCodes.load()) fn(code);
  return 0;
}

bool Fail(std::string *why, const std::string &text) {
  if (why) *why = text + " (error " + std::to_string(errno) + ")";
  return false;
}

void *Make(const std::string &name, uint32_t payload, std::string *why) {
  void *seg = shm_CreateSegmentWithWaiters(name.c_str(), payload);
  if (!seg) {
    Fail(why, "cannot create segment " + name);
    return nullptr;
  }
  // An existing segment comes back as it is: one left by an earlier world
  // may be too small for this one's records.
  if (shm_LockBlock(seg)->dataLength != static_cast<int32_t>(payload) ||
      shm_DataLength(seg) != static_cast<int32_t>(payload)) {
    errno = OS_ERROR_ALREADY_EXISTS;
    Fail(why, "segment " + name + " exists with a payload of " + std::to_string(shm_DataLength(seg)) + " bytes, not " +
                  std::to_string(payload) + " (left by an earlier world? remove it from the platform root)");
    return nullptr;
  }
  g_world.segments.push_back(name);
  return seg;
}

void PutText(char *dst, size_t room, const std::string &s) {
  memset(dst, 0, room);
  memcpy(dst, s.data(), std::min(room, s.size()));
}

bool IsAnalogue(int t) { return t == IO_AI || t == IO_AO || t == IO_CI; }

bool MakeAreas(const SimDeviceSpec &d, std::string *why) {
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    if (d.codes[t].empty()) continue;
    std::string code = d.codes[t];
    for (char &c : code) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    uint32_t n = d.channels[t], width = IsAnalogue(t) ? 8 : 4;
    uint32_t payload = 20 + n * width + (d.descriptionBlocks ? n * CHAN_DESCRIPTION_BLOCK : 0);
    void *data = Make("dm_" + code, payload, why);
    if (!data) return false;
    ChannelAreaHeader *h = shm_AreaHeader(data);
    memcpy(h->code, code.data(), 2);
    h->entryWidth = static_cast<uint16_t>(width);
    h->count = static_cast<uint16_t>(n);
    uint32_t *status = shm_AreaStatusWords(data);
    for (uint32_t i = 0; i < n; ++i) status[i] = CST_BAD | (IsAnalogue(t) ? static_cast<uint32_t>(CST_ANALOGUE) : 0u);

    void *conf = Make("dm_" + code + "_conf", n * CHAN_RECORD_SIZE, why);
    if (!conf) return false;
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t *r = shm_AreaRecords(conf) + i * CHAN_RECORD_SIZE;
      sim_DefaultChannel(t, static_cast<int>(i), reinterpret_cast<ChannelRecord *>(r));
      if (i < d.records[t].size()) memcpy(r, d.records[t][i].raw, CHAN_RECORD_SIZE);
      if (d.channelSetup) d.channelSetup(t, static_cast<int>(i), reinterpret_cast<ChannelRecord *>(r));
    }
    uint32_t row = (n + 7) / 8, rows = 1 + static_cast<uint32_t>(g_world.spec.loggers.size());
    if (!Make("dm_" + code + "_event", row * rows, why)) return false;
  }
  return true;
}

// The statistics area: analogue entries, records left to the scanner.
bool MakeStatsAreas(const SimDeviceSpec &d, std::string *why) {
  if (d.statsCode.size() != 2 || d.statsChannels == 0) return true;
  std::string code = d.statsCode;
  for (char &c : code) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  uint32_t n = d.statsChannels;
  void *data = Make("dm_" + code, 20 + n * 8, why);
  if (!data) return false;
  ChannelAreaHeader *h = shm_AreaHeader(data);
  memcpy(h->code, code.data(), 2);
  h->entryWidth = 8;
  h->count = static_cast<uint16_t>(n);
  return Make("dm_" + code + "_conf", n * CHAN_RECORD_SIZE, why) &&
         Make("dm_" + code + "_event", (n + 7) / 8 * (1 + static_cast<uint32_t>(g_world.spec.loggers.size())), why);
}

// A processor's data, configuration and event areas of digital outputs, or
// of analogue entries without records for the logger status processor.
bool MakeProcessorAreas(const SimProcessorAreas &p, bool loggerStatus, std::string *why) {
  if (p.code.size() != 2 || p.channels == 0) return true;
  std::string code = p.code;
  for (char &c : code) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  uint32_t n = p.channels, width = loggerStatus ? 8 : 4;
  void *data = Make("dm_" + code, 20 + n * width, why);
  if (!data) return false;
  ChannelAreaHeader *h = shm_AreaHeader(data);
  memcpy(h->code, code.data(), 2);
  h->entryWidth = static_cast<uint16_t>(width);
  h->count = static_cast<uint16_t>(n);
  void *conf = Make("dm_" + code + "_conf", n * CHAN_RECORD_SIZE, why);
  if (!conf) return false;
  if (loggerStatus) {
    uint32_t *status = shm_AreaStatusWords(data);
    for (uint32_t i = 0; i < n; ++i) status[i] = CST_BAD | CST_ANALOGUE;
  }
  for (uint32_t i = 0; i < n && !loggerStatus; ++i) {
    uint8_t *r = shm_AreaRecords(conf) + i * CHAN_RECORD_SIZE;
    char own[16];
    snprintf(own, sizeof own, "%s%03u", code.c_str(), i + 1);
    std::string tag = i < p.tags.size() ? p.tags[i] : std::string(own);
    // Tag pieces: 8 characters at 0, 4 at 138, 3 at 158.
    memcpy(r, tag.data(), std::min<size_t>(8, tag.size()));
    if (tag.size() > 8) memcpy(r + 138, tag.data() + 8, std::min<size_t>(4, tag.size() - 8));
    if (tag.size() > 12) memcpy(r + 158, tag.data() + 12, std::min<size_t>(3, tag.size() - 12));
    r[24] = IO_DO;
    r[28] |= 0x01;  // Enable
  }
  return Make("dm_" + code + "_event", (n + 7) / 8 * (1 + static_cast<uint32_t>(g_world.spec.loggers.size())), why) !=
         nullptr;
}

bool WriteBytes(const std::string &path, const void *data, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char *>(data), static_cast<std::streamsize>(n));
  return static_cast<bool>(f);
}

// The device folder as the server names it (a Windows path).
std::string ConfigDir(const SimDeviceSpec &d) { return cfg_JoinPath(g_world.spec.configFolder, d.folder.c_str()); }

// The server writes configuration, it does not record changes to it.
struct NoHistory {
  NoHistory() { cfg_SetHistoryEnabled(0); }
  ~NoHistory() { cfg_ForgetHistorySwitch(); }
};

// The device files and the channel files holding the configuration areas'
// records, written by the system's own writers; the configuration folder gets
// a "config" of its own (history off) for the writers' change signal.
bool WriteConfigFolder(const SimDeviceSpec &d, std::string *why) {
  char root[4096];
  if (os_TranslatePath(g_world.spec.configFolder.c_str(), root, sizeof root) != 0)
    return Fail(why, "bad configuration folder " + g_world.spec.configFolder);
  std::string dir = std::string(root) + "/" + d.folder;
  std::error_code ec;
  bool existed = std::filesystem::exists(dir, ec);
  std::filesystem::create_directories(dir, ec);
  if (ec) return Fail(why, "cannot create " + dir);
  if (!existed) g_world.folders.push_back(dir);
  const uint8_t serverConfig[2] = {0, 0};
  if (!std::filesystem::exists(std::string(root) + "/config", ec) &&
      !WriteBytes(std::string(root) + "/config", serverConfig, sizeof serverConfig))
    return Fail(why, std::string("cannot write ") + root + "/config");
  uint8_t c[DEVICE_CONFIG_SIZE] = {};
  memcpy(c + 0, &d.scanRate, 4);
  memcpy(c + 4, &d.baudRate, 4);
  PutText(reinterpret_cast<char *>(c + 8), 6, d.comPort);
  c[16] = d.parity;
  memcpy(c + 20, &d.dataBits, 4);
  NoHistory quiet;
  const uint8_t autoEnable = 1;
  const int32_t saveRate = static_cast<int32_t>(d.saveRate);
  std::string win = ConfigDir(d);
  if (cfg_WriteDeviceConfig(nullptr, win.c_str(), c, sizeof c, nullptr, 0, nullptr, &autoEnable, &d.saveOutputs,
                            &d.saveByTag, &saveRate) != 0)
    return Fail(why, "cannot write the device files of " + win);
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    if (d.codes[t].empty()) continue;
    void *conf = sim_Area(d.codes[t], SHM_AREA_CONF);
    const ChannelRecord *records = conf ? reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf)) : nullptr;
    if (!records || chan_RewriteChannels(nullptr, win.c_str(), t, records, 0, d.channels[t], nullptr, 0, nullptr) != 0)
      return Fail(why, std::string("cannot write channel file ") + chan_KindShortName(t));
  }
  return true;
}

const char kProductKey[] = "SOFTWARE\\Quenford";

// The world's product name goes where every framework process reads it; the
// value it replaced comes back when the world ends.
bool SetProduct(const std::string &product, std::string *why) {
  OsHKey key = nullptr;
  if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, kProductKey, 0, OS_KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
    return Fail(why, "cannot open the product key");
  char old[64];
  uint32_t size = sizeof old, type = 0;
  g_world.productWas = os_RegQueryValueEx(key, "ProductName", &type, old, &size) == 0 && type == OS_REG_SZ;
  if (g_world.productWas) g_world.productBefore.assign(old, strnlen(old, sizeof old));
  int32_t rc = os_RegSetValueEx(key, "ProductName", OS_REG_SZ, product.c_str(), static_cast<uint32_t>(product.size() + 1));
  os_RegCloseKey(key);
  if (rc != 0) return Fail(why, "cannot set the product name");
  g_world.productSet = true;
  prod_ForgetNames();
  return true;
}

void RestoreProduct() {
  if (!g_world.productSet) return;
  OsHKey key = nullptr;
  if (os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kProductKey, 0, OS_KEY_ALL_ACCESS, &key) != 0) return;
  if (g_world.productWas)
    os_RegSetValueEx(key, "ProductName", OS_REG_SZ, g_world.productBefore.c_str(),
                     static_cast<uint32_t>(g_world.productBefore.size() + 1));
  else
    os_RegDeleteValue(key, "ProductName");
  os_RegCloseKey(key);
  prod_ForgetNames();
}

// The note of what the world made, rewritten as it grows.
void WriteNote() {
  std::ofstream f(sim_WorldNotePath(), std::ios::trunc);
  f << "pid " << getpid() << "\n";
  f << "config-folder " << g_world.spec.configFolder << "\n";
  f << "host " << g_world.spec.host << "\n";
  if (!g_world.spec.product.empty()) f << "product " << g_world.spec.product << "\n";
  for (const std::string &s : g_world.segments) f << "segment " << s << "\n";
  for (const std::string &d : g_world.folders) f << "folder " << d << "\n";
}

}  // namespace

bool sim_ProcessLives(long pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  // One that ended but was not reaped yet (a zombie) is gone all the same.
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

std::string sim_WorldNotePath(void) { return std::string(os_Root()) + "/scadasim-world"; }

std::vector<std::string> sim_WorldNote(const std::string &key) {
  std::vector<std::string> out;
  std::ifstream f(sim_WorldNotePath());
  for (std::string line; std::getline(f, line);)
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == ' ')
      out.push_back(line.substr(key.size() + 1));
  return out;
}

int sim_RemoveLeftovers(void) {
  std::vector<std::string> pids = sim_WorldNote("pid");
  if (pids.empty()) return 0;
  pid_t owner = static_cast<pid_t>(strtol(pids[0].c_str(), nullptr, 10));
  if (owner != getpid() && sim_ProcessLives(owner)) return 0;
  int n = 0;
  for (const std::string &s : sim_WorldNote("segment")) n += shm_DestroySegment(s.c_str()) == 0;
  std::error_code ec;
  for (const std::string &d : sim_WorldNote("folder")) n += std::filesystem::remove_all(d, ec) > 0;
  std::filesystem::remove(sim_WorldNotePath(), ec);
  return n;
}

int sim_CreateWorld(const SimWorldSpec &spec, std::string *why) {
  if (g_world.live) sim_DestroyWorld();
  g_world = World{};
  g_world.spec = spec;
  g_world.live = true;
  const int32_t nd = static_cast<int32_t>(spec.devices.size());
  const int32_t np = static_cast<int32_t>(spec.processors.size());
  const int32_t nl = static_cast<int32_t>(spec.loggers.size());

  if (!spec.product.empty() && !SetProduct(spec.product, why)) return sim_DestroyWorld(), -1;
  void *dev = Make("dm_device", 4 + nd * (788 + (spec.statisticsCodes ? 2 : 0)), why);
  if (!dev) return sim_DestroyWorld(), -1;
  memcpy(shm_Payload(dev), &nd, 4);
  g_world.devices = reinterpret_cast<DeviceRecord *>(shm_Payload(dev) + 4);
  char *stats = reinterpret_cast<char *>(g_world.devices + nd);
  for (int32_t i = 0; i < nd; ++i) {
    const SimDeviceSpec &d = spec.devices[static_cast<size_t>(i)];
    DeviceRecord *r = &g_world.devices[i];
    PutText(r->Name, sizeof r->Name, d.name);
    PutText(r->StatusName, sizeof r->StatusName, d.statusName);
    r->Instance = d.instance;
    PutText(r->Folder, sizeof r->Folder, d.folder);
    for (int t = 0; t < IO_TYPE_COUNT; ++t) PutText(r->IoCodes[t], 2, d.codes[t]);
    if (spec.statisticsCodes) PutText(stats + 2 * i, 2, d.statsCode);
  }

  void *proc = Make("dm_datproc", 4 + np * 60, why);
  if (!proc) return sim_DestroyWorld(), -1;
  memcpy(shm_Payload(proc), &np, 4);
  for (int32_t i = 0; i < np; ++i) {
    const SimProcessorSpec &p = spec.processors[static_cast<size_t>(i)];
    DataProcessorRecord *r = reinterpret_cast<DataProcessorRecord *>(shm_Payload(proc) + 4) + i;
    PutText(r->Name, sizeof r->Name, p.name);
    PutText(r->NameText, sizeof r->NameText, p.text);
    PutText(r->Code, 2, p.code);
    r->Kind = p.kind;
    r->Enabled = p.enabled;
    r->Flag = p.flag;
    r->ProcessId = p.processId;
  }

  void *log = Make("dm_loggers", 4 + nl * 172, why);
  if (!log) return sim_DestroyWorld(), -1;
  memcpy(shm_Payload(log), &nl, 4);
  for (int32_t i = 0; i < nl; ++i) {
    LoggerRecord *r = reinterpret_cast<LoggerRecord *>(shm_Payload(log) + 4) + i;
    PutText(r->Name, sizeof r->Name, spec.loggers[static_cast<size_t>(i)]);
    r->Enabled = 1;
  }

  int32_t ne = spec.errorEntries;
  uint32_t errLength = 4 + static_cast<uint32_t>(ne) * (spec.shortErrorTable ? 57 : 443);
  void *err = Make("dm_errors", errLength, why);
  if (!err) return sim_DestroyWorld(), -1;
  memcpy(shm_Payload(err), &ne, 4);

  void *status = Make("dm_status", 4, why);
  if (!status) return sim_DestroyWorld(), -1;

  // The logger status processor's area has 32 rows a logger unless its count is given.
  std::vector<SimProcessorAreas> areas = spec.processorAreas;
  auto statusKind = [&](const std::string &code) {
    for (const SimProcessorSpec &p : spec.processors)
      if (p.kind == SIM_LOGGER_STATUS_KIND && strcasecmp(p.code.c_str(), code.c_str()) == 0) return true;
    return false;
  };
  for (const SimProcessorSpec &p : spec.processors) {
    if (p.kind != SIM_LOGGER_STATUS_KIND || p.code.size() != 2) continue;
    bool given = false;
    for (const SimProcessorAreas &a : areas) given = given || strcasecmp(a.code.c_str(), p.code.c_str()) == 0;
    if (!given) areas.push_back({p.code, static_cast<uint16_t>(std::min(32 * nl, 0xFFFF)), {}});
  }
  for (const SimProcessorAreas &p : areas)
    if (!MakeProcessorAreas(p, statusKind(p.code), why)) return sim_DestroyWorld(), -1;
  for (const SimDeviceSpec &d : spec.devices) {
    if (!MakeAreas(d, why) || !MakeStatsAreas(d, why)) return sim_DestroyWorld(), -1;
    if (d.writeConfigFiles && !WriteConfigFolder(d, why)) return sim_DestroyWorld(), -1;
  }
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", spec.configFolder.c_str());
  WriteNote();
  return 0;
}

namespace {

void StopScanners() {
  if (!g_world.devices) return;
  const uint32_t self = static_cast<uint32_t>(getpid());
  std::vector<DeviceRecord *> told;
  for (size_t i = 0; i < g_world.spec.devices.size(); ++i) {
    DeviceRecord *r = &g_world.devices[i];
    // A scanner that died without a word has no mailslot to take the code.
    if (r->Running == 1 && r->ProcessId != 0 && r->ProcessId != self && sim_Post(r->ProcessId, NTF_STOP) == 0)
      told.push_back(r);
  }
  uint32_t start = os_GetTickCount();
  for (DeviceRecord *r : told)
    while (r->Running == 1 && os_GetTickCount() - start < 10000) os_Sleep(5);
}

}  // namespace

void sim_DestroyWorld(bool stopScanners) {
  if (stopScanners) StopScanners();
  sim_StopServer();
  for (auto it = g_world.segments.rbegin(); it != g_world.segments.rend(); ++it) shm_DestroySegment(it->c_str());
  std::error_code ec;
  for (const std::string &f : g_world.folders) std::filesystem::remove_all(f, ec);
  shm_ForgetTables();
  RestoreProduct();
  if (g_world.live) std::filesystem::remove(sim_WorldNotePath(), ec);
  g_world = World{};
}

DeviceRecord *sim_Device(int index) {
  if (!g_world.live || index < 0 || index >= static_cast<int>(g_world.spec.devices.size())) return nullptr;
  return &g_world.devices[index];
}

void *sim_Area(const std::string &code, ShmAreaKind kind) {
  static const char *const suffix[3] = {"", "_conf", "_event"};
  std::string name = "dm_" + code + suffix[kind];
  for (size_t i = 3; i < 5 && i < name.size(); ++i) name[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
  return shm_OpenSegment(name.c_str());
}

std::string sim_DeviceFolder(int index) {
  char root[4096];
  if (!sim_Device(index) || os_TranslatePath(g_world.spec.configFolder.c_str(), root, sizeof root) != 0) return "";
  return std::string(root) + "/" + g_world.spec.devices[static_cast<size_t>(index)].folder;
}

std::string sim_StatusText(const std::string &statusName) {
  if (shm_AttachErrors() != 0) return "";
  const ShmErrorTable *t = shm_ErrorTable();
  for (int32_t i = 0; i < t->count; ++i) {
    if (t->longEntries) {
      const DriverStatusEntry &e = t->longEntries[i];
      if (strncasecmp(e.name, statusName.c_str(), sizeof e.name) == 0)
        return std::string(e.message, strnlen(e.message, sizeof e.message));
    } else {
      const ShortDriverStatusEntry &e = t->shortEntries[i];
      if (strncasecmp(e.name, statusName.c_str(), sizeof e.name) == 0)
        return std::string(e.message, strnlen(e.message, sizeof e.message));
    }
  }
  return "";
}

namespace {

// A program of the build: $TNW_BIN, else beside this program.
std::string ProgramPath(const std::string &name) {
  const char *bin = getenv("TNW_BIN");
  if (bin && *bin) return std::string(bin) + "/" + name;
  char self[4096];
  os_GetModuleFileName(self, sizeof self);
  return std::filesystem::path(self).parent_path().string() + "/" + name;
}

}  // namespace

std::string sim_ProgramPath(const std::string &name) { return ProgramPath(name); }

namespace {
std::vector<std::string> g_launcher;
}  // namespace

void sim_SetChildLauncher(const std::vector<std::string> &prefix) { g_launcher = prefix; }

OsHandle sim_SpawnChild(const std::vector<std::string> &args, uint32_t *pid) {
  std::vector<const char *> argv;
  for (const std::string &a : g_launcher) argv.push_back(a.c_str());
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return os_CreateProcessArgv(argv.data(), pid);
}

OsHandle sim_StartScanner(int index, const std::string &program, uint32_t *pid) {
  const DeviceRecord *r = sim_Device(index);
  if (!r) return errno = EINVAL, nullptr;
  std::string prog = program.empty() ? ProgramPath("Tnwell_SC") : program;
  return sim_SpawnChild({prog, std::to_string(r->Instance)}, pid);
}

std::string sim_PumpSimPort(int index) {
  if (!sim_Device(index)) return "";
  const SimDeviceSpec &d = g_world.spec.devices[static_cast<size_t>(index)];
  std::string port = d.comPort.empty() ? "COM" + std::to_string(d.instance) : d.comPort;
  if (!port.empty() && port.back() == ':') port.pop_back();
  return port;
}

OsHandle sim_StartPumpSim(int index, const std::vector<std::string> &args, uint32_t *pid) {
  std::string port = sim_PumpSimPort(index);
  if (port.empty()) return errno = EINVAL, nullptr;
  std::vector<std::string> argv = {ProgramPath("pumpsim"), "--port", port};
  argv.insert(argv.end(), args.begin(), args.end());
  OsHandle p = sim_SpawnChild(argv, pid);
  if (!p) return nullptr;
  std::string link = std::string(os_Root()) + "/dev/" + port;
  uint32_t start = os_GetTickCount();
  std::error_code ec;
  while (os_GetTickCount() - start < 10000) {
    if (std::filesystem::exists(link, ec)) return p;
    uint32_t code = 0;
    if (os_GetExitCodeProcess(p, &code) == 0 && code != OS_STILL_ACTIVE) break;
    os_Sleep(5);
  }
  os_TerminateProcess(p, 1);
  os_WaitForSingleObject(p, 5000);
  os_CloseHandle(p);
  errno = ETIMEDOUT;
  return nullptr;
}

int64_t sim_StopPumpSim(OsHandle process, uint32_t pid, uint32_t ms) {
  if (!process) return -1;
  kill(static_cast<pid_t>(pid), SIGTERM);
  int64_t code = sim_WaitExit(process, ms);
  if (code < 0) {
    os_TerminateProcess(process, 1);
    os_WaitForSingleObject(process, 5000);
  }
  os_CloseHandle(process);
  return code;
}

bool sim_WaitRunning(int index, OsHandle process, uint32_t ms) {
  const DeviceRecord *r = sim_Device(index);
  uint32_t start = os_GetTickCount();
  while (os_GetTickCount() - start < ms) {
    uint32_t code = 0;
    if (r && r->Running == 1 && r->ProcessId != 0) return true;
    if (process && os_GetExitCodeProcess(process, &code) == 0 && code != OS_STILL_ACTIVE) return false;
    os_Sleep(5);
  }
  return false;
}

int64_t sim_WaitExit(OsHandle process, uint32_t ms) {
  if (os_WaitForSingleObject(process, ms) != OS_WAIT_OBJECT_0) return -1;
  uint32_t code = 0;
  if (os_GetExitCodeProcess(process, &code) != 0) return -1;
  return code;
}

int sim_Post(uint32_t pid, int32_t code) { return ntf_Post(pid, code); }

int sim_ChangeChannel(int index, int type, int channel, const std::function<void(ChannelRecord *)> &edit,
                      uint32_t pid) {
  if (!sim_Device(index) || type < 0 || type >= IO_TYPE_COUNT || channel < 0 || !edit) return errno = EINVAL, -1;
  const SimDeviceSpec &d = g_world.spec.devices[static_cast<size_t>(index)];
  std::string win = ConfigDir(d);
  ChannelRecord r;
  if (chan_ReadChannels(win.c_str(), type, &r, channel, 1, nullptr, 0, nullptr) != 0) return -1;
  edit(&r);
  std::string file = cfg_JoinPath(win, chan_KindShortName(type));
  TimeStamp before{}, after{};
  cfg_FileStamp(file, &before);
  NoHistory quiet;
  // The scanner sees a change by the file's write time: it must move on.
  for (int tries = 0; tries < 100; ++tries) {
    if (chan_WriteChannels(nullptr, win.c_str(), type, &r, channel, 1, nullptr, 0, nullptr) != 0) return -1;
    if (cfg_FileStamp(file, &after) == 0 && (after.seconds != before.seconds || after.ms != before.ms)) break;
    os_Sleep(2);
  }
  return pid ? sim_Post(pid, NTF_RECONFIGURE) : 0;
}

int sim_ListenForCodes(void (*fn)(int32_t code)) {
  g_otherCodes = fn;
  if (ntf_IsStarted()) return 0;
  errno = 0;
  return ntf_Start(OnCode) || errno == 0 ? 0 : -1;
}

bool sim_Watch(const std::string &code, int slot) {
  if (!ntf_IsStarted()) ntf_Start(OnCode);
  void *area = sim_Area(code, SHM_AREA_DATA);
  return area && shm_ClaimWaiter(area, slot) >= 0;
}

uint64_t sim_ChangeNotices(void) { return g_changes.load(); }

bool sim_WaitForChange(const std::string &code, int slot, uint32_t ms) {
  void *area = sim_Area(code, SHM_AREA_DATA);
  if (!area || !ntf_IsStarted()) return false;
  uint64_t before = g_changes.load();
  uint32_t start = os_GetTickCount();
  for (;;) {
    uint32_t spent = os_GetTickCount() - start;
    if (spent >= ms) return g_changes.load() != before;
    int r = shm_WaitChangeFor(area, slot, ms - spent);
    if (r < 0) return false;
    if (r == 1 || g_changes.load() != before) return true;
  }
}
