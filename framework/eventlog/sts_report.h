// Reports of framework errors that have no status entry to go to.
#pragma once
#include <cstdint>

enum : uint16_t { STS_EVENT_ERROR = 1, STS_EVENT_ID = 102 };

// Reports `text` on `server` ("." is this computer). On the NT family: one
// event of `type` with event id 102 under the product name, with the user;
// on Windows 9x: one line "HH:MM:SS MM/DD/YY text" appended to
// "<server's TSQ_ folder><product>.log". Each report is one line (line ends in
// the text are escaped). 0, or -1 when the report was dropped.
int sts_ReportErrorEvent(const char *server, uint16_t type, const char *text);

// Closes the calling thread's text-table file and frees its reader state.
void sts_ReleaseTextTable(void);
