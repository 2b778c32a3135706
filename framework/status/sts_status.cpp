#include "framework/status/sts_status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/writers/shm_writers.h"
#include "framework/time/tm_time.h"
#include "platform/os_codepage.h"

namespace {

enum : size_t { kLongText = 80, kShortText = 30, kShortName = 24, kSearchName = 47 };
// Entries of kinds 4 and 5 are named after a logger of the loggers table.
bool NamedByLogger(int kind) { return kind == 4 || kind == 5; }

// The own entry: one of the two forms.
ShortDriverStatusEntry *g_short;
DriverStatusEntry *g_long;

// The link to the entry's channel of the "SYSER" processor (channel 0: none).
struct SyserLink {
  char code[3];
  int channel;
  void *data;
  void *conf;
  ChannelRecord *record;
};
SyserLink g_link;

char *Message() { return g_long ? g_long->message : g_short ? g_short->message : nullptr; }
size_t MessageRoom() { return g_long ? kLongText : kShortText; }

// Stores `text` cut to the entry's room, under the table lock, and tells the readers.
void Store(const char *text) {
  void *seg = shm_ErrorTable()->segment;
  if (shm_Lock(seg) != 0) return;
  char *msg = Message();
  size_t n = strnlen(text, MessageRoom());
  memcpy(msg, text, n);
  msg[n] = '\0';
  shm_NotifyChange(seg, 0);
  shm_Unlock(seg);
}

// The name a SYSER channel carries for a logger's entry: the logger's display
// name (its type decides the form), without the form's blank padding. False
// when the loggers table has no such logger.
bool LoggerChannelName(const char *name, char (&out)[kSearchName + 1]) {
  int32_t k = shm_FindLoggerIndex(name);
  if (k <= 0) return false;
  const LoggerRecord *l = reinterpret_cast<const LoggerRecord *>(shm_LoggerTable()->first) + (k - 1);
  // The record's type name decides the form, as a processor record's name does.
  char type[sizeof l->TypeName + 1] = {}, own[sizeof l->Name + 1] = {};
  memcpy(type, l->TypeName, sizeof l->TypeName);
  memcpy(own, l->Name, sizeof l->Name);
  snprintf(out, sizeof out, "%s", chan_ShortenName(type, own));
  for (size_t n = strlen(out); n > 0 && out[n - 1] == ' ';) out[--n] = '\0';
  return true;
}

// Finds the SYSER channel whose full tag is the name (a logger's entry: its
// channel name); restores a standing message from its record. Runs under the
// table lock.
void Link(int kind, const char *name, char *message, size_t room) {
  g_link = SyserLink{};
  char wanted[kSearchName + 1];
  if (NamedByLogger(kind)) {
    if (!LoggerChannelName(name, wanted)) return;
  } else {
    snprintf(wanted, sizeof wanted, "%s", name);
  }
  const DataProcessorRecord *p = shm_FindProcessor("SYSER");
  if (!p || !p->Code[0] || !p->Code[1]) return;
  char code[3] = {p->Code[0], p->Code[1], 0};
  void *data = shm_OpenDataArea(code);
  void *conf = shm_OpenConfArea(code);
  if (!data || !conf) return;
  const ChannelAreaHeader *h = shm_AreaHeader(data);
  int64_t records = shm_DataLength(conf) / CHAN_RECORD_SIZE;
  int64_t words = (shm_DataLength(data) - static_cast<int64_t>(sizeof(ChannelAreaHeader))) / 4;
  int64_t count = h->count;
  if (count > records) count = records;
  if (count > words) count = words;
  ChannelRecord *table = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(conf));
  for (int64_t i = 0; i < count; ++i) {
    char tag[16];
    chan_JoinTag(&table[i], tag);
    if (os_CompareNoCase(tag, wanted) != 0) continue;
    g_link = SyserLink{{code[0], code[1], 0}, static_cast<int>(i + 1), data, conf, &table[i]};
    if (shm_AreaStatusWords(data)[i] & CST_VALUE) {
      // Only the record's text field holds the message: no more is read.
      char text[CHAN_TEXT_SIZE + 1];
      chan_GetText32(&table[i], CHAN_HIGH_STATE_TEXT_OFFSET, text);
      snprintf(message, room + 1, "%s", text);
    }
    return;
  }
}

void WriteSyserValue(uint32_t value) {
  if (g_link.channel == 0) return;
  shm_WriteDigital(g_link.code, g_link.channel, g_link.channel, &value);
}

}  // namespace

void sts_RegisterDriverStatus(int kind, const char *name) {
  int saved = errno;
  g_short = nullptr;
  g_long = nullptr;
  g_link = SyserLink{};
  if (!name || shm_AttachErrors() != 0) return void(errno = saved);
  const ShmErrorTable *t = shm_ErrorTable();
  if (shm_Lock(t->segment) != 0) return void(errno = saved);
  if (t->longEntries) {
    DriverStatusEntry *freeEntry = nullptr;
    for (int32_t i = 0; i < t->count && !g_long; ++i) {
      DriverStatusEntry *e = &t->longEntries[i];
      if (e->kind == kind && os_CompareNoCaseN(e->name, name, sizeof e->name) == 0) g_long = e;
      else if (!freeEntry && e->name[0] == '\0') freeEntry = e;
    }
    if (!g_long && freeEntry) {
      g_long = freeEntry;
      g_long->kind = static_cast<uint8_t>(kind);
      snprintf(g_long->name, sizeof g_long->name, "%s", name);
      g_long->message[0] = '\0';
    }
    if (g_long) Link(kind, name, g_long->message, sizeof g_long->message - 1);
  } else {
    char cut[kShortName + 1];
    snprintf(cut, sizeof cut, "%s", name);
    ShortDriverStatusEntry *freeEntry = nullptr;
    for (int32_t i = 0; i < t->count && !g_short; ++i) {
      ShortDriverStatusEntry *e = &t->shortEntries[i];
      if (e->kind == kind && os_CompareNoCaseN(e->name, cut, sizeof e->name) == 0) g_short = e;
      else if (e->name[0] == '\0') freeEntry = e;  // the last free one is claimed
    }
    if (!g_short && freeEntry) {
      g_short = freeEntry;
      g_short->kind = static_cast<uint8_t>(kind);
      snprintf(g_short->name, sizeof g_short->name, "%s", cut);
      g_short->message[0] = '\0';
    }
    if (g_short) Link(kind, cut, g_short->message, kShortText);
  }
  shm_Unlock(t->segment);
  errno = saved;
}

void sts_SetDriverStatus(const char *format, ...) {
  int saved = errno;
  char *msg = Message();
  if (!msg) return;
  char text[121];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  // Compared as it will be stored, so a long text set again is no change.
  text[MessageRoom()] = '\0';
  if (os_CompareNoCase(text, msg) != 0) {
    if (text[0] == '\0') {
      sts_ClearDriverStatus();
    } else {
      Store(text);
      if (g_link.channel != 0) {
        if (shm_Lock(g_link.conf) == 0) {
          chan_PutText32(g_link.record, CHAN_HIGH_STATE_TEXT_OFFSET, text);
          chan_PutText32(g_link.record, CHAN_ALARM_TEXT_OFFSET, text);
          shm_NotifyChange(g_link.conf, 0);
          shm_Unlock(g_link.conf);
        }
        if (shm_Lock(g_link.data) == 0) {
          tm_Now(&shm_AreaHeader(g_link.data)->changed);
          shm_Unlock(g_link.data);
        }
        WriteSyserValue(1);
      }
    }
  }
  errno = saved;
}

void sts_ClearDriverStatus(void) {
  int saved = errno;
  char *msg = Message();
  if (msg && msg[0] != '\0') {
    Store("");
    WriteSyserValue(0);
  }
  errno = saved;
}

const char *sts_CurrentStatus(void) {
  char *msg = Message();
  return msg ? msg : "";
}

int sts_SyserChannel(void) { return g_link.channel; }
