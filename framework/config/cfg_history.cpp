#include "framework/config/cfg_history.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_load.h"
#include "framework/config/cfg_path.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_io.h"

namespace {

int g_enabled = -1;  // not worked out yet
OsHandle g_file = nullptr;
std::string g_prefix;

// A channel file of a kind other than `own` in the directory.
bool OtherChannelFile(const std::string &dir, int own, int doesXml) {
  bool xml = cfg_ReadXmlEnabled(dir.c_str()) && (doesXml >= 0 ? doesXml != 0 : ext_HasDoXml(dir.c_str()) != 0);
  for (int k = 0; k <= 5; ++k) {
    if (k == own) continue;
    std::string name = chan_KindShortName(k);
    if (xml) name += ".xml";
    if (cfg_FileExists(cfg_JoinPath(dir, name.c_str()))) return true;
  }
  return false;
}

}  // namespace

int cfg_HistoryEnabled(void) {
  if (g_enabled >= 0) return g_enabled;
  int e = errno;
  std::string dir = cfg_AbsoluteDir(".");
  std::string folder = cfg_IsCurrentConfigFolder(dir) ? dir : cfg_ParentDir(dir);
  uint8_t flag = 0;
  g_enabled = !folder.empty() &&
                      cfg_LoadConfigFiles(folder.c_str(), {.config = &flag, .configSize = 1}) == 0 &&
                      flag != 0
                  ? 1
                  : 0;
  errno = e;
  return g_enabled;
}

void cfg_SetHistoryEnabled(int flag) { g_enabled = flag ? 1 : 0; }
void cfg_ForgetHistorySwitch(void) { g_enabled = -1; }

int cfg_OpenHistoryIn(const char *directory, int kindPlusOne, int doesXml) {
  if (g_file) return 1;
  int e = errno;
  std::string dir = cfg_AbsoluteDir(directory);
  std::string file;
  if (cfg_IsCurrentConfigFolder(dir)) {
    file = cfg_JoinPath(dir, "recent_history.txt");
    g_prefix.clear();
  } else {
    file = cfg_JoinPath(cfg_ParentDir(dir), "recent_history.txt");
    g_prefix = cfg_LastComponent(dir);
    if (kindPlusOne > 0 && g_prefix.find('_') != std::string::npos) {
      int kind = kindPlusOne - 1;
      if (OtherChannelFile(dir, kind, doesXml)) {
        std::string upper = chan_KindShortName(kind);
        for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        g_prefix += "." + upper + ".Channels";
      } else {
        g_prefix += ".Channels";
      }
    }
  }
  // Appends only: lines of several writers never overwrite each other.
  g_file = os_CreateFile(file.c_str(), OS_GENERIC_READ | OS_FILE_APPEND_DATA, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                         OS_OPEN_ALWAYS, 0);
  errno = e;
  return g_file ? 1 : 0;
}

int cfg_OpenHistory(int kindPlusOne) { return cfg_OpenHistoryIn(".", kindPlusOne); }

void cfg_WriteHistoryLine(const char *user, int channel, const char *field, const char *oldText, const char *newText) {
  if (!g_file) return;
  std::string who = user ? user : "";
  if (who.empty()) {
    char name[257] = "";
    uint32_t n = sizeof name;
    if (os_GetUserName(name, &n) == 0) who = std::string(name).substr(0, CFG_USER_NAME_MAX);
  }
  TmCalendar now;
  tm_LocalCalendar(&now);
  char head[128];
  snprintf(head, sizeof head, "%04d/%02d/%02d\t%02d:%02d:%02d\t", now.year, now.month, now.day, now.hour, now.minute,
           now.second);
  std::string line = std::string(head) + who + "\t" + g_prefix + (g_prefix.empty() ? "" : ".");
  if (channel) line += std::to_string(channel) + ".";
  line += std::string(field ? field : "") + " " + (oldText ? oldText : "") + " -> " + (newText ? newText : "") + "\r\n";
  if (line.size() > CFG_HISTORY_LINE_MAX) return;
  // A history line is no part of the change: its failure leaves no error behind.
  int e = errno;
  uint32_t last = os_GetLastError(), written = 0;
  os_WriteFile(g_file, line.data(), static_cast<uint32_t>(line.size()), &written);
  os_SetLastError(last);
  errno = e;
}

void cfg_CloseHistory(void) {
  if (g_file) os_CloseHandle(g_file);
  g_file = nullptr;
  g_prefix.clear();
}
