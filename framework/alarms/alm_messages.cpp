// The alarm messages: state alarms (the alarm bits), limit alarms (the
// warning levels) and the further kinds the server's alarm processor takes.
#include <cerrno>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/alarms/alm_private.h"
#include "platform/os_error.h"

namespace {

void PutValue(AlarmMessage *m, const float *value) {
  if (value) memcpy(&m->value, value, sizeof m->value);
  else m->value = ALM_NO_VALUE;
}

uint32_t Priority(int priority) { return (static_cast<uint32_t>(priority) & 0xFFu) << ALM_PRIORITY_SHIFT; }

// A message for a channel of the current pass, with the area's code.
bool Start(AlarmMessage *m, int channel, const char *computer, const char *user, const float *value) {
  if (!alm_ChannelInPass(channel)) return errno = OS_ERROR_INVALID_PARAMETER, false;
  memset(m, 0, sizeof *m);
  memcpy(m->code, alm_CurrentHeader()->code, 2);
  m->channel = static_cast<uint16_t>(channel + 1);
  PutValue(m, value);
  alm_PutNames(m, computer, user);
  return true;
}

uint32_t Analogue(uint32_t status) { return (status & CST_ANALOGUE) ? ALM_FLAG_ANALOGUE : 0; }

// The further kinds go on a mailslot opened for them alone.
int SendAndClose(const AlarmMessage &m) {
  int rc = alm_WriteAlarm(m);
  alm_CloseAlarmSlot();
  return rc;
}

void PutCode(AlarmMessage *m, const char *code) {
  m->code[0] = code && code[0] ? code[0] : ' ';
  m->code[1] = code && code[0] && code[1] ? code[1] : ' ';
}

}  // namespace

int alm_RaiseStateAlarm(int channel, uint32_t status, int driveCommon, int priority, int delay, const char *computer,
                        const char *user, const float *value) {
  AlarmMessage m;
  if (!Start(&m, channel, computer, user, value)) return -1;
  alm_TestDeviceRow(channel);
  if (status & CST_BAD) m.channel |= ALM_CHANNEL_BAD;
  m.delay = static_cast<uint16_t>(delay);
  m.flags = Analogue(status) | ((status & CST_ALARM_HIGH) ? ALM_FLAG_HIGH : 0) |
            (driveCommon ? ALM_FLAG_DRIVE_COMMON : 0) | Priority(priority);
  return alm_WriteAlarm(m);
}

int alm_ClearStateAlarm(int channel, uint32_t status, const char *computer, const char *user, const float *value) {
  AlarmMessage m;
  if (!Start(&m, channel, computer, user, value)) return -1;
  alm_TestDeviceRow(channel);
  if (status & CST_BAD) m.channel |= ALM_CHANNEL_BAD;
  m.flags = ALM_FLAG_RETURN | Analogue(status) | ((status & CST_ALARM_HIGH) ? ALM_FLAG_HIGH : 0);
  return alm_WriteAlarm(m);
}

int alm_RaiseLimitAlarm(int channel, uint32_t status, int priority, const char *computer, const char *user,
                        const float *value) {
  AlarmMessage m;
  if (!Start(&m, channel, computer, user, value)) return -1;
  m.flags = ALM_FLAG_LIMIT | ((status & CST_WARNING_HIGH) ? ALM_FLAG_HIGH : 0) | Analogue(status) | Priority(priority);
  return alm_WriteAlarm(m);
}

int alm_ClearLimitAlarm(int channel, uint32_t status, const char *computer, const char *user, const float *value) {
  AlarmMessage m;
  if (!Start(&m, channel, computer, user, value)) return -1;
  m.flags = ALM_FLAG_LIMIT | ((status & CST_WARNING_HIGH) ? ALM_FLAG_HIGH : 0) | Analogue(status) | ALM_FLAG_RETURN;
  return alm_WriteAlarm(m);
}

int alm_RaiseStateAlarmLocal(int channel, uint32_t status, int driveCommon, int priority, int delay, const float *value) {
  return alm_RaiseStateAlarm(channel, status, driveCommon, priority, delay, alm_ComputerName(), alm_UserName(), value);
}

int alm_ClearStateAlarmLocal(int channel, uint32_t status, const float *value) {
  return alm_ClearStateAlarm(channel, status, alm_ComputerName(), alm_UserName(), value);
}

int alm_RaiseLimitAlarmLocal(int channel, uint32_t status, int priority, const float *value) {
  return alm_RaiseLimitAlarm(channel, status, priority, alm_ComputerName(), alm_UserName(), value);
}

int alm_ClearLimitAlarmLocal(int channel, uint32_t status, const float *value) {
  return alm_ClearLimitAlarm(channel, status, alm_ComputerName(), alm_UserName(), value);
}

int alm_SendKind2(const char *code, int number, const char *computer, const char *user, const char *text) {
  AlarmMessage m;
  memset(&m, 0, sizeof m);
  PutCode(&m, code);
  m.channel = static_cast<uint16_t>(number);
  m.flags = 2;
  m.value = ALM_NO_VALUE;
  alm_PutNames(&m, computer, user);
  alm_CopyName(m.text, sizeof m.text, text);
  return SendAndClose(m);
}

int alm_SendKind3(const char *computer, const char *user) {
  AlarmMessage m;
  memset(&m, 0, sizeof m);
  PutCode(&m, nullptr);
  m.flags = 3;
  m.value = ALM_NO_VALUE;
  alm_PutNames(&m, computer, user);
  return SendAndClose(m);
}

namespace {

int CodeNumber(uint32_t kind, const char *code, int number, const char *computer, const char *user) {
  AlarmMessage m;
  memset(&m, 0, sizeof m);
  PutCode(&m, code);
  m.channel = static_cast<uint16_t>(number);
  m.flags = kind;
  m.value = ALM_NO_VALUE;
  alm_PutNames(&m, computer, user);
  return SendAndClose(m);
}

}  // namespace

int alm_SendKind6(const char *code, int number, const char *computer, const char *user) {
  return CodeNumber(6, code, number, computer, user);
}

int alm_SendKind7(const char *code, int number, const char *computer, const char *user) {
  return CodeNumber(7, code, number, computer, user);
}

int alm_SendTextFlag(int channel, uint32_t status, const char *computer, const char *user, const float *value) {
  AlarmMessage m;
  if (!Start(&m, channel, computer, user, value)) return -1;
  if (status & CST_BAD) m.channel |= ALM_CHANNEL_BAD;
  m.flags = ALM_FLAG_ANALOGUE;
  m.textFlag = 1;
  return SendAndClose(m);
}
