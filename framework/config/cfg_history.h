// The change history "recent_history.txt": one line per changed field, kept
// in the configuration folder when the configuration's history switch is on.
//
// The file handle, its line prefix and the switch are process-wide:
// configuration writes run on one thread at a time.
#pragma once
#include <cstdint>

enum : int { CFG_HISTORY_LINE_MAX = 5000, CFG_USER_NAME_MAX = 32 };

// Whether history is kept: the first byte of the device record in the
// configuration folder's own "config" file, worked out once per process.
int cfg_HistoryEnabled(void);
void cfg_SetHistoryEnabled(int flag);
// Makes the next cfg_HistoryEnabled work the switch out again (tests, tools).
void cfg_ForgetHistorySwitch(void);

// Opens the history of the working folder's configuration; kindPlusOne is the
// channel kind + 1, or 0 for device settings. 1 when open, 0 when it cannot be.
int cfg_OpenHistory(int kindPlusOne);
// The same for the configuration that holds `directory`; doesXml tells
// whether its extension library supports XML (-1: ask it).
int cfg_OpenHistoryIn(const char *directory, int kindPlusOne, int doesXml = -1);
// One line "date\ttime\tuser\tprefix.[channel.]field old -> new"; `channel`
// 0 for device settings; user NULL or "" is the process's user.
void cfg_WriteHistoryLine(const char *user, int channel, const char *field, const char *oldText, const char *newText);
void cfg_CloseHistory(void);
