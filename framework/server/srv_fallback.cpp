// When a server cannot be asked, its configuration folder's text tables answer.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/server/srv_private.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"

namespace {

enum : int { kFields = 5 };

bool IsDecimal(const char *s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (!isdigit(static_cast<unsigned char>(*s))) return false;
  return true;
}

// The print name a line gives (the name when its second field is empty).
const char *PrintName(char **fields, int count) { return count >= 2 && fields[1][0] ? fields[1] : fields[0]; }

bool Matches(char **fields, int count, const char *selector) {
  size_t n = strnlen(selector, 5);
  return os_CompareNoCase(PrintName(fields, count), selector) == 0 || os_CompareNoCaseN(fields[0], selector, n) == 0;
}

int FirstLines(const char *path, int n, ProcessorRecord *records, int capacity) {
  char *fields[kFields];
  int offsets[kFields];
  int filled = 0;
  while (filled < n && filled < capacity) {
    int count = tbl_ReadFields(fields, offsets, kFields);
    if (count <= 0) break;
    if (tbl_ParseProcessorLine(path, &records[filled], fields, offsets, count, records) != 1) return -2;
    ++filled;
  }
  return filled;
}

// The one line `pick` chooses (called with each line's number and fields).
template <typename F>
int OneLine(const char *path, ProcessorRecord *records, int capacity, F pick) {
  char *fields[kFields];
  int offsets[kFields];
  for (int number = 1;; ++number) {
    int count = tbl_ReadFields(fields, offsets, kFields);
    if (count <= 0) return 0;
    if (!pick(number, fields, count)) continue;
    if (capacity < 1) return 0;
    return tbl_ParseProcessorLine(path, &records[0], fields, offsets, count, records) == 1 ? 1 : -2;
  }
}

}  // namespace

bool srv_TablePath(const char *server, const char *file, char *out, size_t size) {
  const char *dir = srv_ResolveServerFolder(server, "TSQ_CURRENT_CONFIG");
  if (!dir) return false;
  size_t n = strlen(dir);
  const char *sep = n && (dir[n - 1] == '\\' || dir[n - 1] == '/') ? "" : "\\";
  int w = snprintf(out, size, "%s%s%s", dir, sep, file);
  if (w < 0 || static_cast<size_t>(w) >= size) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), false;
  return true;
}

int srv_CountTableLines(const char *server, const char *file) {
  char path[1024];
  if (!srv_TablePath(server, file, path, sizeof path)) return -1;
  int n = tbl_Open(path);
  int e = errno;
  tbl_Close();
  errno = e;
  return n;
}

int srv_ProcessorsFromTable(const char *server, const char *selector, ProcessorRecord *records, int capacity) {
  char path[1024];
  if (!srv_TablePath(server, "DATPROC.TXT", path, sizeof path)) return -1;
  if (tbl_Open(path) < 0) return -1;
  int result;
  if (selector[0] == '*' && selector[1] == ',') {
    result = FirstLines(path, atoi(selector + 2), records, capacity);
  } else if (IsDecimal(selector)) {
    int wanted = atoi(selector);
    result = OneLine(path, records, capacity, [&](int number, char **, int) { return number == wanted; });
  } else {
    result = OneLine(path, records, capacity,
                     [&](int, char **fields, int count) { return Matches(fields, count, selector); });
  }
  tbl_Close();
  return result;
}
