#include "plugin/connect/cfg_access.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"
#include "platform/os_env.h"
#include "framework/config/cfg_path.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/tm_utils.h"
#include "plugin/loggers/lcfg_files.h"

namespace {

enum : int { kRecord = 216, kChannelHead = 8, kUserMax = 32 };

int Fail(uint32_t code) {
  os_Fail(code);
  return -1;
}

bool Field(const char *s) { return s && strlen(s) <= CFG_PATH_MAX && !strchr(s, ',') && !strchr(s, '\t'); }

// A file of the configuration folder, on this computer's or a share's disk
// (localPath) or behind the server (remotePath).
struct ConfigFile {
  const char *server;
  bool remote;
  std::string path;
};

std::string ConfigFolder(const char *server) {
  const char *f = srv_ResolveServerFolder(server, "TSQ_CURRENT_CONFIG");
  return f ? f : "";
}

ConfigFile FileOf(const char *server, const char *folder, const std::string &name) {
  ConfigFile f{server, cfg_Road(server) == CFG_ROAD_REMOTE, ""};
  std::string rel = folder && *folder ? std::string(folder) + "\\" + name : name;
  f.path = f.remote ? "TSQ_CURRENT_CONFIG\\" + rel : cfg_JoinPath(ConfigFolder(server), rel.c_str());
  return f;
}

// The largest chunk of one raw request on this path, in whole units.
int32_t ChunkOf(const ConfigFile &f, int32_t unit) {
  int32_t room = CFG_RAW_CHUNK - static_cast<int32_t>(f.path.size());
  return room < unit ? unit : room / unit * unit;
}

// Reads length bytes at offset, in chunks of at most `chunk`, each in full.
bool ReadAll(const ConfigFile &f, void *data, int64_t offset, int32_t length, uint32_t disposition, int32_t chunk) {
  CfgOpen o = {OS_GENERIC_READ, 3, 0, disposition, 0};
  OsHandle local = nullptr;
  if (!f.remote) {
    local = os_CreateFile(f.path.c_str(), OS_GENERIC_READ, 3, disposition, 0);
    if (!local) return false;
  }
  bool ok = true;
  for (int32_t done = 0; ok && done < length;) {
    int32_t want = length - done < chunk ? length - done : chunk, got = 0;
    ok = srv_RemoteReadFile(f.server, local, f.path.c_str(), static_cast<char *>(data) + done, want,
                            static_cast<int32_t>(offset + done), OS_FILE_BEGIN, &o, &got) &&
         (got == want || (os_Fail(OS_ERROR_HANDLE_EOF), false));
    done += want;
  }
  if (local) {
    uint32_t err = os_GetLastError();
    os_CloseHandle(local);
    os_SetLastError(err);
  }
  return ok;
}

bool WriteAll(const ConfigFile &f, const void *data, int64_t offset, int32_t length, uint32_t disposition,
              int32_t chunk) {
  CfgOpen o = {OS_GENERIC_READ | OS_GENERIC_WRITE, 3, 1, disposition, 0};
  OsHandle local = nullptr;
  if (!f.remote) {
    local = os_CreateFile(f.path.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 3, disposition, 0);
    if (!local) return false;
  }
  bool ok = true;
  int32_t done = 0;
  do {
    int32_t want = length - done < chunk ? length - done : chunk, written = 0;
    ok = srv_RemoteWriteFile(f.server, local, f.path.c_str(), static_cast<const char *>(data) + done, want,
                             static_cast<int32_t>(offset + done), OS_FILE_BEGIN, &o, &written) &&
         written == want;
    done += want;
  } while (ok && done < length);
  if (local) {
    uint32_t err = os_GetLastError();
    os_CloseHandle(local);
    os_SetLastError(err);
  }
  return ok;
}

// The change signal: byte 0 of the top-level "config" written back as it is,
// so the file gets a new modification time.
bool ChangeSignal(const char *server) {
  ConfigFile top = FileOf(server, nullptr, "config");
  uint8_t b = 0;
  return ReadAll(top, &b, 0, 1, OS_OPEN_EXISTING, 1) && WriteAll(top, &b, 0, 1, OS_OPEN_EXISTING, 1);
}

std::string UserName(const char *user) {
  if (user && *user) return std::string(user).substr(0, kUserMax);
  char name[kUserMax + 1] = "";
  uint32_t size = sizeof name;
  if (os_GetUserName(name, &size) != 0) name[0] = '\0';
  return name;
}

// One configuration request: the result, or -1 with its error; *final when
// the error forbids the raw road (the server could not parse its XML).
int Request(const char *server, const std::string &request, std::vector<char> &reply, int *got, bool *final) {
  int n = static_cast<int>(reply.size());
  int rc = con_Transact(server, request.data(), static_cast<int>(request.size()), reply.data(), &n);
  *got = n;
  *final = rc == -1 && os_GetLastError() == OS_ERROR_XML_PARSE_ERROR;
  return rc;
}

bool TypeOk(int type) { return type >= IO_AI && type <= IO_CI; }

}  // namespace

int cfg_Road(const char *server) {
  if (srv_IsLocalHost(server)) return CFG_ROAD_LOCAL;
  return srv_ConnectionKind(server) == SRV_KIND_PIPE ? CFG_ROAD_SHARE : CFG_ROAD_REMOTE;
}

int cfg_ReadChannelsEx(const char *server, const char *folder, int type, ChannelRecord *records, int first, int count,
                       void *extra, int extraLength, const char *extraName) {
  if (!TypeOk(type) || first < 0 || count < 0 || (!records && count) || extraLength < 0)
    return Fail(OS_ERROR_INVALID_PARAMETER);
  if (!extra || !extraName || !*extraName) extraLength = 0;
  if (cfg_Road(server) != CFG_ROAD_REMOTE) {
    std::string dir = cfg_JoinPath(ConfigFolder(server), folder ? folder : "");
    return chan_ReadChannels(dir.c_str(), type, records, first, count, extraLength ? extra : nullptr,
                             static_cast<uint32_t>(extraLength), extraLength ? extraName : nullptr);
  }
  const char *f = folder && *folder ? folder : " ";
  const char *x = extraLength ? extraName : " ";
  if (!Field(f) || !Field(x)) return Fail(OS_ERROR_INVALID_PARAMETER);
  int64_t size = static_cast<int64_t>(count) * kRecord + extraLength + 2;
  if (size > INT32_MAX) return Fail(OS_ERROR_INVALID_PARAMETER);
  char head[CFG_PATH_MAX * 2 + 96];
  snprintf(head, sizeof head, "IF,%d,%s,%d,%d,%d,%s,%d", static_cast<int>(size), f, first, count, extraLength, x, type);
  std::vector<char> reply(size < 250 ? 250 : static_cast<size_t>(size));
  int got = 0;
  bool final = false;
  int rc = Request(server, std::string(head, strlen(head) + 1), reply, &got, &final);
  if (rc == 0 && got == size) {
    memcpy(records, reply.data() + 2, static_cast<size_t>(count) * kRecord);
    if (extraLength) memcpy(extra, reply.data() + 2 + static_cast<size_t>(count) * kRecord, static_cast<size_t>(extraLength));
    return 0;
  }
  if (final) return -1;
  ConfigFile file = FileOf(server, folder, chan_KindShortName(type));
  if (!ReadAll(file, records, kChannelHead + static_cast<int64_t>(kRecord) * first, count * kRecord, OS_OPEN_EXISTING,
               ChunkOf(file, kRecord)))
    return -1;
  if (extraLength) {
    ConfigFile ex = FileOf(server, folder, extraName);
    if (!ReadAll(ex, extra, 0, extraLength, OS_OPEN_ALWAYS, ChunkOf(ex, 1))) return -1;
  }
  return 0;
}

int cfg_ReadChannels(const char *server, const char *folder, int type, ChannelRecord *records, int first, int count) {
  return cfg_ReadChannelsEx(server, folder, type, records, first, count, nullptr, 0, nullptr);
}

int cfg_ReadDeviceConfigEx(const char *server, const char *folder, void *record, int length, void *extra,
                           int extraLength, const char *extraName, uint8_t *autoEnable, uint8_t *saveOutputs,
                           uint8_t *saveByTag, int32_t *saveRate) {
  if (length < 0 || (!record && length) || extraLength < 0) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (!extra || !extraName || !*extraName) extraLength = 0;
  if (cfg_Road(server) != CFG_ROAD_REMOTE) {
    std::string dir = cfg_JoinPath(ConfigFolder(server), folder ? folder : "");
    uint32_t rate = 0;
    int rc = cfg_LoadConfigFiles(dir.c_str(), {.config = record,
                                               .configSize = static_cast<uint32_t>(length),
                                               .extra = extraLength ? extra : nullptr,
                                               .extraSize = static_cast<uint32_t>(extraLength),
                                               .extraFile = extraLength ? extraName : nullptr,
                                               .autoEnable = autoEnable,
                                               .saveOutputs = saveOutputs,
                                               .saveByTag = saveByTag,
                                               .saveRate = saveRate ? &rate : nullptr});
    if (rc == 0 && saveRate) *saveRate = static_cast<int32_t>(rate);
    return rc;
  }
  const char *f = folder && *folder ? folder : " ";
  const char *x = extraLength ? extraName : " ";
  if (!Field(f) || !Field(x)) return Fail(OS_ERROR_INVALID_PARAMETER);
  int size = length + extraLength + 9;
  char head[CFG_PATH_MAX * 2 + 96];
  snprintf(head, sizeof head, "GF,%d,%s,%d,%d,%s,%d,%d,%d,%d", size, f, length, extraLength, x, autoEnable ? 1 : 0,
           saveOutputs ? 1 : 0, saveByTag ? 1 : 0, saveRate ? 1 : 0);
  std::vector<char> reply(size < 250 ? 250 : static_cast<size_t>(size));
  int got = 0;
  bool final = false;
  int rc = Request(server, std::string(head, strlen(head) + 1), reply, &got, &final);
  if (rc == 0 && got == size) {
    if (autoEnable) *autoEnable = static_cast<uint8_t>(reply[2]);
    if (saveOutputs) *saveOutputs = static_cast<uint8_t>(reply[3]);
    if (saveByTag) *saveByTag = static_cast<uint8_t>(reply[4]);
    if (saveRate) memcpy(saveRate, reply.data() + 5, 4);
    if (length) memcpy(record, reply.data() + 9, static_cast<size_t>(length));
    if (extraLength) memcpy(extra, reply.data() + 9 + length, static_cast<size_t>(extraLength));
    return 0;
  }
  if (final) return -1;
  ConfigFile config = FileOf(server, folder, "config");
  if (!ReadAll(config, record, 1, length, OS_OPEN_EXISTING, ChunkOf(config, 1))) return -1;
  if (extraLength) {
    ConfigFile ex = FileOf(server, folder, extraName);
    if (!ReadAll(ex, extra, 0, extraLength, OS_OPEN_ALWAYS, ChunkOf(ex, 1))) return -1;
  }
  return 0;
}

int cfg_ReadDeviceConfig(const char *server, const char *folder, void *record, int length) {
  return cfg_ReadDeviceConfigEx(server, folder, record, length, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
}

int cfg_WriteChannelRecordsEx(const char *server, const char *user, const char *folder, int type,
                              const ChannelRecord *records, int first, int count, const void *extra, int extraLength,
                              const char *extraName, int xmlMode) {
  if (!TypeOk(type) || first < 0 || count < 0 || (!records && count) || extraLength < 0)
    return Fail(OS_ERROR_INVALID_PARAMETER);
  if (!extra || !extraName || !*extraName) extraLength = 0;
  std::string name = UserName(user);
  if (cfg_Road(server) != CFG_ROAD_REMOTE) {
    std::string dir = cfg_JoinPath(ConfigFolder(server), folder ? folder : "");
    auto writeChannels = xmlMode ? chan_WriteChannels : chan_RewriteChannels;
    return writeChannels(name.c_str(), dir.c_str(), type, records, first, count, extraLength ? extra : nullptr,
                         static_cast<uint32_t>(extraLength), extraLength ? extraName : nullptr);
  }
  const char *f = folder && *folder ? folder : " ";
  const char *x = extraLength ? extraName : " ";
  if (!Field(f) || !Field(x) || !Field(name.c_str())) return Fail(OS_ERROR_INVALID_PARAMETER);
  int64_t data = static_cast<int64_t>(count) * kRecord + extraLength;
  if (data > INT32_MAX / 2) return Fail(OS_ERROR_INVALID_PARAMETER);
  char head[CFG_PATH_MAX * 3 + 96];
  snprintf(head, sizeof head, "HF,%d,%s,%s,%d,%d,%d,%s,%d,%d", static_cast<int>(data), name.c_str(), f, first, count,
           extraLength, x, type, xmlMode);
  std::string request(head, strlen(head) + 1);
  request.append(reinterpret_cast<const char *>(records), static_cast<size_t>(count) * kRecord);
  if (extraLength) request.append(static_cast<const char *>(extra), static_cast<size_t>(extraLength));
  std::vector<char> reply(64);
  int got = 0;
  bool final = false;
  int rc = Request(server, request, reply, &got, &final);
  if (rc == -1) {
    if (final) return -1;
    ConfigFile file = FileOf(server, folder, chan_KindShortName(type));
    TimeStamp now;
    tm_Now(&now);
    if (!WriteAll(file, records, kChannelHead + static_cast<int64_t>(kRecord) * first, count * kRecord,
                  OS_OPEN_EXISTING, ChunkOf(file, kRecord)) ||
        !WriteAll(file, &now, 0, sizeof now, OS_OPEN_EXISTING, sizeof now))
      return -1;
    if (extraLength) {
      ConfigFile ex = FileOf(server, folder, extraName);
      if (!WriteAll(ex, extra, 0, extraLength, OS_OPEN_ALWAYS, ChunkOf(ex, 1))) return -1;
    }
    rc = 0;
  }
  if (folder && *folder && !ChangeSignal(server)) return -1;
  return rc;
}

int cfg_WriteChannelRecords(const char *server, const char *user, const char *folder, int type,
                            const ChannelRecord *records, int first, int count) {
  return cfg_WriteChannelRecordsEx(server, user, folder, type, records, first, count, nullptr, 0, nullptr, 1);
}

int cfg_RewriteChannelRecords(const char *server, const char *user, const char *folder, int type,
                              const ChannelRecord *records, int first, int count) {
  return cfg_WriteChannelRecordsEx(server, user, folder, type, records, first, count, nullptr, 0, nullptr, 0);
}

int cfg_WriteDeviceConfigurationEx(const char *server, const char *user, const char *folder, const void *record,
                                   int length, const void *extra, int extraLength, const char *extraName,
                                   const uint8_t *autoEnable, const uint8_t *saveOutputs, const uint8_t *saveByTag,
                                   const int32_t *saveRate) {
  if (length < 0 || (!record && length) || extraLength < 0) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (!extra || !extraName || !*extraName) extraLength = 0;
  std::string name = UserName(user);
  if (cfg_Road(server) != CFG_ROAD_REMOTE) {
    std::string dir = cfg_JoinPath(ConfigFolder(server), folder ? folder : "");
    return cfg_WriteDeviceConfig(name.c_str(), dir.c_str(), record, static_cast<uint32_t>(length),
                                 extraLength ? extra : nullptr, static_cast<uint32_t>(extraLength),
                                 extraLength ? extraName : nullptr, autoEnable, saveOutputs, saveByTag, saveRate);
  }
  const char *f = folder && *folder ? folder : " ";
  const char *x = extraLength ? extraName : " ";
  if (!Field(f) || !Field(x) || !Field(name.c_str())) return Fail(OS_ERROR_INVALID_PARAMETER);
  auto text = [](const void *v, bool isRate) -> std::string {
    if (!v) return " ";
    return isRate ? std::to_string(*static_cast<const int32_t *>(v)) : std::to_string(*static_cast<const uint8_t *>(v));
  };
  std::string head = "FF," + std::to_string(length + extraLength) + "," + name + "," + f + "," + std::to_string(length) +
                     "," + std::to_string(extraLength) + "," + x + "," + text(autoEnable, false) + "," +
                     text(saveOutputs, false) + "," + text(saveByTag, false) + "," + text(saveRate, true);
  std::string request(head.c_str(), head.size() + 1);
  request.append(static_cast<const char *>(record), static_cast<size_t>(length));
  if (extraLength) request.append(static_cast<const char *>(extra), static_cast<size_t>(extraLength));
  std::vector<char> reply(64);
  int got = 0;
  bool final = false;
  int rc = Request(server, request, reply, &got, &final);
  if (rc == -1) {
    if (final) return -1;
    ConfigFile config = FileOf(server, folder, "config");
    if (!WriteAll(config, record, 1, length, OS_OPEN_EXISTING, ChunkOf(config, 1))) return -1;
    if (extraLength) {
      ConfigFile ex = FileOf(server, folder, extraName);
      if (!WriteAll(ex, extra, 0, extraLength, OS_OPEN_ALWAYS, ChunkOf(ex, 1))) return -1;
    }
    rc = 0;
  }
  if (!ChangeSignal(server)) return -1;
  return rc;
}

int cfg_WriteDeviceConfiguration(const char *server, const char *user, const char *folder, const void *record,
                                 int length, const void *extra, int extraLength, const char *extraName) {
  return cfg_WriteDeviceConfigurationEx(server, user, folder, record, length, extra, extraLength, extraName, nullptr,
                                        nullptr, nullptr, nullptr);
}

int cfg_ReadSaveConfig(const char *server, const char *folder, uint8_t *saveOutputs, uint8_t *saveByTag,
                       int32_t *saveRate) {
  uint8_t b[CFG_SAVECONFIG_SIZE];
  if (!ReadAll(FileOf(server, folder, "saveconfig"), b, 0, sizeof b, OS_OPEN_EXISTING, sizeof b)) return -1;
  if (saveOutputs) *saveOutputs = b[0];
  if (saveByTag) *saveByTag = b[1];
  if (saveRate) memcpy(saveRate, b + CFG_SAVERATE_OFFSET, 4);
  return 0;
}

int cfg_WriteSaveConfig(const char *server, const char *folder, uint8_t saveOutputs, uint8_t saveByTag,
                        int32_t saveRate) {
  uint8_t b[CFG_SAVECONFIG_SIZE] = {saveOutputs, saveByTag};
  memcpy(b + CFG_SAVERATE_OFFSET, &saveRate, 4);
  return WriteAll(FileOf(server, folder, "saveconfig"), b, 0, sizeof b, OS_OPEN_ALWAYS, sizeof b) ? 0 : -1;
}

int cfg_ReadConfigStatus(const char *server, const char *folder, uint8_t *autoEnable) {
  uint8_t b = 0;
  if (!ReadAll(FileOf(server, folder, "config"), &b, 0, 1, OS_OPEN_EXISTING, 1)) return -1;
  if (autoEnable) *autoEnable = b;
  return 0;
}

int cfg_WriteConfigStatus(const char *server, const char *folder, uint8_t autoEnable) {
  return WriteAll(FileOf(server, folder, "config"), &autoEnable, 0, 1, OS_OPEN_ALWAYS, 1) ? 0 : -1;
}

int cfg_ReadLoggerConfig(const char *server, const char *type, int number, void *record, int length) {
  if (!Field(type) || length < 0 || (!record && length)) return Fail(OS_ERROR_INVALID_PARAMETER);
  ConfigFile file = FileOf(server, "LOGGERS", std::string(type) + "_" + std::to_string(number));
  if (!file.remote) return lcfg_ReadLogger(cfg_ParentDir(file.path).c_str(), type, number, record, length);
  return ReadAll(file, record, 0, length, OS_OPEN_EXISTING, CFG_RF_MAX) ? 0 : -1;
}

int cfg_WriteLoggerConfig(const char *server, const char *type, int number, const void *record, int length,
                          const char *user) {
  if (!Field(type) || length < 0 || (!record && length)) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string name = UserName(user);
  if (cfg_Road(server) != CFG_ROAD_REMOTE) {
    ConfigFile file = FileOf(server, "LOGGERS", std::string(type) + "_" + std::to_string(number));
    return lcfg_WriteLogger(cfg_ParentDir(file.path).c_str(), name.c_str(), type, number, record, length);
  }
  if (!Field(name.c_str())) return Fail(OS_ERROR_INVALID_PARAMETER);
  // The server checks what it is given: no raw write behind its back.
  std::string request = "CF," + std::string(type) + "," + std::to_string(number) + "," + std::to_string(length) + "," +
                        name + ",";
  request.append(static_cast<const char *>(record), static_cast<size_t>(length));
  std::vector<char> reply(64);
  int got = 0;
  bool final = false;
  return Request(server, request, reply, &got, &final) < 0 ? -1 : 0;
}
