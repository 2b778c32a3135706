// Small services beside the database stores: base64 of the MySQL password,
// the split of a period for display, the configured server name, the text
// translation tables, and the two forms of a channel's state texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/config/chan_record.h"

struct TmSplit {
  uint8_t minutes;     // at most 99: longer periods are held there
  uint8_t seconds;     // 0-59
  uint16_t milliseconds;
};
// A period in milliseconds (a negative one counts as 0) for display.
TmSplit tm_SplitMilliseconds(int64_t milliseconds);

// Standard base64. Decoding stops at the first '=' or at the first character
// outside the alphabet; a final group of n characters (2-3) gives n - 1
// bytes. At most `size` bytes are written; the decoded length.
size_t db_Base64Decode(const char *text, uint8_t *out, size_t size);
// '='-padded to a multiple of four.
std::string db_Base64Encode(const uint8_t *data, size_t length);

// HKCU SOFTWARE\Quenford\Tessarine "ServerName", else this computer's name.
const char *db_GetServerName(void);

// Translation tables of tags, descriptions and units (kinds 0, 1, 2; result
// bounds 16, 33, 9 characters with the terminator).
enum : int { TR_TAGS = 0, TR_DESCRIPTIONS = 1, TR_UNITS = 2, TR_KINDS = 3, TR_MESSAGE_SIZE = 400 };
// Loads "<name>.txt" or else "<name>.csv" of the server's TSQ_TRANSLATIONS
// folder (UTF-16LE with its byte-order mark, else UTF-8; a tab or else the
// first comma separates source and translation; the first such line is a
// heading). Neither file: an empty table. 0, or -1 with a message.
int tr_LoadTranslationTable(const char *server, int kind, const char *name, char *message);
int tr_LoadTranslations(const char *server, char *message);
void tr_FreeTranslations(void);
// Widens text into result (bound characters with the terminator) and puts
// the table's translation there when one matches, ignoring case. 1 when
// translated, else 0.
int tr_Translate(int kind, const char *text, char16_t *result, size_t bound);
const char16_t *tr_TranslateTag(const ChannelRecord *record);
const char16_t *tr_TranslateDescription(const ChannelRecord *record);
const char16_t *tr_TranslateUnits(const ChannelRecord *record);

// The digital state texts (32 bytes): narrow, or wide (bytes 0, 0xFF, then at
// most 15 UTF-16 characters). To wide: "" for an analogue channel; narrow
// text is read as UTF-8, or as code page 1252 when it is not valid UTF-8.
enum : int { CHN_STATE_TEXT = 32, CHN_STATE_WIDE_MAX = 15 };
std::u16string chn_HighStateTextToWide(const ChannelRecord *record);
std::u16string chn_LowStateTextToWide(const ChannelRecord *record);
// The wide form when any character is 256 or above, else narrow: UTF-8 for
// the low text, code page 1252 for the high one.
void chn_HighStateTextFromWide(ChannelRecord *record, const std::u16string &text);
void chn_LowStateTextFromWide(ChannelRecord *record, const std::u16string &text);
