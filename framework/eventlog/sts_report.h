// Reports of framework errors that have no status entry to go to, and the
// wide-string conversion of the XML layer.
#pragma once
#include <cstdint>

enum : uint16_t { STS_EVENT_ERROR = 1, STS_EVENT_ID = 102 };

// Reports `text` on `server` ("." is this computer). On the NT family: one
// event of `type` with event id 102 under the product name, with the user;
// on Windows 9x: one line "HH:MM:SS MM/DD/YY text" appended to
// "<server's TSQ_ folder><product>.log". Each report is one line (line ends in
// the text are escaped). 0, or -1 when the report was dropped.
int sts_ReportErrorEvent(const char *server, uint16_t type, const char *text);

// The narrow (code page 1252) text as a wide string in a process-wide buffer,
// valid until the next call of the same conversion; NULL for a NULL text or
// when memory is short. The buffer starts at 1024 characters and grows in steps
// of 1024 until the text fits. BstrFromChar2 is a second conversion with a
// buffer of its own, for a second argument.
const char16_t *BstrFromChar(const char *text);
const char16_t *BstrFromChar2(const char *text);
// The current capacity in characters of the first (which 0) or second buffer.
uint32_t BstrCapacity(int which);

// Closes the calling thread's text-table file and frees its reader state.
void sts_ReleaseTextTable(void);
