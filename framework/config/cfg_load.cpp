#include "framework/config/cfg_load.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_load_private.h"
#include "framework/config/cfg_path.h"
#include "framework/config/chan_files.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"
#include "platform/os_io.h"

namespace {

// AutoEnable is byte 0 of "config", which is created when missing; a file
// without that byte (as one just created) holds no switch: off.
int ReadAutoEnable(const std::string &path, uint8_t *out) {
  OsHandle file = os_CreateFile(path.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                                OS_OPEN_ALWAYS, 0);
  if (!file) return -1;
  uint8_t b = 0;
  uint32_t got = 0;
  int rc = os_ReadFile(file, &b, 1, &got);
  uint32_t code = os_GetLastError();
  os_CloseHandle(file);
  if (rc != 0) return os_Fail(code), -1;
  *out = got == 1 ? b : 0;
  return 0;
}

int LoadBinary(const ExtEntryPoints *eps, const std::string &folder, const CfgLoadRequest &r) {
  std::string config = cfg_JoinPath(folder, "config");
  if (r.autoEnable && ReadAutoEnable(config, r.autoEnable) != 0) return -1;
  if (r.saveOutputs || r.saveByTag || r.saveRate) {
    uint8_t raw[CFG_SAVECONFIG_SIZE];
    if (cfg_ReadFileAt(cfg_JoinPath(folder, "saveconfig"), 0, raw, sizeof raw) != 0) return -1;
    if (r.saveOutputs) *r.saveOutputs = raw[0];
    if (r.saveByTag) *r.saveByTag = raw[1];
    if (r.saveRate) memcpy(r.saveRate, raw + CFG_SAVERATE_OFFSET, 4);
  }
  if (r.config && r.configSize && cfg_ReadFileAt(config, CFG_RECORD_OFFSET, r.config, r.configSize) != 0) return -1;
  if (r.extra && r.extraSize && r.extraFile && *r.extraFile) {
    memset(r.extra, 0, r.extraSize);
    uint32_t at = ext_ConfigExtraFileOffset(eps, r.extra, r.extraSize);
    // A missing file, or one that stops short, leaves the block zeroed beyond it.
    if (cfg_ReadFileAt(cfg_JoinPath(folder, r.extraFile), at, r.extra, r.extraSize) != 0 &&
        errno != OS_ERROR_FILE_NOT_FOUND && errno != OS_ERROR_HANDLE_EOF)
      return -1;
  }
  return 0;
}

}  // namespace

int cfg_LoadConfigFilesBound(const ExtEntryPoints *eps, const std::string &dir, const CfgLoadRequest &req) {
  if (ext_DoesXml(eps) && cfg_ReadXmlEnabled(dir.c_str()) && cfg_FileExists(cfg_JoinPath(dir, "config.xml")))
    return cfg_LoadConfigXml(eps, dir, req);
  return LoadBinary(eps, dir, req);
}

int cfg_LoadConfigFiles(const char *folder, const CfgLoadRequest &req) {
  std::string dir = cfg_AbsoluteDir(folder);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = cfg_LoadConfigFilesBound(&eps, dir, req);
  uint32_t e = rc != 0 ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}

int cfg_LoadDeviceConfig(void *buffer, uint32_t size) {
  return cfg_LoadConfigFiles(".", {.config = buffer, .configSize = size});
}

int sav_LoadSettings(uint8_t *saveOutputs, uint8_t *saveByTag, uint32_t *saveRate) {
  uint8_t outputs = 0, byTag = 0;
  uint32_t rate = 0;
  if (cfg_LoadConfigFiles(".", {.saveOutputs = &outputs, .saveByTag = &byTag, .saveRate = &rate}) != 0) return -1;
  if (saveOutputs) *saveOutputs = outputs;
  if (saveByTag) *saveByTag = byTag;
  if (saveRate) *saveRate = rate;
  return 0;
}

int32_t cfg_ReloadChannelTableEx(int ioType, ChannelAreaHeader *header, void *extra, uint32_t extraSize,
                                 const char *extraFile) {
  if (!header || ioType < 0 || ioType >= IO_TYPE_COUNT) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string dir = cfg_AbsoluteDir(".");
  std::string name = chan_KindShortName(ioType);
  std::string file = cfg_JoinPath(dir, (name + ".xml").c_str());
  if (!(cfg_ReadXmlEnabled(".") && ext_HasDoXml(dir.c_str()) && cfg_FileExists(file)))
    file = cfg_JoinPath(dir, name.c_str());
  TimeStamp stamp;
  if (cfg_FileStamp(file, &stamp) != 0) return -1;
  if (stamp.seconds == header->changed.seconds && stamp.ms == header->changed.ms) return 0;
  char code[3] = {header->code[0], header->code[1], 0};
  void *conf = shm_OpenConfArea(code);
  if (!conf) return -1;
  uint16_t count = header->count;
  if (shm_DataLength(conf) < static_cast<int64_t>(count) * CHAN_RECORD_SIZE)
    return os_Fail(OS_ERROR_INVALID_DATA), -1;
  // The area changes only once the whole table has been read.
  std::vector<ChannelRecord> table(count);
  if (chan_ReadChannels(dir.c_str(), ioType, table.data(), 0, count, extra, extraSize, extraFile) != 0) return -1;
  if (count) memcpy(shm_AreaRecords(conf), table.data(), static_cast<size_t>(count) * CHAN_RECORD_SIZE);
  header->changed = stamp;
  shm_NotifyChange(conf, 0);
  return static_cast<int32_t>(count) * static_cast<int32_t>(CHAN_RECORD_SIZE);
}

int32_t cfg_ReloadChannelTable(int ioType, ChannelAreaHeader *header) {
  return cfg_ReloadChannelTableEx(ioType, header, nullptr, 0, nullptr);
}

void *fw_Allocate(size_t size) { return malloc(size ? size : 1); }
void fw_Free(void *p) { free(p); }
