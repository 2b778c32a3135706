// The status and fields of a reply.
#include <locale.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "scanner/com_port.h"

namespace {

// Numbers on the line never follow the process locale.
locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

// Field n from `start`: up to the next comma or the end, at most 19
// characters (a longer field is cut). False when the text has no such field.
bool Field(const char *text, int n, int start, char (&out)[PUMP_FIELD_MAX + 1]) {
  out[0] = '\0';
  if (!text || start < 0 || static_cast<size_t>(start) > strlen(text)) return false;
  const char *p = text + start;
  for (int commas = 0; commas < n; ++p) {
    if (*p == '\0') return false;
    if (*p == ',') ++commas;
  }
  if (*p == ',') ++p;
  size_t k = 0;
  while (*p && *p != ',' && k < PUMP_FIELD_MAX) out[k++] = *p++;
  out[k] = '\0';
  return true;
}

// The plain shapes a pump sends ("-12", "3.25", "1e3") are read without the
// locale machinery; whatever else strtod/strtol would make of a field (blanks,
// hex, inf, nan, numbers out of range) is left to them, so both give the same.
const char *PlainNumber(const char *text, bool *negative) {
  const char *q = text;
  *negative = *q == '-';
  if (*q == '-' || *q == '+') ++q;
  bool digit = *q >= '0' && *q <= '9';
  if (!digit && !(*q == '.' && q[1] >= '0' && q[1] <= '9')) return nullptr;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) return nullptr;
  return q;
}

double ToDouble(const char *text) {
  bool negative = false;
  if (const char *q = PlainNumber(text, &negative)) {
    double d = 0;
    std::from_chars_result r = std::from_chars(q, q + strlen(q), d);
    if (r.ec == std::errc()) return negative ? -d : d;
  }
  return strtod_l(text, nullptr, CLocale());
}

long ToLong(const char *text) {
  bool negative = false;
  if (const char *q = PlainNumber(text, &negative)) {
    unsigned long magnitude = 0;
    std::from_chars_result r = std::from_chars(q, q + strlen(q), magnitude);
    if (r.ec == std::errc() && magnitude <= static_cast<unsigned long>(LONG_MAX))
      return negative ? -static_cast<long>(magnitude) : static_cast<long>(magnitude);
    if (r.ec == std::errc() || r.ec == std::errc::result_out_of_range) return strtol_l(text, nullptr, 10, CLocale());
    return 0;  // a '.' before any digit
  }
  return strtol_l(text, nullptr, 10, CLocale());
}

}  // namespace

int pump_ReplyStatus(const char *reply) {
  if (!reply) return 0;
  char head[4] = {};
  for (int i = 0; i < 3 && reply[i]; ++i) head[i] = reply[i];
  return static_cast<int>(ToLong(head));
}

float pump_FieldToFloat(const char *text, int n, int start) {
  char field[PUMP_FIELD_MAX + 1];
  if (!Field(text, n, start, field)) return 0.0f;
  return static_cast<float>(ToDouble(field));
}

int pump_FieldToInt(const char *text, int n) {
  char field[PUMP_FIELD_MAX + 1];
  if (!Field(text, n, 0, field)) return 0;
  return static_cast<int>(ToLong(field));
}
