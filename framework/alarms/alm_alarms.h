// Alarm messages to the server's alarm processor (mailslot "xalarms"), event
// and significant-change counts for the loggers, and the derived-value notice
// (the area's code, mailslot "derived").
//
// Counting and the channel messages work inside one event pass of one data
// area: alm_BeginScanEvents .. alm_EndScanEvents, on the main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/shm/shm_areas.h"
#include "platform/os_handle.h"

// One "xalarms" message: 296 bytes, little-endian, unlisted bytes zero.
struct AlarmMessage {
  char code[2];         // 0: the area's code (two blanks in the kind-3 message)
  uint16_t channel;     // 2: from 1; bit 15 when the channel is bad
  uint16_t delay;       // 4: state alarm raise
  uint8_t reserved6[2];
  uint32_t flags;       // 8: ALM_FLAG_*, priority in bits 7-14
  uint32_t value;       // 12: float bits, ALM_NO_VALUE when there is none
  char computer[16];    // 16: NUL-terminated
  char user[33];        // 32: NUL-terminated
  char text[227];       // 65
  uint32_t textFlag;    // 292: bit 0
};
static_assert(sizeof(AlarmMessage) == 296);
static_assert(offsetof(AlarmMessage, channel) == 2 && offsetof(AlarmMessage, delay) == 4);
static_assert(offsetof(AlarmMessage, flags) == 8 && offsetof(AlarmMessage, value) == 12);
static_assert(offsetof(AlarmMessage, computer) == 16 && offsetof(AlarmMessage, user) == 32);
static_assert(offsetof(AlarmMessage, text) == 65 && offsetof(AlarmMessage, textFlag) == 292);

constexpr uint32_t ALM_FLAG_RETURN = 0x01;        // return to normal
constexpr uint32_t ALM_FLAG_EXTRA_KIND = 0x02;    // kinds 2, 3, 6, 7
constexpr uint32_t ALM_FLAG_LIMIT = 0x04;         // limit (warning level) alarm
constexpr uint32_t ALM_FLAG_ANALOGUE = 0x08;
constexpr uint32_t ALM_FLAG_HIGH = 0x10;
constexpr uint32_t ALM_FLAG_DRIVE_COMMON = 0x20;
constexpr uint32_t ALM_PRIORITY_SHIFT = 7;        // priority in bits 7-14
constexpr uint32_t ALM_KIND_MASK = 0x07;          // 0 raised, 1 returned, 4 limit raised, 5 limit returned
constexpr uint32_t ALM_NO_VALUE = 0x7FFFFFFF;
constexpr uint16_t ALM_CHANNEL_BAD = 0x8000;
constexpr int ALM_MAX_LOGGERS = 2000;
constexpr int ALM_COMPUTER_MAX = 15;
constexpr int ALM_USER_MAX = 32;

// The mailslots, opened on first need. "xalarms" needs an enabled processor
// "ALARM" and is opened again after a failure; "derived" needs an enabled
// processor "DERIVED" and is tried once (up to 10 attempts 100 ms apart).
OsHandle alm_OpenAlarmSlot(void);
OsHandle alm_OpenDerivedSlot(void);
void alm_CloseAlarmSlot(void);
// Also lets the next notice try the open again.
void alm_CloseDerivedSlot(void);

// The event pass of one data area: opens (cached) and locks its event area.
// -1 when it has none; the counting and channel calls then refuse until the
// next begin. Ends the process's pass first when one is still open.
int alm_BeginScanEvents(ChannelAreaHeader *header);
// Signals every enabled logger that counted anything (200000 + net events,
// bit 31 after a significant change), unlocks, writes the derived notice when
// a channel of the device's own row was hit. -1 without a pass.
int alm_EndScanEvents(void);
// Channels from 0. -1 without a pass or for a channel beyond the count.
int alm_EventOn(int channel);
int alm_EventOff(int channel);
int alm_SigChangeEvent(int channel);

// Channel messages of the current pass. value NULL: none. 0 also when the
// alarm mailslot is not available (dropped); -1 without a pass, for a channel
// beyond the count, or when the message was not written whole.
int alm_RaiseStateAlarm(int channel, uint32_t status, int driveCommon, int priority, int delay, const char *computer,
                        const char *user, const float *value);
int alm_ClearStateAlarm(int channel, uint32_t status, const char *computer, const char *user, const float *value);
int alm_RaiseLimitAlarm(int channel, uint32_t status, int priority, const char *computer, const char *user,
                        const float *value);
int alm_ClearLimitAlarm(int channel, uint32_t status, const char *computer, const char *user, const float *value);
// The same with this computer's and the logged-on user's names.
int alm_RaiseStateAlarmLocal(int channel, uint32_t status, int driveCommon, int priority, int delay, const float *value);
int alm_ClearStateAlarmLocal(int channel, uint32_t status, const float *value);
int alm_RaiseLimitAlarmLocal(int channel, uint32_t status, int priority, const float *value);
int alm_ClearLimitAlarmLocal(int channel, uint32_t status, const float *value);

// The further kinds; each closes the alarm mailslot after sending.
int alm_SendKind2(const char *code, int number, const char *computer, const char *user, const char *text);
int alm_SendKind3(const char *computer, const char *user);
int alm_SendKind6(const char *code, int number, const char *computer, const char *user);
int alm_SendKind7(const char *code, int number, const char *computer, const char *user);
// Kind 0 with the analogue bit and the text flag, for a channel of the current pass.
int alm_SendTextFlag(int channel, uint32_t status, const char *computer, const char *user, const float *value);

// This computer's name (15 characters at most) and the user's (32).
const char *alm_ComputerName(void);
const char *alm_UserName(void);
// Fills the names of a message, cut to their fields.
void alm_PutNames(AlarmMessage *m, const char *computer, const char *user);
