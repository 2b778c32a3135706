// The status and fields of a reply.
#include <locale.h>

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

}  // namespace

int pump_ReplyStatus(const char *reply) {
  if (!reply) return 0;
  char head[4] = {};
  for (int i = 0; i < 3 && reply[i]; ++i) head[i] = reply[i];
  return static_cast<int>(strtol_l(head, nullptr, 10, CLocale()));
}

float pump_FieldToFloat(const char *text, int n, int start) {
  char field[PUMP_FIELD_MAX + 1];
  if (!Field(text, n, start, field)) return 0.0f;
  return static_cast<float>(strtod_l(field, nullptr, CLocale()));
}

int pump_FieldToInt(const char *text, int n) {
  char field[PUMP_FIELD_MAX + 1];
  if (!Field(text, n, 0, field)) return 0;
  return static_cast<int>(strtol_l(field, nullptr, 10, CLocale()));
}
