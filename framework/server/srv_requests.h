// The request lines the framework sends to a SCADA server, the records their
// list replies fill, and the fall-backs to the configuration folder's text
// tables when a server cannot be asked.
//
// Each sender returns the reply's result or -1 with the error in errno and
// the last error. List senders fill at most `capacity` records and return the
// number filled; a record with too few fields fails the call with -1.
#pragma once
#include <cstdint>
#include <string>

#include "framework/tables/tbl_text.h"

enum : int {
  SRV_LIST_REPLY = 32768,     // reply capacity of list requests
  SRV_RESULT_REPLY = 1024,    // a result, or "-1,<code>,<XML error text>"
  SRV_LOGGER_NAME_MAX = 24,
  SRV_LOGGERS_MAX = 2000,
  SRV_ENTRY_TEXT_MAX = 254,
  SRV_ENTRY_SHORT_TEXT_MAX = 30,
  SRV_LOGGER_ENTRY_NAME_MAX = 129,
};

// One entry of a "TP" reply.
struct ProcessorTableEntry {
  uint8_t First;
  uint8_t Second;
  char Text[SRV_ENTRY_TEXT_MAX + 1];  // the fourth field when given, else the third (30 characters)
};

// One entry of a "TL" reply.
struct LoggerTableEntry {
  char Name[SRV_LOGGER_ENTRY_NAME_MAX + 1];
  uint8_t Active;
  uint8_t Third;
  uint8_t Fourth;
  int32_t Fifth;
  char Text[SRV_ENTRY_TEXT_MAX + 1];  // the seventh field when given, else the sixth (30 characters)
};

// "CP,<processor>,<C|I|R|T>" (either case, sent upper case) or ",<code>" for a
// code above 255; any other letter fails with errno 0 and nothing is sent.
// C and T disable the active loggers before and re-enable them after, when
// "ReconfigureLoggers" is on for the server.
int srv_ControlProcessor(const char *server, const char *processor, int command);
int srv_DisableProcessor(const char *server, const char *processor);  // "DP,<processor>"
int srv_EnableProcessor(const char *server, const char *processor);   // "EP,<processor>"
// "QP,": the number of processors; when the request fails, the number of data
// lines of DATPROC.TXT in the server's TSQ_CURRENT_CONFIG folder.
int srv_CountProcessors(const char *server);
// "IP,<selector>": processor records; when the request fails, from DATPROC.TXT
// by the selector ("*,n": the first n lines, a number n: the n-th line, other
// text: the first line of that print name or whose name begins with the
// selector's first five letters). -2 when a DATPROC.TXT line fails its check.
int srv_GetProcessors(const char *server, const char *selector, ProcessorRecord *records, int capacity);
int srv_GetProcessorTable(const char *server, const char *selector, ProcessorTableEntry *entries, int capacity);
int srv_SendYL(const char *server, const char *a, const char *b);  // "YL,a,b"
// "CL,<logger>,<F|S>" (either case) or ",<code>" above 255; other letters: errno 0, -1.
int srv_ControlLogger(const char *server, const char *logger, int command);
int srv_DisableLogger(const char *server, const char *logger);  // "DL,<logger>,<user>"
int srv_EnableLogger(const char *server, const char *logger);   // "EL,<logger>,<user>"
// "NL,<number>": on result 1 the name after "1," (24 characters at most) in
// `name`, otherwise an empty name. Returns the result.
int srv_GetLoggerName(const char *server, int number, char *name, uint32_t size);
int srv_GetLoggerTable(const char *server, const char *selector, LoggerTableEntry *entries, int capacity);
int srv_SendRL(const char *server, const char *logger);  // "RL,<logger>"
// "QL": the number of loggers; when the request fails, the number of data
// lines of LOGCAP.TXT in the server's TSQ_CURRENT_CONFIG folder.
int srv_CountLoggers(const char *server);
int srv_SendML(const char *server, const char *a, const char *b);  // "ML,a,b"
int srv_SendXL(const char *server, const char *a, const char *b);  // "XL,a,b"

// The logger dialogue around "CP" with C or T, when "ReconfigureLoggers" is
// on for the server. srv_DisableActiveLoggers: 0 when the active loggers were
// disabled, or there were none, or the user said No; -1 on failure (loggers
// disabled so far are enabled again). srv_ReenableLoggers enables every logger
// that was disabled and forgets them: 0, or -1 when an "EL" failed.
int srv_DisableActiveLoggers(const char *server);
int srv_ReenableLoggers(const char *server);

// The Yes/No question of the logger dialogue: returns nonzero for Yes. With
// no asker set the answer is No, so nothing is disabled unasked.
typedef int (*SrvAskFn)(const char *question, const char *title);
void srv_SetAsker(SrvAskFn ask);

// HKLM SOFTWARE\Quenford\Tessarine of the host: "%s From Desktop" is "ON";
// "ReconfigureLoggers" begins with "ON" (any case). 1 or 0.
int srv_FromDesktopEnabled(const char *host, const char *name);
int srv_ReconfigureLoggersEnabled(const char *host);
// "LOGGERS\<name>_<number>" in a process-wide buffer.
const char *srv_LoggerKeyName(const char *name, int number);

// A named folder of a server (TSQ_CURRENT_CONFIG, TSQ_LOGGED_DATA,
// REPLAY_OPTIONS, ...) in a buffer of the calling thread; NULL with errno
// when the local folder cannot be resolved.
const char *srv_ResolveServerFolder(const char *server, const char *name);
// The path of a provider server: a "file" URL's path, else the text itself.
std::string srv_ProviderPath(const char *server);

// Four operations of the module that do nothing but return a fixed value.
int srv_ReservedZeroA(void);   // 0
int srv_ReservedZeroB(void);   // 0
int srv_ReservedTwelve(void);  // 12
int srv_ReservedFail(void);    // -1
