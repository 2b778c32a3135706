// Value types and data of regtool's command line and output.
#pragma once
#include <cstdint>
#include <string>

// "sz", "expand_sz", "dword", "binary" (any case) -> type; false otherwise.
bool rt_ParseType(const char *word, uint32_t *type);
// The word for a type ("sz", "dword", ... or "type N").
std::string rt_TypeWord(uint32_t type);

// The stored bytes of a command-line text for a type: sz text (the
// terminator is added), dword decimal or 0x-hex, binary hex pairs. False with
// a reason in *why when the text does not fit the type.
bool rt_ParseData(uint32_t type, const char *text, std::string *bytes, std::string *why);
// A value's data as text: sz as text, dword decimal, multi_sz one string per
// entry joined by `separator`, everything else hex.
std::string rt_FormatData(uint32_t type, const std::string &bytes, const char *separator);
