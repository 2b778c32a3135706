// The server's plain-text tables ("DATPROC.TXT", "LOGCAP.TXT"): a line reader
// whose state belongs to the calling thread, field splitting at commas, and the
// checks of processor and logger-type lines.
//
// Lines hold at most 499 characters (the rest of a longer line is dropped);
// trailing CR and LF are removed; a line whose first non-blank character is
// '*' is a comment; blank lines are skipped.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int {
  TBL_LINE_MAX = 500,
  TBL_FILE_NAME_MAX = 260,
  TBL_ERROR_MAX = 520,
  TBL_PROC_NAME_SIZE = 10,
  TBL_PROC_PRINT_NAME_SIZE = 26,
  TBL_LOGGER_TYPE_SIZE = 9,
  TBL_CHANNELS_MAX = 62500,
};

// One data processor (from DATPROC.TXT lines and from server replies).
struct ProcessorRecord {
  char Name[TBL_PROC_NAME_SIZE];             // upper case
  char PrintName[TBL_PROC_PRINT_NAME_SIZE];  // upper case
  char Prefix[2];                            // channel prefix, no terminator
  uint16_t Count;                            // channels (ALARM: alarm queue entries)
  uint8_t Run;                               // 1 when the run field is "run"
  uint8_t Type;                              // 2 analogue, 3 digital, 6 "modb" processors
};
static_assert(sizeof(ProcessorRecord) == 42);
static_assert(offsetof(ProcessorRecord, PrintName) == 10 && offsetof(ProcessorRecord, Prefix) == 36);
static_assert(offsetof(ProcessorRecord, Count) == 38 && offsetof(ProcessorRecord, Run) == 40 &&
              offsetof(ProcessorRecord, Type) == 41);

// One logger type (LOGCAP.TXT): its name, lower case.
struct LoggerTypeRecord {
  char Name[TBL_LOGGER_TYPE_SIZE];
};
static_assert(sizeof(LoggerTypeRecord) == 9);

// Opens a table for the calling thread (closing one it still has open): the
// number of data lines, or -1 with the error number. A name without a
// backslash is taken in the current directory.
int tbl_Open(const char *fileName);
void tbl_Close(void);
// 1 with the next data line as the current line; 0 at the end, where the
// reader rewinds and the line number restarts at 0; -1 without a table.
int tbl_NextLine(void);
// The fields of the next data line (at most n): their count, 0 at the end,
// -1 without a table. Fields point into the current line; offsets (may be
// NULL) give each field's position in it.
int tbl_ReadFields(char **fields, int *offsets, int n);
// Cuts `text` in place at commas into at most n fields (the last one keeps any
// further commas); returns the count.
int tbl_SplitFields(char *text, char **fields, int *offsets, int n);

// Accessors of the calling thread's reader (NULL or -1 without a table).
const char *tbl_GetLine(void);
int tbl_GetLineNumber(void);
const char *tbl_GetFileName(void);
const char *tbl_GetErrorText(void);
void tbl_SetErrorText(const char *text);

// Sets the error text to "Can't Parse <file>\nLine <n> : **** <message> ****\n"
// followed by the current data line, with the field at `fieldOffset` of
// `fieldLength` characters (when that is above 0) between ">" and "<", and,
// when code is not 0, "\nError : <code>\n". The text is cut at 519 characters.
void tbl_ReportError(int code, const char *message, int fieldOffset, int fieldLength);

// Checks a DATPROC.TXT line (fields as read) into `record`, which is an entry
// of the caller's table beginning at `first` (the entries before it are checked
// for duplicates). 1 valid; -2 invalid with the error text set. `fileName`
// (NULL: the open table's) names the table in the error text.
int tbl_ParseProcessorLine(const char *fileName, ProcessorRecord *record, char **fields, const int *offsets,
                           int count, const ProcessorRecord *first);
// Checks a LOGCAP.TXT line: 1 valid, -2 invalid with the error text set.
int tbl_ParseLoggerTypeLine(char **fields, int count, LoggerTypeRecord *record);
// Checks a channel prefix (2 characters, the second may be NUL) and count:
// 1 valid; 0 with "invalid channel prefix" or "invalid number of channels"
// reported on the field at fieldOffset / fieldLength.
int tbl_CheckChannelSpec(const char *prefix, int count, int fieldOffset, int fieldLength);

// Two operations of the module that do nothing and return 1.
int tbl_ReservedOneA(void);
int tbl_ReservedOneB(void);
