// The configuration print-out.
#include "plugin/ui/cf_print.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/config/chan_text.h"
#include "platform/os_format.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/dbstores/db_utils.h"

namespace {

struct PrintState {
  OsDc *dc = nullptr;
  int line = 1;
  bool pagePending = false;
  char buffer[PRN_LINE_MAX + 1] = "";
  size_t used = 0;
};
PrintState g_print;

const char kBlanks8[] = "        ";
const char kBlanks9[] = "         ";
const char kBlanks74[] = "                                                                          ";
static_assert(sizeof kBlanks74 == 75);

const char kAnalogHead1[] =
    "CHAN    ENB TAG                  UNITS        EVENT CHCK ALARM CHECKING LOW/HIGH                         "
    "                             SIG CHNG\n";
const char kAnalogHead2[] =
    "            DESCRIPTION                       ON LOW/HIG O C LIMIT    W LIMIT    H LIMIT    PRI DLY  MESSAGE "
    "                         ON/VALUE\n\n";
const char kDigitalHead1[] =
    "CHAN    ENB TAG                               LOW STAT                          EVENT  ALARM  COM ALM ALM  "
    "ALARM\n";
const char kDigitalHead2[] =
    "            DESCRIPTION                       HIG STAT                          STATE  STATE  ALM PRI DLY  "
    "MESSAGE\n\n";

const char *YesNo(bool on) { return on ? "Y" : "N"; }
const char *LowHigh(bool high) { return high ? "HIGH" : "LOW "; }

// A record's text would break the table's lines and pages with its own line
// feeds or form feeds: every control byte prints as a blank.
void Printable(char *text) {
  for (unsigned char *p = reinterpret_cast<unsigned char *>(text); *p; ++p)
    if (*p < 0x20 || *p == 0x7f) *p = ' ';
}

// A text field of a record, terminated and printable.
struct Field {
  char text[64];
  Field(const char *field, size_t size) {
    cf_FieldText(field, size, text, sizeof text);
    Printable(text);
  }
  explicit Field(const char *terminated) : Field(terminated, strlen(terminated)) {}
};

float GetFloat(const ChannelRecord *r, size_t at) {
  float v;
  memcpy(&v, r->raw + at, sizeof v);
  return v;
}
uint16_t GetU16(const ChannelRecord *r, size_t at) {
  uint16_t v;
  memcpy(&v, r->raw + at, sizeof v);
  return v;
}

// Appends to a line of the table.
struct Line {
  char text[PRN_LINE_MAX + 1];
  size_t used = 0;
  Line() { text[0] = '\0'; }
  void Add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    if (used >= PRN_LINE_MAX) return;
    va_list args;
    va_start(args, format);
    int n = os_VFormatC(text + used, sizeof text - used, format, args);
    va_end(args);
    if (n > 0) used += static_cast<size_t>(n) < sizeof text - used ? static_cast<size_t>(n) : sizeof text - used - 1;
  }
};

int DrawLine(const char *text, size_t length) {
  if (length == 0) return 1;
  OsTextMetrics tm;
  os_GetTextMetrics(g_print.dc, &tm);
  int32_t x = 2 * os_GetDeviceCaps(g_print.dc, OS_DC_PHYSICALOFFSETX);
  int32_t y = os_GetDeviceCaps(g_print.dc, OS_DC_PHYSICALOFFSETY) + g_print.line * tm.height;
  return os_TextOut(g_print.dc, x, y, text, static_cast<int32_t>(length));
}

// The type's two-letter code, terminated.
struct Code {
  char text[3];
  explicit Code(const CfTypeEntry *e) {
    cf_FieldText(e->code, sizeof e->code, text, sizeof text);
    Printable(text);
  }
};

bool Enabled(const ChannelRecord *r) { return chan_FlagBit(r, CHAN_FLAG_ENABLE); }

int PrintAnalogChannel(const Code &code, int number, const ChannelRecord *r) {
  auto flag = [&](int bit) { return chan_FlagBit(r, bit); };
  const ChannelAnalogue &a = r->a;
  char name[32];
  os_FormatC(name, sizeof name, "%.2s%d", code.text, number);
  bool event = flag(CHAN_AF_EVENT_ENABLE);
  Line l;
  l.Add("%-7.7s [", name);
  l.Add("%s] ", YesNo(flag(CHAN_AF_ENABLE)));
  l.Add("%-15.15s      ", Field(chan_GetTag(r)).text);
  l.Add("%-8.8s   ", Field(chan_GetUnits(r)).text);
  l.Add(" %s ", YesNo(event));
  l.Add("%s", event ? prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, LowEventLimit))) : kBlanks8);
  bool low = flag(CHAN_AF_LOW_ALARM_ENABLE);
  l.Add(" %s ", YesNo(low));
  if (low) {
    float limit = GetFloat(r, offsetof(ChannelAnalogue, LowAlarmLimit));
    l.Add("%s ", YesNo(flag(CHAN_AF_LOW_ALARM_DRIVE_COMMON)));
    l.Add("%s ", prn_ValueFormat(limit));
    l.Add("%s ", YesNo(flag(CHAN_AF_LOW_WARNING_ENABLE)));
    if (flag(CHAN_AF_LOW_WARNING_ENABLE))
      l.Add("%s ", prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, LowWarningLimit))));
    else
      l.Add("%s", kBlanks9);
    l.Add("%s ", YesNo(flag(CHAN_AF_LOW_ALARM_DEADBAND_ENABLE)));
    if (flag(CHAN_AF_LOW_ALARM_DEADBAND_ENABLE))
      l.Add("%s ", prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, LowAlarmDeadband)) - limit));
    else
      l.Add("%s", kBlanks9);
    Field text(a.LowAlarmText, sizeof a.LowAlarmText);
    l.Add("%-3d %-4d %-32.32s", a.LowAlarmPriority, GetU16(r, offsetof(ChannelAnalogue, LowAlarmDelay)), text.text);
  } else {
    l.Add("%s", kBlanks74);
  }
  l.Add(" [%s]     \n", YesNo(flag(CHAN_AF_SIG_CHANGE_ENABLE)));
  if (prn_PrintLine(l.text) < 0) return -1;
  return prn_PrintDescriptionLine(r);
}

int PrintAnalogDescription(const ChannelRecord *r) {
  auto flag = [&](int bit) { return chan_FlagBit(r, bit); };
  const ChannelAnalogue &a = r->a;
  bool event = flag(CHAN_AF_EVENT_ENABLE);
  Line m;
  m.Add("            %-32.32s%s   ", Field(chan_GetDescription(r)).text, "");
  m.Add("%s", event ? prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, HighEventLimit))) : kBlanks8);
  bool high = flag(CHAN_AF_HIGH_ALARM_ENABLE);
  m.Add(" %s ", YesNo(high));
  if (high) {
    float limit = GetFloat(r, offsetof(ChannelAnalogue, HighAlarmLimit));
    m.Add("%s ", YesNo(flag(CHAN_AF_HIGH_ALARM_DRIVE_COMMON)));
    m.Add("%s ", prn_ValueFormat(limit));
    m.Add("%s ", YesNo(flag(CHAN_AF_HIGH_WARNING_ENABLE)));
    if (flag(CHAN_AF_HIGH_WARNING_ENABLE))
      m.Add("%s ", prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, HighWarningLimit))));
    else
      m.Add("%s", kBlanks9);
    m.Add("%s ", YesNo(flag(CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE)));
    if (flag(CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE))
      m.Add("%s ", prn_ValueFormat(limit - GetFloat(r, offsetof(ChannelAnalogue, HighAlarmDeadband))));
    else
      m.Add("%s", kBlanks9);
    Field text(a.HighAlarmText, sizeof a.HighAlarmText);
    m.Add("%-3d %-4d %-32.32s", a.HighAlarmPriority, GetU16(r, offsetof(ChannelAnalogue, HighAlarmDelay)),
          text.text);
  } else {
    m.Add("%s", kBlanks74);
  }
  if (flag(CHAN_AF_SIG_CHANGE_ENABLE))
    m.Add(" %s", prn_ValueFormat(GetFloat(r, offsetof(ChannelAnalogue, SigChangeValue))));
  else
    m.Add("%s", kBlanks9);
  m.Add("\n");
  return prn_PrintLine(m.text);
}

int PrintDigitalChannel(const Code &code, int number, const ChannelRecord *r) {
  auto flag = [&](int bit) { return chan_FlagBit(r, bit); };
  const ChannelDigital &d = r->d;
  char name[32];
  os_FormatC(name, sizeof name, "%.2s%d", code.text, number);
  Field lowState(d.LowStateText, sizeof d.LowStateText);
  Line l;
  l.Add("%-7.7s [", name);
  l.Add("%s", YesNo(flag(CHAN_DF_ENABLE)));
  l.Add("] %-15.15s ", Field(chan_GetTag(r)).text);
  l.Add("%s", "                    ");
  l.Add(" %-32.32s%s ", lowState.text, "");
  if (flag(CHAN_DF_EVENT_ENABLE))
    l.Add("[%s] ", LowHigh(flag(CHAN_DF_EVENT_STATE)));
  else
    l.Add("[DISB] ");
  if (flag(CHAN_DF_ALARM_ENABLE)) {
    Field text(d.AlarmText, sizeof d.AlarmText);
    l.Add("[%s] [%s] %-3d %-4d %-32.32s", LowHigh(flag(CHAN_DF_ALARM_STATE)), YesNo(flag(CHAN_DF_ALARM_DRIVE_COMMON)),
          d.AlarmPriority, GetU16(r, offsetof(ChannelDigital, AlarmDelay)), text.text);
  } else {
    l.Add("[DISB] ");
  }
  l.Add("\n");
  if (prn_PrintLine(l.text) < 0) return -1;
  return prn_PrintDescriptionLine(r);
}

int PrintDigitalDescription(const ChannelRecord *r) {
  const ChannelDigital &d = r->d;
  Field highState(d.HighStateText, sizeof d.HighStateText);
  Line m;
  m.Add("            %-32.32s ", Field(chan_GetDescription(r)).text);
  m.Add(" %-32.32s%s\n", highState.text, "");
  return prn_PrintLine(m.text);
}

// One table: a heading before the first channel of each page, a form feed
// after the last channel printed, or one line when none was.
int PrintTable(const CfTypeEntry *entry, int first, int last, const ChannelRecord *records, bool digital) {
  Code code(entry);
  int perPage = prn_LinesPerPage();
  bool printed = false, heading = true;
  for (int n = first; n <= last; ++n) {
    const ChannelRecord *r = &records[n - first];
    if (!Enabled(r) || chan_IsDigital(r) != digital) continue;
    bool full = digital ? g_print.line >= perPage : g_print.line > perPage;
    if (full) {
      if (prn_PrintLine("\f") < 0) return -1;
      heading = true;
    }
    if (heading) {
      if ((digital ? prn_PrintDigitalHeading() : prn_PrintAnalogHeading()) < 0) return -1;
      heading = false;
    }
    if ((digital ? PrintDigitalChannel(code, n, r) : PrintAnalogChannel(code, n, r)) < 0) return -1;
    printed = true;
  }
  if (printed) {
    if (prn_PrintLine("\f") < 0) return -1;
  } else {
    Line l;
    l.Add("CHANNELS %.2s%d - ", code.text, first);
    l.Add("%.2s%d DISABLED\n", code.text, last);
    if (prn_PrintLine(l.text) < 0) return -1;
  }
  return digital ? g_print.line : 0;
}

void PrintRate(Line *l, const char *format, int64_t ms) {
  TmSplit s = tm_SplitMilliseconds(ms);
  l->Add(format, s.minutes, s.seconds, s.milliseconds);
}

}  // namespace

void prn_SetPrintContext(OsDc *dc) { g_print.dc = dc; }

OsDc *prn_GetPrintContext(void) { return g_print.dc; }

void prn_Begin(OsDc *dc) {
  prn_SetPrintContext(dc);
  g_print.line = 1;
  g_print.pagePending = false;
  g_print.used = 0;
  g_print.buffer[0] = '\0';
}

int prn_CurrentLine(void) { return g_print.line; }

int prn_LinesPerPage(void) {
  OsTextMetrics tm;
  if (!os_GetTextMetrics(g_print.dc, &tm) || tm.height <= 0) return 1;
  int64_t usable = static_cast<int64_t>(os_GetDeviceCaps(g_print.dc, OS_DC_PHYSICALHEIGHT)) -
                   6 * static_cast<int64_t>(os_GetDeviceCaps(g_print.dc, OS_DC_PHYSICALOFFSETY));
  int64_t lines = usable / tm.height;
  return lines < 1 ? 1 : lines > 1000000 ? 1000000 : static_cast<int>(lines);
}

int prn_PrintLine(const char *text) {
  for (const char *p = text; *p; ++p) {
    // A page is started only when something follows the form feed, so the
    // host's closing of the document leaves no blank page.
    if (g_print.line == 1 && g_print.pagePending) {
      if (os_StartPage(g_print.dc) <= 0) {
        g_print.used = 0;
        g_print.buffer[0] = '\0';
        return -1;
      }
      g_print.pagePending = false;
    }
    if (*p == '\n') {
      DrawLine(g_print.buffer, g_print.used);
      g_print.used = 0;
      ++g_print.line;
    } else if (*p == '\f') {
      if (os_EndPage(g_print.dc) <= 0) return -1;
      g_print.line = 1;
      g_print.pagePending = true;
    } else if (g_print.used < PRN_LINE_MAX) {
      g_print.buffer[g_print.used++] = *p;
    }
    g_print.buffer[g_print.used] = '\0';
  }
  return 1;
}

const char *prn_ValueFormat(float value) {
  static char text[64];
  for (int decimals = 6; decimals >= 0; --decimals) {
    os_FormatC(text, sizeof text, "%8.*f", decimals, static_cast<double>(value));
    if (strlen(text) <= PRN_VALUE_WIDTH) return text;
  }
  // Too large for fixed form: cutting it would print a wrong number.
  for (int decimals = 2; decimals >= 0; --decimals) {
    os_FormatC(text, sizeof text, "%8.*e", decimals, static_cast<double>(value));
    if (strlen(text) <= PRN_VALUE_WIDTH) return text;
  }
  text[PRN_VALUE_WIDTH] = '\0';
  return text;
}

int prn_PrintAnalogTable(const CfTypeEntry *entry, int first, int last, const ChannelRecord *records) {
  return PrintTable(entry, first, last, records, false);
}

int prn_PrintDigitalTable(const CfTypeEntry *entry, int first, int last, const ChannelRecord *records) {
  return PrintTable(entry, first, last, records, true);
}

int prn_PrintConfig(OsDc *dc, const char *server, const HostDeviceRecord *device, int type, int first, int last,
                    const ChannelRecord *records) {
  prn_Begin(dc);
  if (!device || type < 0 || type >= IO_TYPE_COUNT) return -1;
  const CfTypeEntry *entry = &device->types[type];
  if (first == 0) first = 1;
  if (last == 0) last = entry->count;
  if (first < 1 || first > last || last > entry->count) return -1;
  std::vector<ChannelRecord> read;
  if (!records) {
    char folder[CF_FOLDER_NAME_SIZE + 1];
    cf_FieldText(device->folder, sizeof device->folder, folder, sizeof folder);
    read.resize(static_cast<size_t>(last - first + 1));
    if (cfg_ReadChannels(server ? server : "", folder, type, read.data(), first - 1, last - first + 1) != 0)
      return -1;
    records = read.data();
  } else {
    records += first - 1;
  }
  return (type & 1) ? prn_PrintDigitalTable(entry, first, last, records)
                    : prn_PrintAnalogTable(entry, first, last, records);
}

int prn_PrintAllConfig(OsDc *dc, const char *server, const HostDeviceRecord *device, uint8_t autoEnable,
                       uint8_t saveOutputs, uint8_t saveByTag, int32_t saveRate, const DeviceConfig *config,
                       ChannelRecord *const *types) {
  prn_Begin(dc);
  if (!device) return -1;
  if (!server) server = "";
  char folder[CF_FOLDER_NAME_SIZE + 1];
  cf_FieldText(device->folder, sizeof device->folder, folder, sizeof folder);
  DeviceConfig read;
  if (!config) {
    if (cfg_ReadConfigStatus(server, folder, &autoEnable) != 0) return -1;
    if (cfg_ReadDeviceConfig(server, folder, &read, sizeof read) != 0) return -1;
    if (cfg_ReadSaveConfig(server, folder, &saveOutputs, &saveByTag, &saveRate) != 0) return -1;
    config = &read;
  }
  if (prn_PrintHeader(server, device, autoEnable, saveOutputs, saveByTag, saveRate, config) < 0) return -1;

  int result = 0;
  for (int type = 0; type < IO_TYPE_COUNT; ++type) {
    const CfTypeEntry *entry = &device->types[type];
    if (entry->code[0] == 0 && entry->code[1] == 0) continue;
    int count = entry->count;
    if (count == 0) return -1;
    std::vector<ChannelRecord> channels;
    const ChannelRecord *records = types ? types[type] : nullptr;
    if (!records) {
      channels.resize(static_cast<size_t>(count));
      if (cfg_ReadChannels(server, folder, type, channels.data(), 0, count) != 0) return -1;
      records = channels.data();
    }
    result = (type & 1) ? prn_PrintDigitalTable(entry, 1, count, records)
                        : prn_PrintAnalogTable(entry, 1, count, records);
    if (result < 0) return result;
  }
  return result;
}

int prn_PrintHeader(const char *server, const HostDeviceRecord *device, uint8_t autoEnable, uint8_t saveOutputs,
                    uint8_t saveByTag, int32_t saveRate, const DeviceConfig *config) {
  if (!device || !config) return -1;
  char name[CF_DEVICE_NAME_SIZE + 1];
  cf_FieldText(device->name, sizeof device->name, name, sizeof name);
  Printable(name);
  char serverText[PRN_LINE_MAX + 1];
  os_FormatC(serverText, sizeof serverText, "%s", server ? server : "");
  Printable(serverText);
  Line head;
  // The line bound cuts a long server name, never the line's end.
  head.Add("        SERVER NAME    [%.*s]\n", PRN_LINE_MAX - 32, serverText);
  if (prn_PrintLine(head.text) < 0) return -1;
  Line dev;
  char label[32];
  os_FormatC(label, sizeof label, "%s NAME", "DEVICE");
  dev.Add("        %-14s [%s]\n", label, name);
  if (prn_PrintLine(dev.text) < 0) return -1;
  Line status;
  status.Add("        STATUS         [%s]\n", autoEnable ? "ENABLED " : "DISABLED");
  if (prn_PrintLine(status.text) < 0) return -1;
  Line save;
  save.Add("        AUTOSAVE       [%s]", YesNo(saveOutputs));
  if (prn_PrintLine(save.text) < 0) return -1;
  if (saveOutputs) {
    Line by;
    by.Add("                    BY TAG  [%s]       ", YesNo(saveByTag));
    PrintRate(&by, "SAVE RATE %02d(min) %02d(sec) %03d(ms)", saveRate);
    if (prn_PrintLine(by.text) < 0) return -1;
  }
  if (prn_PrintLine("\n\n\n") < 0) return -1;
  Line scan;
  uint32_t scanRate;
  memcpy(&scanRate, &config->ScanRate, sizeof scanRate);
  PrintRate(&scan, "        SCAN RATE %02d(min) %02d(sec) %03d(ms)\n\n", scanRate);
  if (prn_PrintLine(scan.text) < 0) return -1;
  return 1;
}

int prn_PrintAnalogHeading(void) {
  if (prn_PrintLine(kAnalogHead1) < 0) return -1;
  return prn_PrintLine(kAnalogHead2);
}

int prn_PrintDigitalHeading(void) {
  if (prn_PrintLine(kDigitalHead1) < 0) return -1;
  return prn_PrintLine(kDigitalHead2);
}

int prn_PrintDescriptionLine(const ChannelRecord *record) {
  if (!record) return -1;
  return chan_IsDigital(record) ? PrintDigitalDescription(record) : PrintAnalogDescription(record);
}

int prn_WriteBlanks(int count) {
  int written = 0;
  for (; written < count; ++written)
    if (fputc(' ', stdout) == EOF) break;
  return written;
}
