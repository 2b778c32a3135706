// Shared between the request senders and their text-table fall-backs.
#pragma once
#include "framework/tables/tbl_text.h"

// The path of a text table in the server's TSQ_CURRENT_CONFIG folder; false
// (errno set) when it cannot be formed.
bool srv_TablePath(const char *server, const char *file, char *out, size_t size);
// The number of data lines of the server's table, or -1 with errno.
int srv_CountTableLines(const char *server, const char *file);
// Processor records from the server's DATPROC.TXT by selector (see
// srv_GetProcessors): the number filled, -2 for a line that fails its check,
// -1 when the table cannot be opened.
int srv_ProcessorsFromTable(const char *server, const char *selector, ProcessorRecord *records, int capacity);
