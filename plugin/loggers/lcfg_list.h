// The list of configured loggers of a configuration: asked of its server
// ("IL,<selector>"), else built from the server's "LOGCAP.TXT" and the
// records of its "LOGGERS" folder.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int {
  LCFG_LIST_TYPE_MAX = 9,
  LCFG_LIST_DESCRIPTION_MAX = 24,
  LCFG_LIST_REPLY = 32768,
  // "*,n" is sent only while n x 150 stays below this.
  LCFG_LIST_SEND_LIMIT = 32767,
};

// One entry of the caller's array; the bytes after the description are
// never written.
struct LoggerListEntry {
  char TypeName[LCFG_LIST_TYPE_MAX + 1];
  uint16_t Number;
  char Description[LCFG_LIST_DESCRIPTION_MAX + 1];
  uint8_t rest[105];
};
static_assert(sizeof(LoggerListEntry) == 142);
static_assert(offsetof(LoggerListEntry, Number) == 10 && offsetof(LoggerListEntry, Description) == 12 &&
              offsetof(LoggerListEntry, rest) == 37);

// Selectors: "*,n" the first n loggers, a decimal number n the n-th logger,
// any other text the first logger of that type name (letter case ignored).
// Fills at most `capacity` entries (and at most n, or 1): the number filled,
// 0 when none, -1 on a failure (errno and the last error set), -2 when a
// line of LOGCAP.TXT fails its check (its text in tbl_GetErrorText).
int lcfg_ListLoggers(const char *server, const char *selector, LoggerListEntry *entries, int capacity);

// The same from the tables of a configuration folder alone (the server's
// own answer to "IL").
int lcfg_ListLoggersIn(const char *configFolder, const char *selector, LoggerListEntry *entries, int capacity);

// Parses the reply of "IL" (`size` bytes, not necessarily terminated) into
// at most `capacity` entries: the number filled; -1 (OS_ERROR_INVALID_DATA)
// for a piece short of its three fields or a bad number.
int lcfg_ParseLoggerList(const char *reply, int size, LoggerListEntry *entries, int capacity);

// How many entries a selector can give at most ("*,n": n, at least 0;
// otherwise 1).
int64_t lcfg_ListSelectorLimit(const char *selector);

// The reply line of a list: "n,type,number,description;...".
int lcfg_FormatLoggerList(const LoggerListEntry *entries, int count, char *out, size_t size);
