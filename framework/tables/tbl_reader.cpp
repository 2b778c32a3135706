#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/tables/tbl_private.h"
#include "platform/os_file.h"

namespace {

// Frees the state of a thread that ends with its table still open.
struct StateSlot {
  TextTableState *state = nullptr;
  ~StateSlot() {
    if (state) {
      if (state->file) fclose(state->file);
      free(state);
    }
  }
};

thread_local StateSlot t_slot;

// Reads one line of at most TBL_LINE_MAX - 1 characters (the rest of a longer
// line is dropped) without its CR and LF. False at the end of the file.
bool ReadLine(FILE *f, char *buf) {
  size_t n = 0;
  int c = getc(f);
  if (c == EOF) return false;
  while (c != EOF && c != '\n') {
    if (n < TBL_LINE_MAX - 1) buf[n++] = static_cast<char>(c);
    c = getc(f);
  }
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n')) --n;
  buf[n] = '\0';
  return true;
}

bool IsDataLine(const char *line) {
  while (*line == ' ' || *line == '\t') ++line;
  return *line != '\0' && *line != '*';
}

// Appends to a bounded text; what does not fit is cut.
struct Bounded {
  char *buf;
  size_t size, len;
  void Add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (len + 1 >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + len, size - len, fmt, ap);
    va_end(ap);
    if (n > 0) len = len + static_cast<size_t>(n) < size ? len + static_cast<size_t>(n) : size - 1;
  }
};

}  // namespace

TextTableState *tbl_State(void) { return t_slot.state; }

int tbl_Open(const char *fileName) {
  if (!fileName || !*fileName) return errno = EINVAL, -1;
  tbl_Close();
  TextTableState *s = static_cast<TextTableState *>(calloc(1, sizeof(TextTableState)));
  if (!s) return errno = ENOMEM, -1;
  snprintf(s->fileName, sizeof s->fileName, "%s", fileName);
  s->file = os_FOpen(fileName, "rbe");
  if (!s->file) {
    int e = errno;
    free(s);
    return errno = e, -1;
  }
  int count = 0;
  while (ReadLine(s->file, s->line))
    if (IsDataLine(s->line)) ++count;
  rewind(s->file);
  s->line[0] = '\0';
  t_slot.state = s;
  return count;
}

void tbl_Close(void) {
  TextTableState *s = t_slot.state;
  if (!s) return;
  if (s->file) fclose(s->file);
  free(s);
  t_slot.state = nullptr;
}

int tbl_NextLine(void) {
  TextTableState *s = t_slot.state;
  if (!s) return -1;
  while (ReadLine(s->file, s->line)) {
    ++s->lineNumber;
    if (IsDataLine(s->line)) {
      memcpy(s->copy, s->line, sizeof s->copy);
      return 1;
    }
  }
  rewind(s->file);
  s->lineNumber = 0;
  s->line[0] = s->copy[0] = '\0';
  return 0;
}

int tbl_SplitFields(char *text, char **fields, int *offsets, int n) {
  if (!text || !fields || n <= 0) return 0;
  int count = 0;
  char *p = text;
  for (;;) {
    fields[count] = p;
    if (offsets) offsets[count] = static_cast<int>(p - text);
    ++count;
    if (count == n) break;
    char *comma = strchr(p, ',');
    if (!comma) break;
    *comma = '\0';
    p = comma + 1;
  }
  return count;
}

int tbl_ReadFields(char **fields, int *offsets, int n) {
  int r = tbl_NextLine();
  if (r <= 0) return r;
  return tbl_SplitFields(t_slot.state->line, fields, offsets, n);
}

const char *tbl_GetLine(void) { return t_slot.state ? t_slot.state->line : nullptr; }
int tbl_GetLineNumber(void) { return t_slot.state ? t_slot.state->lineNumber : -1; }
const char *tbl_GetFileName(void) { return t_slot.state ? t_slot.state->fileName : nullptr; }
const char *tbl_GetErrorText(void) { return t_slot.state ? t_slot.state->errorText : nullptr; }

void tbl_SetErrorText(const char *text) {
  if (t_slot.state) snprintf(t_slot.state->errorText, sizeof t_slot.state->errorText, "%s", text ? text : "");
}

void tbl_ReportErrorIn(const char *fileName, int code, const char *message, int fieldOffset, int fieldLength) {
  TextTableState *s = t_slot.state;
  if (!s) return;
  Bounded out{s->errorText, sizeof s->errorText, 0};
  s->errorText[0] = '\0';
  out.Add("Can't Parse %s\nLine %d : **** %s ****\n", fileName ? fileName : s->fileName, s->lineNumber,
          message ? message : "");
  const char *line = s->copy;
  int len = static_cast<int>(strlen(line));
  if (fieldLength > 0 && fieldOffset >= 0 && fieldOffset <= len) {
    int flen = fieldLength < len - fieldOffset ? fieldLength : len - fieldOffset;
    out.Add("%.*s>%.*s<%s", fieldOffset, line, flen, line + fieldOffset, line + fieldOffset + flen);
  } else {
    out.Add("%s", line);
  }
  if (code != 0) out.Add("\nError : %d\n", code);
}

void tbl_ReportError(int code, const char *message, int fieldOffset, int fieldLength) {
  tbl_ReportErrorIn(nullptr, code, message, fieldOffset, fieldLength);
}
