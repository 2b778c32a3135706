// Field types of the logger configurations with text forms of their own:
// date and time, period, line end, separator, password and server URL.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "record/rec_type.h"
#include "record/structs_types.h"

// Date and time (6 bytes): dated ("%04d-%02d-%02dT%02d:%02d"), undated (from
// the month), and the wildcard forms of both, where a byte 255 is "****" or "**".
extern const RecordType lcfg_DatedTimeType;
extern const RecordType lcfg_DatedWildTimeType;
extern const RecordType lcfg_TimeType;
extern const RecordType lcfg_WildTimeType;
// Months, days, hours and minutes in the same bytes (each 0 to 59).
extern const RecordType lcfg_PeriodType;
// Four-byte texts: "CR/LF", "CR", "LF" and "TAB", "COMMA", "SPACE".
extern const RecordType lcfg_LineEndType;
extern const RecordType lcfg_SeparatorType;

// The period code of a period: 30 min 1, 1 h 2, ... 3 months 12, other 0.
int lcfg_PeriodCode(const uint8_t period[6]);

// 0..15 of a hexadecimal digit of either case, or -1.
int lcfg_HexValue(int c);

// The server URL's text forms. To text: an http or https URL with its
// password enciphered ("enc" and hexadecimal pairs) and the port before the
// path; any other text as it is. From text: the password deciphered (a
// password that is not "enc" and hexadecimal pairs is plain) and every byte of
// it percent-encoded; the old form "host/:port" is read as "host:port/".
std::string lcfg_UrlToText(const char *value);
// 0, or -1 (EINVAL) with the message in ebuf; `value` is `size` bytes.
int lcfg_UrlFromText(const char *text, char *value, size_t size, char *ebuf, size_t emax);

// The edition's logging account: its name ("" when the product has none), the
// password it is recognised by and the one that replaces it, built on demand.
std::string lcfg_EditionAccount(void);
void lcfg_EditionPasswords(std::string *recognised, std::string *replacement);

// The record methods behind the password and URL types.
structs_to_text_fn lcfg_PasswordToText;
structs_from_text_fn lcfg_PasswordFromText;
structs_to_text_fn lcfg_UrlFieldToText;
structs_from_text_fn lcfg_UrlFieldFromText;
structs_equal_fn lcfg_TextEqual;

// Passwords and server URLs of a given field size.
constexpr RecordType lcfg_MakePasswordType(uint32_t size) {
  return RecordType{size, "password", STRUCTS_CLASS_PRIMITIVE, structs_InitZero, structs_CopyBytes,
                    lcfg_TextEqual, lcfg_PasswordToText, lcfg_PasswordFromText, structs_EncodeUnsupported,
                    structs_DecodeUnsupported, structs_ReleaseNothing, {{.u = 0}, {.u = 0}, {.u = 0}}};
}
constexpr RecordType lcfg_MakeUrlType(uint32_t size) {
  return RecordType{size, "serverurl", STRUCTS_CLASS_PRIMITIVE, structs_InitZero, structs_CopyBytes,
                    lcfg_TextEqual, lcfg_UrlFieldToText, lcfg_UrlFieldFromText, structs_EncodeUnsupported,
                    structs_DecodeUnsupported, structs_ReleaseNothing, {{.u = 0}, {.u = 0}, {.u = 0}}};
}
