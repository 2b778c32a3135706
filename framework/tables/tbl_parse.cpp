#include <cctype>
#include <cstring>

#include "framework/tables/tbl_private.h"
#include "platform/os_codepage.h"

namespace {

enum : int { kParseCode = 1, kNameMax = 8, kPrintNameMax = 24, kLoggerTypeMax = 8 };

// Where field i starts in the current line: from the caller's offsets, else
// from the field's place in the reader's line; -1 when unknown.
int FieldOffset(char **fields, const int *offsets, int i) {
  if (offsets) return offsets[i];
  TextTableState *s = tbl_State();
  if (s && fields[i] >= s->line && fields[i] < s->line + sizeof s->line) return static_cast<int>(fields[i] - s->line);
  return -1;
}

int FieldLength(char **fields, int i) { return static_cast<int>(strlen(fields[i])); }

void CopyUpper(char *to, const char *from, size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<char>(toupper(static_cast<unsigned char>(from[i])));
}

// A decimal number with nothing but blanks after it; -1 when the text is not one.
long Decimal(const char *text) {
  const char *p = text;
  long v = 0;
  if (!isdigit(static_cast<unsigned char>(*p))) return -1;
  while (isdigit(static_cast<unsigned char>(*p))) {
    if (v < 1000000) v = v * 10 + (*p - '0');
    ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return *p ? -1 : v;
}

int Invalid(const char *fileName, const char *message, char **fields, const int *offsets, int i) {
  tbl_ReportErrorIn(fileName, kParseCode, message, FieldOffset(fields, offsets, i), FieldLength(fields, i));
  return -2;
}

}  // namespace

int tbl_CheckChannelSpec(const char *prefix, int count, int fieldOffset, int fieldLength) {
  const char *message = nullptr;
  if (!prefix || !isalpha(static_cast<unsigned char>(prefix[0])) ||
      (prefix[1] && !isalpha(static_cast<unsigned char>(prefix[1]))))
    message = "invalid channel prefix";
  else if (count < 1 || count > TBL_CHANNELS_MAX)
    message = "invalid number of channels";
  if (!message) return 1;
  tbl_ReportError(kParseCode, message, fieldOffset, fieldLength);
  return 0;
}

int tbl_ParseProcessorLine(const char *fileName, ProcessorRecord *record, char **fields, const int *offsets,
                           int count, const ProcessorRecord *first) {
  if (!record || !fields) return -2;
  memset(record, 0, sizeof *record);
  if (count < 1 || !fields[0] || !*fields[0]) {
    tbl_ReportErrorIn(fileName, kParseCode, "no processor name specified", -1, 0);
    return -2;
  }
  size_t nameLen = strlen(fields[0]);
  if (nameLen > kNameMax) return Invalid(fileName, "processor name too long", fields, offsets, 0);
  CopyUpper(record->Name, fields[0], nameLen);
  int printField = 0;
  if (count >= 2 && fields[1][0]) {
    size_t printLen = strlen(fields[1]);
    if (printLen > kPrintNameMax) return Invalid(fileName, "processor print name too long", fields, offsets, 1);
    CopyUpper(record->PrintName, fields[1], printLen);
    printField = 1;
  } else {
    memcpy(record->PrintName, record->Name, sizeof record->Name);
  }
  for (const ProcessorRecord *p = first; p && p < record; ++p) {
    if (os_CompareNoCaseN(p->Name, record->Name, sizeof p->Name) == 0)
      return Invalid(fileName, "duplicate processor name", fields, offsets, 0);
    if (os_CompareNoCaseN(p->PrintName, record->PrintName, sizeof p->PrintName) == 0)
      return Invalid(fileName, "duplicate processor print name", fields, offsets, printField);
  }
  bool alarm = strcmp(record->Name, "ALARM") == 0;
  bool custa = strcmp(record->Name, "CUSTA") == 0;
  if (!alarm && count >= 3 && fields[2][0]) {
    const char *spec = fields[2];
    size_t len = strlen(spec);
    if (spec[1] == '-') {
      char letter = static_cast<char>(toupper(static_cast<unsigned char>(spec[0])));
      if (os_CompareNoCaseN(record->Name, "MODB", 4) == 0)
        record->Type = 6;
      else if (letter == 'A')
        record->Type = 2;
      else if (letter == 'D')
        record->Type = 3;
      else
        return Invalid(fileName, "channel type must be A or D", fields, offsets, 2);
    } else {
      record->Type = 3;
    }
    char prefix[3] = {0, 0, 0};
    if (len > 2) prefix[0] = spec[2];
    if (len > 3 && spec[3] != ':') prefix[1] = spec[3];
    const char *colon = len > 2 ? strchr(spec + 2, ':') : nullptr;
    long channels = colon ? Decimal(colon + 1) : 0;
    if (!tbl_CheckChannelSpec(prefix, static_cast<int>(channels), FieldOffset(fields, offsets, 2),
                              FieldLength(fields, 2)))
      return -2;
    memcpy(record->Prefix, prefix, sizeof record->Prefix);
    record->Count = static_cast<uint16_t>(channels);
  }
  if (custa) record->Type = 2;
  if (count >= 4 && fields[3][0] && os_CompareNoCase(fields[3], "run") == 0) {
    record->Run = 1;
    if (alarm) {
      long entries = count >= 3 && fields[2][0] ? Decimal(fields[2]) : 256;
      if (entries < 2 || entries > 1000)
        return Invalid(fileName, "invalid number of alarm queue entries", fields, offsets, 2);
      record->Count = static_cast<uint16_t>(entries);
    }
  }
  return 1;
}

int tbl_ParseLoggerTypeLine(char **fields, int count, LoggerTypeRecord *record) {
  if (!record || !fields) return -2;
  memset(record, 0, sizeof *record);
  if (count < 1 || !fields[0] || !*fields[0]) {
    tbl_ReportError(kParseCode, "no logger name specified", -1, 0);
    return -2;
  }
  size_t len = strlen(fields[0]);
  if (len > kLoggerTypeMax) {
    tbl_ReportError(kParseCode, "logger type name too long", FieldOffset(fields, nullptr, 0), static_cast<int>(len));
    return -2;
  }
  for (size_t i = 0; i < len; ++i) record->Name[i] = static_cast<char>(tolower(static_cast<unsigned char>(fields[0][i])));
  return 1;
}

int tbl_ReservedOneA(void) { return 1; }
int tbl_ReservedOneB(void) { return 1; }
