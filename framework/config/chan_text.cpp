#include "framework/config/chan_text.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "framework/registry/reg_settings.h"
#include "platform/os_codepage.h"
#include "platform/os_registry.h"

namespace {

struct Piece {
  int offset, length;
};
const Piece kTag[] = {{0, 8}, {138, 4}, {158, 3}};
const Piece kDesc[] = {{8, 16}, {142, 16}};
const Piece kUnits[] = {{32, 4}, {161, 4}};

template <size_t N>
void Join(const ChannelRecord *r, const Piece (&pieces)[N], char *out, size_t max) {
  size_t n = 0;
  for (const Piece &p : pieces)
    for (int i = 0; i < p.length && r->raw[p.offset + i] && n < max; ++i)
      out[n++] = static_cast<char>(r->raw[p.offset + i]);
  out[n] = '\0';
}

// Each piece takes its share of the text, zero-padded; a piece the text does
// not reach is cleared.
template <size_t N>
void Split(ChannelRecord *r, const Piece (&pieces)[N], const char *text) {
  size_t len = text ? strlen(text) : 0, at = 0;
  for (const Piece &p : pieces) {
    for (int i = 0; i < p.length; ++i) {
      size_t k = at + static_cast<size_t>(i);
      r->raw[p.offset + i] = k < len ? static_cast<uint8_t>(text[k]) : 0;
    }
    at += static_cast<size_t>(p.length);
  }
}

const char kTextKey[] = "SOFTWARE\\Quenford\\Tessarine";

int SizeSetting(const char *name, int maximum) {
  for (OsHKey root : {OS_HKEY_CURRENT_USER, OS_HKEY_LOCAL_MACHINE}) {
    uint32_t value = 0, type = 0, size = sizeof value;
    if (reg_AccessValue(root, kTextKey, OS_KEY_QUERY_VALUE, name, &type, &value, &size) != 0) continue;
    if (type != OS_REG_DWORD || size != sizeof value) continue;
    return value == 0 || value > static_cast<uint32_t>(maximum) ? maximum : static_cast<int>(value);
  }
  return maximum;
}

// One set a thread: the provider and the loggers read tags on several threads at once.
thread_local char g_tag[CHAN_TAG_MAX + 1], g_desc[CHAN_DESC_MAX + 1], g_units[CHAN_UNITS_MAX + 1];
thread_local char g_short[CHAN_SHORT_NAME_MAX + 1], g_export[4 + 43 + 1];

const char kKindNames[7][16] = {"ANALOG INPUTS",   "DIGITAL INPUTS", "ANALOG OUTPUTS", "DIGITAL OUTPUTS",
                                "COUNTER INPUTS", "DIAGNOSTICS",    "DIAGNOSTICS"};

// Appends printf output to the buffer at *at, never beyond the end.
void Put(char *buf, size_t size, size_t *at, const char *fmt, const char *a, const char *b, int c) {
  if (*at >= size - 1) return;
  int n = snprintf(buf + *at, size - *at, fmt, a, b, c);
  if (n > 0) *at += static_cast<size_t>(n) < size - *at ? static_cast<size_t>(n) : size - 1 - *at;
}

void Pad(char *buf, size_t *at, size_t to) {
  while (*at < to) buf[(*at)++] = ' ';
  buf[*at] = '\0';
}

}  // namespace

const char *chan_GetTag(const ChannelRecord *r) { return Join(r, kTag, g_tag, CHAN_TAG_MAX), g_tag; }
const char *chan_GetDescription(const ChannelRecord *r) { return Join(r, kDesc, g_desc, CHAN_DESC_MAX), g_desc; }
const char *chan_GetUnits(const ChannelRecord *r) { return Join(r, kUnits, g_units, CHAN_UNITS_MAX), g_units; }
void chan_SetTag(ChannelRecord *r, const char *text) { Split(r, kTag, text); }
void chan_SetDescription(ChannelRecord *r, const char *text) { Split(r, kDesc, text); }
void chan_SetUnits(ChannelRecord *r, const char *text) { Split(r, kUnits, text); }

int chan_TagSizeSetting(void) { return SizeSetting("TagSize", CHAN_TAG_MAX); }
int chan_DescSizeSetting(void) { return SizeSetting("DescSize", CHAN_DESC_MAX); }
int chan_UnitsSizeSetting(void) { return SizeSetting("UnitsSize", CHAN_UNITS_MAX); }

const char *chan_KindDisplayName(int kind) { return kind >= 0 && kind < 7 ? kKindNames[kind] : ""; }

const char *chan_ShortenName(const char *processor, const char *name) {
  const char *n = name ? name : "";
  if (strlen(n) <= 15) return snprintf(g_short, sizeof g_short, "%s", n), g_short;
  if (!processor || os_CompareNoCaseN(processor, "resub", 5) != 0) {
    snprintf(g_short, sizeof g_short, "%.47s", n);
    return g_short;
  }
  char copy[130];
  snprintf(copy, sizeof copy, "%.129s", n);
  // The name's six pieces around its first five underscores; the last keeps the rest.
  char *part[6] = {copy, nullptr, nullptr, nullptr, nullptr, nullptr};
  int cuts = 0;
  for (char *p = copy; *p && cuts < 5; ++p)
    if (*p == '_') {
      *p = '\0';
      part[++cuts] = p + 1;
    }
  if (cuts < 3) {
    snprintf(g_short, sizeof g_short, "%.47s", n);
    return g_short;
  }
  size_t at = 0;
  Put(g_short, sizeof g_short, &at, "%-1.2s_%1.12s", part[1], part[2], 0);
  Pad(g_short, &at, 15);
  if (cuts == 5 && part[5][0])
    Put(g_short, sizeof g_short, &at, "_%-1.14s_%-1.14s_%c", part[3], part[4], part[5][0]);
  else if (cuts == 5)
    Put(g_short, sizeof g_short, &at, "_%-1.15s_%-1.15s", part[3], part[4], 0);
  else
    Pad(g_short, &at, CHAN_SHORT_NAME_MAX);
  return g_short;
}

const char *chan_ExportTagName(const char *processor, const char *name) {
  snprintf(g_export, sizeof g_export, "EXP %.43s", chan_ShortenName(processor, name));
  return g_export;
}
