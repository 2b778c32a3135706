#include "framework/status/sts_status.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"

namespace {

enum : size_t { kLongText = 80, kShortText = 30, kShortName = 24 };

// The own entry: one of the two forms.
ShortDriverStatusEntry *g_short;
DriverStatusEntry *g_long;

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

}  // namespace

void sts_RegisterDriverStatus(int kind, const char *name) {
  int saved = errno;
  g_short = nullptr;
  g_long = nullptr;
  if (!name || shm_AttachErrors() != 0) return void(errno = saved);
  const ShmErrorTable *t = shm_ErrorTable();
  if (shm_Lock(t->segment) != 0) return void(errno = saved);
  if (t->longEntries) {
    DriverStatusEntry *freeEntry = nullptr;
    for (int32_t i = 0; i < t->count && !g_long; ++i) {
      DriverStatusEntry *e = &t->longEntries[i];
      if (e->kind == kind && strncasecmp(e->name, name, sizeof e->name) == 0) g_long = e;
      else if (!freeEntry && e->name[0] == '\0') freeEntry = e;
    }
    if (!g_long && freeEntry) {
      g_long = freeEntry;
      g_long->kind = static_cast<uint8_t>(kind);
      snprintf(g_long->name, sizeof g_long->name, "%s", name);
      g_long->message[0] = '\0';
    }
  } else {
    char cut[kShortName + 1];
    snprintf(cut, sizeof cut, "%s", name);
    ShortDriverStatusEntry *freeEntry = nullptr;
    for (int32_t i = 0; i < t->count && !g_short; ++i) {
      ShortDriverStatusEntry *e = &t->shortEntries[i];
      if (e->kind == kind && strncasecmp(e->name, cut, sizeof e->name) == 0) g_short = e;
      else if (e->name[0] == '\0') freeEntry = e;  // the last free one is claimed
    }
    if (!g_short && freeEntry) {
      g_short = freeEntry;
      g_short->kind = static_cast<uint8_t>(kind);
      snprintf(g_short->name, sizeof g_short->name, "%s", cut);
      g_short->message[0] = '\0';
    }
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
  text[MessageRoom()] = '\0';
  if (strcasecmp(text, msg) != 0) {
    if (text[0] == '\0')
      sts_ClearDriverStatus();
    else
      Store(text);
  }
  errno = saved;
}

void sts_ClearDriverStatus(void) {
  int saved = errno;
  char *msg = Message();
  if (msg && msg[0] != '\0') Store("");
  errno = saved;
}

const char *sts_CurrentStatus(void) {
  char *msg = Message();
  return msg ? msg : "";
}
