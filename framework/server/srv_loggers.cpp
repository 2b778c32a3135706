// The logger dialogue around processor commands, and the host settings it reads.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/registry/cfg_switches.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"

namespace {

// Process-wide and unlocked: processor commands with C or T run one at a time.
LoggerTableEntry *g_loggers;
int g_loggerCount;
SrvAskFn g_ask;

// A text value of the host's server key; false when it cannot be read.
bool HostText(const char *host, const char *name, char *out, uint32_t size) {
  uint32_t type = 0, n = size - 1;
  memset(out, 0, size);
  if (cfg_ReadHostValue(host, name, &type, out, &n) != 0) return false;
  out[size - 1] = '\0';
  return type == OS_REG_SZ || type == OS_REG_EXPAND_SZ;
}

void Forget(void) { g_loggerCount = 0; }

// Enables the first n active loggers of the table; -1 when one failed.
int EnableFirst(const char *server, int n) {
  int rc = 0;
  for (int i = 0; i < n; ++i) {
    if (!g_loggers[i].Active) continue;
    if (srv_EnableLogger(server, g_loggers[i].Name) == -1) rc = -1;
  }
  return rc;
}

}  // namespace

void srv_SetAsker(SrvAskFn ask) { g_ask = ask; }

int srv_FromDesktopEnabled(const char *host, const char *name) {
  char value[300], text[256];
  snprintf(value, sizeof value, "%s From Desktop", name ? name : "");
  return HostText(host, value, text, sizeof text) && strcmp(text, "ON") == 0 ? 1 : 0;
}

int srv_ReconfigureLoggersEnabled(const char *host) {
  char text[256];
  return HostText(host, "ReconfigureLoggers", text, sizeof text) && os_CompareNoCaseN(text, "ON", 2) == 0 ? 1 : 0;
}

const char *srv_LoggerKeyName(const char *name, int number) {
  static char key[300];
  snprintf(key, sizeof key, "LOGGERS\\%s_%d", name ? name : "", number);
  return key;
}

int srv_DisableActiveLoggers(const char *server) {
  Forget();
  int count = srv_CountLoggers(server);
  // No logger: nothing to disable. Failing would refuse every C and T command
  // on a server without loggers, with no error to tell why.
  if (count == 0) return 0;
  if (count < 1 || count > SRV_LOGGERS_MAX) {
    if (count > SRV_LOGGERS_MAX) os_Fail(OS_ERROR_INVALID_DATA);
    return -1;
  }
  if (!g_loggers) {
    g_loggers = static_cast<LoggerTableEntry *>(calloc(SRV_LOGGERS_MAX, sizeof(LoggerTableEntry)));
    if (!g_loggers) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), -1;
  }
  char selector[32];
  snprintf(selector, sizeof selector, "*,%d", count);
  int got = srv_GetLoggerTable(server, selector, g_loggers, SRV_LOGGERS_MAX);
  if (got < 0) return -1;
  bool any = false;
  for (int i = 0; i < got; ++i) any = any || g_loggers[i].Active;
  if (!any) return 0;
  if (!g_ask || !g_ask("Do you wish to disable and re-enable loggers", "Reconfigure Loggers")) return 0;
  for (int i = 0; i < got; ++i) {
    if (!g_loggers[i].Active || srv_DisableLogger(server, g_loggers[i].Name) != -1) continue;
    // Loggers left disabled would stay so: the ones done are enabled again.
    uint32_t err = os_GetLastError();
    EnableFirst(server, i);
    os_Fail(err);
    return -1;
  }
  g_loggerCount = got;
  return 0;
}

int srv_ReenableLoggers(const char *server) {
  int rc = g_loggers ? EnableFirst(server, g_loggerCount) : 0;
  Forget();
  return rc;
}
