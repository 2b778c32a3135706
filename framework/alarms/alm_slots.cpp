// The server's "xalarms" and "derived" mailslots, and the names that go with
// every alarm message.
#include <cerrno>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/alarms/alm_private.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"

namespace {

OsHandle g_alarmSlot;
OsHandle g_derivedSlot;
bool g_derivedTried;

bool ProcessorEnabled(const char *name) {
  const DataProcessorRecord *p = shm_FindProcessor(name);
  return p && p->Enabled;
}

}  // namespace

OsHandle alm_OpenAlarmSlot(void) {
  if (g_alarmSlot) return g_alarmSlot;
  // A failed open is not remembered: the server may come up later.
  if (!ProcessorEnabled("ALARM")) return nullptr;
  g_alarmSlot = ntf_OpenMailslot("xalarms");
  return g_alarmSlot;
}

void alm_CloseAlarmSlot(void) {
  if (g_alarmSlot) os_CloseHandle(g_alarmSlot);
  g_alarmSlot = nullptr;
}

OsHandle alm_OpenDerivedSlot(void) {
  if (g_derivedTried) return g_derivedSlot;
  if (!ProcessorEnabled("DERIVED")) return nullptr;
  g_derivedTried = true;
  int saved = errno;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (attempt > 0) ntf_WaitTicks(10);
    g_derivedSlot = ntf_OpenMailslot("derived");
    if (g_derivedSlot) break;
  }
  errno = saved;
  return g_derivedSlot;
}

void alm_CloseDerivedSlot(void) {
  if (g_derivedSlot) os_CloseHandle(g_derivedSlot);
  g_derivedSlot = nullptr;
  g_derivedTried = false;
}

int alm_WriteAlarm(const AlarmMessage &m) {
  int saved = errno;
  OsHandle h = alm_OpenAlarmSlot();
  if (!h) return errno = saved, 0;
  if (ntf_WriteExact(h, &m, sizeof m) == static_cast<int>(sizeof m)) return errno = saved, 0;
  // A handle gone stale (the server restarted) is opened again for this
  // message; a full queue has had its wait already.
  if (errno == OS_ERROR_SEM_TIMEOUT) return -1;
  alm_CloseAlarmSlot();
  h = alm_OpenAlarmSlot();
  if (!h) return errno = saved, 0;
  return ntf_WriteExact(h, &m, sizeof m) == static_cast<int>(sizeof m) ? (errno = saved, 0) : -1;
}

int alm_WriteDerived(const char code[2]) {
  int saved = errno;
  OsHandle h = alm_OpenDerivedSlot();
  if (!h) return errno = saved, 0;
  if (ntf_WriteExact(h, code, 2) == 2) return errno = saved, 0;
  // Stale: a later pass opens it again.
  if (errno != OS_ERROR_SEM_TIMEOUT) alm_CloseDerivedSlot();
  return -1;
}

const char *alm_ComputerName(void) {
  static char name[ALM_COMPUTER_MAX + 1];
  if (!name[0]) {
    char buf[64];
    uint32_t n = sizeof buf;
    if (os_GetComputerName(buf, &n) == 0) alm_CopyName(name, sizeof name, buf);
  }
  return name;
}

const char *alm_UserName(void) {
  static char name[ALM_USER_MAX + 1];
  if (!name[0]) {
    char buf[257];
    uint32_t n = sizeof buf;
    if (os_GetUserName(buf, &n) == 0) alm_CopyName(name, sizeof name, buf);
  }
  return name;
}

void alm_CopyName(char *out, size_t room, const char *in) {
  size_t n = in ? strnlen(in, room - 1) : 0;
  memcpy(out, in ? in : "", n);
  memset(out + n, 0, room - n);
}

void alm_PutNames(AlarmMessage *m, const char *computer, const char *user) {
  alm_CopyName(m->computer, sizeof m->computer, computer);
  alm_CopyName(m->user, sizeof m->user, user);
}
