// The calling thread's text-table reader, shared by the reader and the checks.
#pragma once
#include <cstdio>

#include "framework/tables/tbl_text.h"

struct TextTableState {
  FILE *file;
  char line[TBL_LINE_MAX];  // the current data line, cut in place by field reading
  char copy[TBL_LINE_MAX];  // the same line whole, for error texts
  int lineNumber;           // every line read, comments and blank lines included
  char fileName[TBL_FILE_NAME_MAX];
  char errorText[TBL_ERROR_MAX];
};

// The calling thread's state, or NULL when it has no table open.
TextTableState *tbl_State(void);
// tbl_ReportError with the table named by `fileName` (NULL: the state's).
void tbl_ReportErrorIn(const char *fileName, int code, const char *message, int fieldOffset, int fieldLength);
