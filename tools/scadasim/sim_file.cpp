#include "tools/scadasim/sim_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_path.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_path.h"
#include "scanner/pump_names.h"

namespace {

// ---- Channel fields: one table drives reading and writing.

enum FieldKind { F_TEXT, F_TEXT32, F_FLOAT, F_U8, F_U16, F_FLAG, F_STATE, F_PUMP, F_ITEM };
enum TextField { T_DESC, T_UNITS };

struct ChannelField {
  const char *name;
  FieldKind kind;
  int at;           // offset, flag bit, or TextField
  uint32_t max = 0; // F_U8 / F_U16 upper bound
};

const ChannelField kAnalogueFields[] = {
    {"description", F_TEXT, T_DESC},
    {"units", F_TEXT, T_UNITS},
    {"pump", F_PUMP, CHAN_ANALOGUE_HW_OFFSET},
    {"item", F_ITEM, CHAN_ANALOGUE_HW_OFFSET + 4},
    {"enabled", F_FLAG, CHAN_AF_ENABLE},
    {"scaling", F_FLAG, CHAN_AF_SCALING_ENABLE},
    {"gain", F_FLOAT, 36},
    {"offset", F_FLOAT, 40},
    {"reference", F_FLAG, CHAN_AF_REFERENCE_ENABLE},
    {"minimum-units", F_FLOAT, 172},
    {"maximum-units", F_FLOAT, 168},
    {"sig-change", F_FLAG, CHAN_AF_SIG_CHANGE_ENABLE},
    {"sig-change-value", F_FLOAT, 68},
    {"event", F_FLAG, CHAN_AF_EVENT_ENABLE},
    {"high-event-limit", F_FLOAT, 44},
    {"low-event-limit", F_FLOAT, 48},
    {"high-warning", F_FLAG, CHAN_AF_HIGH_WARNING_ENABLE},
    {"high-warning-limit", F_FLOAT, 176},
    {"low-warning", F_FLAG, CHAN_AF_LOW_WARNING_ENABLE},
    {"low-warning-limit", F_FLOAT, 180},
    {"high-alarm", F_FLAG, CHAN_AF_HIGH_ALARM_ENABLE},
    {"high-alarm-limit", F_FLOAT, 52},
    {"high-alarm-deadband-enabled", F_FLAG, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE},
    {"high-alarm-deadband", F_FLOAT, 56},
    {"high-alarm-priority", F_U8, 72, 255},
    {"high-alarm-delay", F_U16, 184, 65535},
    {"high-alarm-common", F_FLAG, CHAN_AF_HIGH_ALARM_DRIVE_COMMON},
    {"high-alarm-text", F_TEXT32, 74},
    {"low-alarm", F_FLAG, CHAN_AF_LOW_ALARM_ENABLE},
    {"low-alarm-limit", F_FLOAT, 60},
    {"low-alarm-deadband-enabled", F_FLAG, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE},
    {"low-alarm-deadband", F_FLOAT, 64},
    {"low-alarm-priority", F_U8, 73, 255},
    {"low-alarm-delay", F_U16, 186, 65535},
    {"low-alarm-common", F_FLAG, CHAN_AF_LOW_ALARM_DRIVE_COMMON},
    {"low-alarm-text", F_TEXT32, 106},
    {"error-alarm", F_FLAG, CHAN_AF_ERROR_ALARM_ENABLE},
    {"error-alarm-priority", F_U8, 165, 255},
    {"error-alarm-delay", F_U16, 166, 65535},
    {"error-alarm-common", F_FLAG, CHAN_AF_ERROR_ALARM_DRIVE_COMMON},
};

const ChannelField kDigitalFields[] = {
    {"description", F_TEXT, T_DESC},
    {"pump", F_PUMP, CHAN_DIGITAL_HW_OFFSET},
    {"item", F_ITEM, CHAN_DIGITAL_HW_OFFSET + 4},
    {"enabled", F_FLAG, CHAN_DF_ENABLE},
    {"high-state-text", F_TEXT32, 32},
    {"low-state-text", F_TEXT32, 64},
    {"event", F_FLAG, CHAN_DF_EVENT_ENABLE},
    {"event-state", F_STATE, CHAN_DF_EVENT_STATE},
    {"alarm", F_FLAG, CHAN_DF_ALARM_ENABLE},
    {"alarm-state", F_STATE, CHAN_DF_ALARM_STATE},
    {"alarm-priority", F_U8, 96, 255},
    {"alarm-delay", F_U16, 190, 65535},
    {"alarm-common", F_FLAG, CHAN_DF_ALARM_DRIVE_COMMON},
    {"alarm-text", F_TEXT32, 97},
    {"error-alarm", F_FLAG, CHAN_DF_ERROR_ALARM_ENABLE},
    {"error-alarm-priority", F_U8, 186, 255},
    {"error-alarm-delay", F_U16, 188, 65535},
    {"error-alarm-common", F_FLAG, CHAN_DF_ERROR_ALARM_DRIVE_COMMON},
};

struct FieldList {
  const ChannelField *fields;
  size_t count;
};
FieldList FieldsOf(int type) {
  if (type == IO_DI) return {kDigitalFields, sizeof kDigitalFields / sizeof kDigitalFields[0]};
  return {kAnalogueFields, sizeof kAnalogueFields / sizeof kAnalogueFields[0]};
}

// Item names: the bulk fields of the analogue table by reply and field, the
// rest by their mnemonic.
std::string ItemName(int type, uint32_t index) {
  if (type == IO_AI) {
    if (index >= 1 && index <= PUMP_PRV_ALL_FIELDS) return "PRV_ALL." + std::to_string(index);
    if (index >= 10 && index < 10 + PUMP_SETPOINT_ALL_FIELDS) return "SETPOINT_ALL." + std::to_string(index - 9);
    if (index < PUMP_ANALOG_NAMES && AnalogValueNames[index][0]) return AnalogValueNames[index];
  } else if (index < PUMP_DIGITAL_NAMES && DigitalValueNames[index][0]) {
    return DigitalValueNames[index];
  }
  return "#" + std::to_string(index);  // no name: the index as it stands
}

bool ItemIndex(int type, const std::string &name, uint32_t *index) {
  for (uint32_t i = 1; i < static_cast<uint32_t>(type == IO_AI ? PUMP_ANALOG_NAMES : PUMP_DIGITAL_NAMES); ++i) {
    std::string n = ItemName(type, i);
    if (n[0] != '#' && strcasecmp(n.c_str(), name.c_str()) == 0) return *index = i, true;
  }
  return false;
}

uint32_t Get32(const ChannelRecord &r, int at) {
  uint32_t v;
  memcpy(&v, r.raw + at, 4);
  return v;
}
void Put32(ChannelRecord *r, int at, uint32_t v) { memcpy(r->raw + at, &v, 4); }

std::string FloatText(float f) {
  char b[32];
  snprintf(b, sizeof b, "%.9g", static_cast<double>(f));
  return b;
}

// ---- Text values.

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool Unescape(const std::string &in, std::string *out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 1 < in.size() && in[i + 1] == '\\') {
      out->push_back('\\');
      ++i;
    } else if (i + 3 < in.size() && in[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(in[i + 2])) &&
               isxdigit(static_cast<unsigned char>(in[i + 3]))) {
      out->push_back(static_cast<char>(strtoul(in.substr(i + 2, 2).c_str(), nullptr, 16)));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

bool ParseUnsigned(const std::string &v, uint32_t lo, uint32_t hi, uint32_t *out) {
  if (v.empty() || !isdigit(static_cast<unsigned char>(v[0]))) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long n = strtoull(v.c_str(), &end, 10);
  if (errno || *end || n < lo || n > hi) return false;
  return *out = static_cast<uint32_t>(n), true;
}

bool ParseFloat(const std::string &v, float *out) {
  if (v.empty()) return false;
  char *end = nullptr;
  errno = 0;
  float f = strtof(v.c_str(), &end);
  if (errno || *end || !std::isfinite(f)) return false;
  return *out = f, true;
}

bool ParseYesNo(const std::string &v, bool *out) {
  if (v == "yes") return *out = true, true;
  if (v == "no") return *out = false, true;
  return false;
}

// ---- The parser.

struct Parser {
  std::string name;
  int line = 0;
  std::string section;  // "[ai P1.X]" as written, for messages
  std::string *why;

  bool Fail(const std::string &field, const std::string &text) {
    if (why) {
      *why = name + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
      if (!section.empty()) *why += section + " ";
      if (!field.empty()) *why += "field \"" + field + "\": ";
      *why += text;
    }
    return false;
  }
};

bool CheckText(Parser &p, const std::string &field, const std::string &v, size_t max) {
  if (v.size() > max) return p.Fail(field, "longer than " + std::to_string(max) + " characters");
  return true;
}

bool SetChannelField(Parser &p, int type, ChannelRecord *r, const std::string &key, const std::string &raw) {
  FieldList list = FieldsOf(type);
  const ChannelField *f = nullptr;
  for (size_t i = 0; i < list.count; ++i)
    if (key == list.fields[i].name) f = &list.fields[i];
  if (!f) return p.Fail(key, "unknown field");
  std::string v;
  uint32_t n = 0;
  float x = 0;
  bool b = false;
  switch (f->kind) {
    case F_TEXT:
    case F_TEXT32: {
      if (!Unescape(raw, &v)) return p.Fail(key, "bad escape (use \\\\ or \\xHH)");
      if (v.find('\0') != std::string::npos) return p.Fail(key, "a text cannot hold a zero byte");
      size_t max = f->kind == F_TEXT32 ? size_t{CHAN_TEXT_SIZE} : f->at == T_DESC ? size_t{CHAN_DESC_MAX} : size_t{CHAN_UNITS_MAX};
      if (!CheckText(p, key, v, max)) return false;
      if (f->kind == F_TEXT32) chan_PutText32(r, f->at, v.c_str());
      else if (f->at == T_DESC) chan_SetDescription(r, v.c_str());
      else chan_SetUnits(r, v.c_str());
      return true;
    }
    case F_FLOAT:
      if (!ParseFloat(raw, &x)) return p.Fail(key, "not a number: \"" + raw + "\"");
      memcpy(r->raw + f->at, &x, 4);
      return true;
    case F_U8:
    case F_U16:
      if (!ParseUnsigned(raw, 0, f->max, &n))
        return p.Fail(key, "\"" + raw + "\" is out of range (0-" + std::to_string(f->max) + ")");
      if (f->kind == F_U8) r->raw[f->at] = static_cast<uint8_t>(n);
      else memcpy(r->raw + f->at, &n, 2);
      return true;
    case F_FLAG:
      if (!ParseYesNo(raw, &b)) return p.Fail(key, "\"" + raw + "\" is not yes or no");
      chan_SetFlagBit(r, f->at, b);
      return true;
    case F_STATE:
      if (raw != "high" && raw != "low") return p.Fail(key, "\"" + raw + "\" is not high or low");
      chan_SetFlagBit(r, f->at, raw == "high");
      return true;
    case F_PUMP:
      if (!ParseUnsigned(raw, 1, 8, &n)) return p.Fail(key, "pump \"" + raw + "\" is out of range (1-8)");
      Put32(r, f->at, n);
      return true;
    case F_ITEM:
      if (!ItemIndex(type, raw, &n) &&
          !(raw.size() > 1 && raw[0] == '#' &&
            ParseUnsigned(raw.substr(1), 0, type == IO_AI ? PUMP_ANALOG_NAMES - 1 : PUMP_DIGITAL_NAMES - 1, &n)))
        return p.Fail(key, "\"" + raw + "\" is no item of the pump's " + (type == IO_AI ? "analogue" : "digital") +
                               " value table");
      Put32(r, f->at, n);
      return true;
  }
  return p.Fail(key, "unknown field");
}

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ParseCode(Parser &p, const std::string &key, const std::string &v, std::string *out) {
  if (!v.empty() && (v.size() != 2 || !isalnum(static_cast<unsigned char>(v[0])) ||
                     !isalnum(static_cast<unsigned char>(v[1]))))
    return p.Fail(key, "\"" + v + "\" is not a two-letter area code");
  *out = Upper(v);
  return true;
}

const char *const kParity[] = {"none", "odd", "even", "mark", "space"};

// One channel section as read, until its device is known.
struct PendingChannel {
  int type;
  int line;
  std::string section, device, tag;
  ChannelRecord record;
  std::set<std::string> fields;
};

bool SetDeviceField(Parser &p, SimDeviceSpec *d, const std::string &k, const std::string &v,
                    std::map<std::string, uint32_t> *counts) {
  uint32_t n = 0;
  bool b = false;
  if (k == "driver") {
    if (v.empty() || v.size() > 8) return p.Fail(k, "a driver name has 1-8 characters");
    d->name = v;
  } else if (k == "instance") {
    if (!ParseUnsigned(v, 1, 65535, &n)) return p.Fail(k, "\"" + v + "\" is out of range (1-65535)");
    d->instance = static_cast<uint16_t>(n);
  } else if (k == "status") {
    if (v.empty() || v.size() > 24) return p.Fail(k, "a status name has 1-24 characters");
    d->statusName = v;
  } else if (k == "port") {
    std::string port = Upper(v);
    if (port.size() < 4 || port.size() > 6 || port.compare(0, 3, "COM") != 0 ||
        !ParseUnsigned(port.substr(3), 1, 255, &n))
      return p.Fail(k, "\"" + v + "\" is not a port COM1-COM255");
    d->comPort = port;
  } else if (k == "baud") {
    if (!ParseUnsigned(v, 110, 1000000, &n)) return p.Fail(k, "\"" + v + "\" is out of range (110-1000000)");
    d->baudRate = n;
  } else if (k == "parity") {
    size_t i = 0;
    while (i < 5 && v != kParity[i]) ++i;
    if (i == 5) return p.Fail(k, "\"" + v + "\" is not none, odd, even, mark or space");
    d->parity = static_cast<uint8_t>(i);
  } else if (k == "data-bits") {
    if (!ParseUnsigned(v, 5, 8, &n)) return p.Fail(k, "\"" + v + "\" is out of range (5-8)");
    d->dataBits = n;
  } else if (k == "scan-rate") {
    if (!ParseUnsigned(v, 1, 86400000, &n)) return p.Fail(k, "\"" + v + "\" is out of range (1-86400000 ms)");
    d->scanRate = n;
  } else if (k == "ai-code" || k == "di-code" || k == "stats-code") {
    std::string code;
    if (!ParseCode(p, k, v, &code)) return false;
    if (k == "stats-code") d->statsCode = code;
    else d->codes[k == "ai-code" ? IO_AI : IO_DI] = code;
  } else if (k == "ai-channels" || k == "di-channels" || k == "stats-channels") {
    uint32_t hi = k == "ai-channels" ? 128 : k == "di-channels" ? 256 : 1000;
    if (!ParseUnsigned(v, 0, hi, &n)) return p.Fail(k, "\"" + v + "\" is out of range (0-" + std::to_string(hi) + ")");
    if (k == "stats-channels") d->statsChannels = static_cast<uint16_t>(n);
    else (*counts)[k] = n;
  } else if (k == "description-blocks" || k == "save-outputs" || k == "save-by-tag") {
    if (!ParseYesNo(v, &b)) return p.Fail(k, "\"" + v + "\" is not yes or no");
    if (k == "description-blocks") d->descriptionBlocks = b;
    else if (k == "save-outputs") d->saveOutputs = b;
    else d->saveByTag = b;
  } else if (k == "save-rate") {
    if (!ParseUnsigned(v, 0, 0x7FFFFFFF, &n)) return p.Fail(k, "\"" + v + "\" is out of range (0-2147483647 ms)");
    d->saveRate = n;
  } else {
    return p.Fail(k, "unknown field");
  }
  return true;
}

}  // namespace

void sim_DefaultChannel(int type, int index, ChannelRecord *r) {
  memset(r->raw, 0, sizeof r->raw);
  char tag[16];
  snprintf(tag, sizeof tag, "%s%03d", chan_KindShortName(type), index + 1);
  for (char *p = tag; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  memcpy(r->raw, tag, std::min<size_t>(8, strlen(tag)));
  r->raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(type);
  chan_SetFlagBit(r, CHAN_FLAG_ENABLE, true);
}

std::string simfile_Escape(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c > 126) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string simfile_DevicePort(const SimDeviceSpec &d) {
  std::string port = d.comPort.empty() ? "COM" + std::to_string(d.instance) : Upper(d.comPort);
  if (!port.empty() && port.back() == ':') port.pop_back();
  return port;
}

int simfile_Parse(const std::string &text, const std::string &name, SimWorldSpec *spec, std::string *why) {
  Parser p;
  p.name = name;
  p.why = why;
  SimWorldSpec w;
  w.devices.clear();
  enum { NONE, SERVER, PROCESSOR, LOGGER, DEVICE, CHANNEL } kind = NONE;
  std::vector<PendingChannel> channels;
  std::vector<std::map<std::string, uint32_t>> counts;  // by device: ai-channels, di-channels
  std::vector<int> deviceLines;
  std::set<std::string> seenKeys;
  std::set<std::string> sectionNames;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    ++p.line;
    std::string l = Trim(raw);
    if (l.empty() || l[0] == '#') continue;
    if (l[0] == '[') {
      if (l.back() != ']') return p.section.clear(), p.Fail("", "a section line ends with ']'"), -1;
      std::string inner = Trim(l.substr(1, l.size() - 2));
      size_t sp = inner.find_first_of(" \t");
      std::string k = inner.substr(0, sp), n = sp == std::string::npos ? "" : Trim(inner.substr(sp));
      p.section = "[" + inner + "]";
      seenKeys.clear();
      if (!sectionNames.insert(k + " " + Upper(n)).second && k != "ai" && k != "di")
        return p.Fail("", "a second section " + p.section), -1;
      if (k == "server") {
        if (!n.empty()) return p.Fail("", "[server] takes no name"), -1;
        kind = SERVER;
      } else if (k == "processor") {
        if (n.empty() || n.size() > 15) return p.Fail("", "a processor name has 1-15 characters"), -1;
        w.processors.push_back({n, "", "", 0, 1, 0, 0});
        kind = PROCESSOR;
      } else if (k == "logger") {
        if (n.empty() || n.size() > 15) return p.Fail("", "a logger name has 1-15 characters"), -1;
        w.loggers.push_back(n);
        kind = LOGGER;
      } else if (k == "device") {
        if (n.empty() || n.size() > 11) return p.Fail("", "a device name (its folder) has 1-11 characters"), -1;
        SimDeviceSpec d;
        d.folder = n;
        d.statusName = n;
        d.instance = static_cast<uint16_t>(w.devices.size() + 1);
        d.codes[IO_AI] = d.codes[IO_DI] = "";
        d.channels[IO_AI] = d.channels[IO_DI] = 0;
        w.devices.push_back(d);
        counts.emplace_back();
        deviceLines.push_back(p.line);
        kind = DEVICE;
      } else if (k == "ai" || k == "di") {
        std::string tag;
        if (!Unescape(n, &tag) || tag.empty() || tag.size() > CHAN_TAG_MAX || tag.find('\0') != std::string::npos)
          return p.Fail("", "a channel tag has 1-15 characters"), -1;
        PendingChannel c;
        c.type = k == "ai" ? IO_AI : IO_DI;
        c.line = p.line;
        c.section = p.section;
        c.tag = tag;
        memset(c.record.raw, 0, sizeof c.record.raw);
        chan_SetTag(&c.record, tag.c_str());
        c.record.raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(c.type);
        chan_SetFlagBit(&c.record, CHAN_FLAG_ENABLE, true);
        if (!w.devices.empty()) c.device = w.devices.back().folder;
        channels.push_back(c);
        kind = CHANNEL;
      } else {
        return p.Fail("", "unknown section [" + k + "] (server, processor, logger, device, ai, di)"), -1;
      }
      continue;
    }
    size_t eq = l.find('=');
    if (eq == std::string::npos) return p.Fail("", "expected \"field = value\" or a [section]"), -1;
    std::string k = Trim(l.substr(0, eq)), v = Trim(l.substr(eq + 1));
    if (kind == NONE) return p.Fail(k, "a field before any [section]"), -1;
    if (k != "tag" && !seenKeys.insert(k).second) return p.Fail(k, "given twice"), -1;
    uint32_t n = 0;
    bool b = false;
    switch (kind) {
      case SERVER:
        if (k == "host") {
          if (v != "localhost" && v != "." && v != "127.0.0.1")
            return p.Fail(k, "\"" + v + "\" is not this computer (localhost)"), -1;
          w.host = v;
        } else if (k == "product") {
          if (v.size() > 31) return p.Fail(k, "longer than 31 characters"), -1;
          w.product = v;
        } else if (k == "config-folder") {
          if (v.size() < 3 || !isalpha(static_cast<unsigned char>(v[0])) || v[1] != ':' || v[2] != '\\')
            return p.Fail(k, "\"" + v + "\" is not a Windows folder such as C:\\TESSARINE\\CONFIG"), -1;
          w.configFolder = v;
        } else if (k == "errors") {
          if (!ParseUnsigned(v, 1, 1000, &n)) return p.Fail(k, "\"" + v + "\" is out of range (1-1000)"), -1;
          w.errorEntries = static_cast<int>(n);
        } else {
          return p.Fail(k, "unknown field"), -1;
        }
        break;
      case PROCESSOR: {
        SimProcessorSpec &pr = w.processors.back();
        if (k == "text") {
          if (v.size() > 31) return p.Fail(k, "longer than 31 characters"), -1;
          pr.text = v;
        } else if (k == "code") {
          if (!ParseCode(p, k, v, &pr.code)) return -1;
        } else if (k == "kind" || k == "flag") {
          if (!ParseUnsigned(v, 0, 255, &n)) return p.Fail(k, "\"" + v + "\" is out of range (0-255)"), -1;
          (k == "kind" ? pr.kind : pr.flag) = static_cast<uint8_t>(n);
        } else if (k == "enabled") {
          if (!ParseYesNo(v, &b)) return p.Fail(k, "\"" + v + "\" is not yes or no"), -1;
          pr.enabled = b;
        } else if (k == "channels" || k == "tag") {
          if (pr.code.empty()) return p.Fail(k, "the processor has no code for its channels"), -1;
          if (w.processorAreas.empty() || w.processorAreas.back().code != pr.code)
            w.processorAreas.push_back({pr.code, 0, {}});
          SimProcessorAreas &a = w.processorAreas.back();
          if (k == "channels") {
            if (!ParseUnsigned(v, 1, 256, &n)) return p.Fail(k, "\"" + v + "\" is out of range (1-256)"), -1;
            a.channels = static_cast<uint16_t>(n);
          } else {
            if (v.empty() || v.size() > CHAN_TAG_MAX) return p.Fail(k, "a channel tag has 1-15 characters"), -1;
            a.tags.push_back(v);
          }
        } else {
          return p.Fail(k, "unknown field"), -1;
        }
        break;
      }
      case LOGGER:
        return p.Fail(k, "unknown field"), -1;
      case DEVICE:
        if (!SetDeviceField(p, &w.devices.back(), k, v, &counts.back())) return -1;
        break;
      case CHANNEL: {
        PendingChannel &c = channels.back();
        if (k == "device") {
          c.device = v;
        } else if (k == "tag") {
          return p.Fail(k, "the tag is the section's name"), -1;
        } else if (!SetChannelField(p, c.type, &c.record, k, v)) {
          return -1;
        }
        c.fields.insert(k);
        break;
      }
      case NONE:
        break;
    }
  }
  // Checks across sections, each reported at the line it concerns.
  for (const SimProcessorAreas &a : w.processorAreas)
    if (a.channels == 0) {
      p.line = 0, p.section.clear();
      return p.Fail("channels", "processor code " + a.code + " has tags but no channel count"), -1;
    }
  std::set<std::string> tags;
  for (const PendingChannel &c : channels) {
    p.line = c.line;
    p.section = c.section;
    size_t di = 0;
    while (di < w.devices.size() && strcasecmp(w.devices[di].folder.c_str(), c.device.c_str()) != 0) ++di;
    if (di == w.devices.size())
      return p.Fail("device", c.device.empty() ? "no [device] section before it" : "no device " + c.device), -1;
    if (!c.fields.count("pump")) return p.Fail("pump", "missing"), -1;
    if (!c.fields.count("item")) return p.Fail("item", "missing"), -1;
    if (!tags.insert(Upper(c.tag)).second) return p.Fail("", "duplicate tag " + c.tag), -1;
    SimDeviceSpec &d = w.devices[di];
    if (d.codes[c.type].empty()) d.codes[c.type] = c.type == IO_AI ? "A" + std::to_string(di + 1) : "D" + std::to_string(di + 1);
    d.records[c.type].push_back(c.record);
  }
  std::set<std::string> codes, ports;
  std::set<uint32_t> instances;
  for (size_t di = 0; di < w.devices.size(); ++di) {
    SimDeviceSpec &d = w.devices[di];
    p.line = deviceLines[di];
    p.section = "[device " + d.folder + "]";
    for (int t : {IO_AI, IO_DI}) {
      const char *key = t == IO_AI ? "ai-channels" : "di-channels";
      auto it = counts[di].find(key);
      size_t n = d.records[t].size();
      if (it != counts[di].end()) {
        if (it->second < n)
          return p.Fail(key, std::to_string(it->second) + " is fewer than its " + std::to_string(n) + " channels"), -1;
        n = it->second;
      }
      d.channels[t] = static_cast<uint16_t>(n);
      if (n == 0) d.codes[t].clear();
      if (!d.codes[t].empty() && !codes.insert(d.codes[t]).second)
        return p.Fail(t == IO_AI ? "ai-code" : "di-code", "area code " + d.codes[t] + " is used twice"), -1;
    }
    if (!d.statsCode.empty() && !codes.insert(d.statsCode).second)
      return p.Fail("stats-code", "area code " + d.statsCode + " is used twice"), -1;
    if (!instances.insert(d.instance).second) return p.Fail("instance", "instance used twice"), -1;
    // Named in the device's files, so that a world written back builds them the same.
    if (d.comPort.empty()) d.comPort = simfile_DevicePort(d);
    if (!ports.insert(simfile_DevicePort(d)).second) return p.Fail("port", "port used twice"), -1;
  }
  if (w.devices.empty()) return p.line = 0, p.section.clear(), p.Fail("", "no [device] section"), -1;
  *spec = w;
  return 0;
}

int simfile_Load(const std::string &path, SimWorldSpec *spec, std::string *why) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (why) *why = path + ": cannot read: " + strerror(errno);
    return -1;
  }
  std::stringstream s;
  s << f.rdbuf();
  return simfile_Parse(s.str(), path, spec, why);
}

std::string simfile_Write(const SimWorldSpec &w) {
  std::ostringstream o;
  o << "# A server world: scadasim world FILE builds it; docs/world-file.md tells every field.\n\n";
  o << "[server]\nhost = " << w.host << "\n";
  if (!w.product.empty()) o << "product = " << w.product << "\n";
  o << "config-folder = " << w.configFolder << "\nerrors = " << w.errorEntries << "\n";
  for (const SimProcessorSpec &p : w.processors) {
    o << "\n[processor " << p.name << "]\n";
    if (!p.text.empty()) o << "text = " << p.text << "\n";
    if (!p.code.empty()) o << "code = " << p.code << "\n";
    if (p.kind) o << "kind = " << unsigned(p.kind) << "\n";
    if (p.flag) o << "flag = " << unsigned(p.flag) << "\n";
    o << "enabled = " << (p.enabled ? "yes" : "no") << "\n";
    for (const SimProcessorAreas &a : w.processorAreas)
      if (!p.code.empty() && a.code == p.code) {
        o << "channels = " << a.channels << "\n";
        for (const std::string &t : a.tags) o << "tag = " << t << "\n";
      }
  }
  for (const std::string &l : w.loggers) o << "\n[logger " << l << "]\n";
  for (const SimDeviceSpec &d : w.devices) {
    o << "\n[device " << d.folder << "]\n";
    o << "driver = " << d.name << "\ninstance = " << d.instance << "\n";
    if (d.statusName != d.folder) o << "status = " << d.statusName << "\n";
    o << "port = " << simfile_DevicePort(d) << "\nbaud = " << d.baudRate << "\nparity = "
      << (d.parity < 5 ? kParity[d.parity] : "none") << "\ndata-bits = " << d.dataBits << "\nscan-rate = " << d.scanRate
      << "\n";
    for (int t : {IO_AI, IO_DI}) {
      if (d.codes[t].empty()) continue;
      o << (t == IO_AI ? "ai-code = " : "di-code = ") << d.codes[t] << "\n";
      if (d.channels[t] != d.records[t].size()) o << (t == IO_AI ? "ai-channels = " : "di-channels = ") << d.channels[t] << "\n";
    }
    if (!d.statsCode.empty()) o << "stats-code = " << d.statsCode << "\nstats-channels = " << d.statsChannels << "\n";
    if (d.descriptionBlocks) o << "description-blocks = yes\n";
    if (d.saveOutputs) o << "save-outputs = yes\n";
    if (d.saveByTag) o << "save-by-tag = yes\n";
    if (d.saveRate) o << "save-rate = " << d.saveRate << "\n";
  }
  for (size_t di = 0; di < w.devices.size(); ++di) {
    const SimDeviceSpec &d = w.devices[di];
    for (int t : {IO_AI, IO_DI}) {
      for (const ChannelRecord &r : d.records[t]) {
        FieldList list = FieldsOf(t);
        o << "\n[" << (t == IO_AI ? "ai " : "di ") << simfile_Escape(chan_GetTag(&r)) << "]\n";
        if (w.devices.size() > 1) o << "device = " << d.folder << "\n";
        for (size_t i = 0; i < list.count; ++i) {
          const ChannelField &f = list.fields[i];
          std::string v;
          switch (f.kind) {
            case F_TEXT: v = simfile_Escape(f.at == T_DESC ? chan_GetDescription(&r) : chan_GetUnits(&r)); break;
            case F_TEXT32: {
              char b[CHAN_TEXT_SIZE + 1];
              chan_GetText32(&r, f.at, b);
              v = simfile_Escape(b);
              break;
            }
            case F_FLOAT: {
              float x;
              memcpy(&x, r.raw + f.at, 4);
              if (x != 0.0f || std::signbit(x)) v = FloatText(x);
              break;
            }
            case F_U8: if (r.raw[f.at]) v = std::to_string(r.raw[f.at]); break;
            case F_U16: {
              uint16_t x;
              memcpy(&x, r.raw + f.at, 2);
              if (x) v = std::to_string(x);
              break;
            }
            case F_FLAG:
              if (f.at == CHAN_FLAG_ENABLE) v = chan_FlagBit(&r, f.at) ? "" : "no";
              else if (chan_FlagBit(&r, f.at)) v = "yes";
              break;
            case F_STATE: if (chan_FlagBit(&r, f.at)) v = "high"; break;
            case F_PUMP: v = std::to_string(Get32(r, f.at)); break;
            case F_ITEM: v = ItemName(t, Get32(r, f.at)); break;
          }
          if (!v.empty()) o << f.name << " = " << v << "\n";
        }
      }
    }
  }
  return o.str();
}

uint8_t simfile_UnitsOnPort(const SimWorldSpec &spec, const std::string &port) {
  std::string want = Upper(port);
  if (!want.empty() && want.back() == ':') want.pop_back();
  uint8_t units = 0;
  for (const SimDeviceSpec &d : spec.devices) {
    if (!want.empty() && simfile_DevicePort(d) != want) continue;
    for (int t : {IO_AI, IO_DI}) {
      int hw = t == IO_AI ? CHAN_ANALOGUE_HW_OFFSET : CHAN_DIGITAL_HW_OFFSET;
      for (const ChannelRecord &r : d.records[t]) {
        uint32_t pump = Get32(r, hw);
        if (pump >= 1 && pump <= 8) units = static_cast<uint8_t>(units | (1u << (pump - 1)));
      }
    }
  }
  return units;
}

// ---- The world in force.

namespace {

std::string FixedText(const char *p, size_t n) { return std::string(p, strnlen(p, n)); }

int32_t Count(void *seg) {
  int32_t n = 0;
  if (seg && shm_DataLength(seg) >= 4) memcpy(&n, shm_Payload(seg), 4);
  return n;
}

bool FailLive(std::string *why, const std::string &text) {
  if (why) *why = text;
  return false;
}

}  // namespace

int simfile_ReadLive(SimWorldSpec *spec, std::string *why) {
  SimWorldSpec w;
  w.devices.clear();
  std::ifstream note(std::string(os_Root()) + "/scadasim-world");
  if (!note) return FailLive(why, std::string("no world in the platform root ") + os_Root()), -1;
  for (std::string line; std::getline(note, line);) {
    size_t sp = line.find(' ');
    std::string k = line.substr(0, sp), v = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (k == "config-folder") w.configFolder = v;
    else if (k == "host") w.host = v;
    else if (k == "product") w.product = v;
  }
  void *dev = shm_OpenSegment("dm_device"), *proc = shm_OpenSegment("dm_datproc");
  void *log = shm_OpenSegment("dm_loggers"), *err = shm_OpenSegment("dm_errors");
  if (!dev || !proc || !log || !err) return FailLive(why, "the world's tables are gone"), -1;
  w.errorEntries = Count(err);
  int32_t np = Count(proc);
  for (int32_t i = 0; i < np && 4 + (i + 1) * 60 <= shm_DataLength(proc); ++i) {
    const DataProcessorRecord *r = reinterpret_cast<const DataProcessorRecord *>(shm_Payload(proc) + 4) + i;
    SimProcessorSpec p;
    p.name = FixedText(r->Name, sizeof r->Name);
    p.text = FixedText(r->NameText, sizeof r->NameText);
    p.code = FixedText(r->Code, 2);
    p.kind = r->Kind, p.enabled = r->Enabled, p.flag = r->Flag;
    w.processors.push_back(p);
    if (p.code.size() != 2) continue;
    void *conf = shm_OpenSegment(("dm_" + p.code + "_conf").c_str());
    if (!conf) continue;
    SimProcessorAreas a;
    a.code = p.code;
    a.channels = static_cast<uint16_t>(shm_DataLength(conf) / CHAN_RECORD_SIZE);
    if (p.kind == SIM_LOGGER_STATUS_KIND) {
      // The loggers' feeds write its records; 32 rows a logger is the default.
      if (a.channels != 32 * std::max(Count(log), 0)) w.processorAreas.push_back(a);
      continue;
    }
    for (uint16_t c = 0; c < a.channels; ++c) {
      const ChannelRecord *rec = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf)) + c;
      char own[16];
      snprintf(own, sizeof own, "%s%03u", p.code.c_str(), c + 1u);
      std::string tag = chan_GetTag(rec);
      if (tag == own) break;  // the default tags follow the named ones
      a.tags.push_back(tag);
    }
    w.processorAreas.push_back(a);
  }
  int32_t nl = Count(log);
  for (int32_t i = 0; i < nl && 4 + (i + 1) * 172 <= shm_DataLength(log); ++i)
    w.loggers.push_back(FixedText(reinterpret_cast<const LoggerRecord *>(shm_Payload(log) + 4)[i].Name, 15));
  int32_t nd = Count(dev);
  w.statisticsCodes = shm_DataLength(dev) == 4 + nd * 790;
  if (nd < 0 || shm_DataLength(dev) < 4 + nd * 788) return FailLive(why, "the device table is short"), -1;
  const DeviceRecord *recs = reinterpret_cast<const DeviceRecord *>(shm_Payload(dev) + 4);
  const char *stats = reinterpret_cast<const char *>(recs + nd);
  char root[4096];
  if (os_TranslatePath(w.configFolder.c_str(), root, sizeof root) != 0)
    return FailLive(why, "bad configuration folder " + w.configFolder), -1;
  for (int32_t i = 0; i < nd; ++i) {
    const DeviceRecord &r = recs[i];
    SimDeviceSpec d;
    d.name = FixedText(r.Name, sizeof r.Name);
    d.statusName = FixedText(r.StatusName, sizeof r.StatusName);
    d.instance = r.Instance;
    d.folder = FixedText(r.Folder, sizeof r.Folder);
    if (w.statisticsCodes) d.statsCode = FixedText(stats + 2 * i, 2);
    std::string dir = std::string(root) + "/" + d.folder;
    uint8_t c[DEVICE_CONFIG_SIZE] = {};
    uint8_t save[CFG_SAVECONFIG_SIZE] = {};
    if (cfg_ReadFileAt(dir + "/config", CFG_RECORD_OFFSET, c, sizeof c) != 0)
      return FailLive(why, "cannot read " + dir + "/config"), -1;
    memcpy(&d.scanRate, c + 0, 4);
    memcpy(&d.baudRate, c + 4, 4);
    d.comPort = FixedText(reinterpret_cast<const char *>(c + 8), 6);
    d.parity = c[16];
    memcpy(&d.dataBits, c + 20, 4);
    if (cfg_ReadFileAt(dir + "/saveconfig", 0, save, sizeof save) == 0) {
      d.saveOutputs = save[0], d.saveByTag = save[1];
      int32_t rate;
      memcpy(&rate, save + CFG_SAVERATE_OFFSET, 4);
      d.saveRate = static_cast<uint32_t>(rate);
    }
    std::string win = cfg_JoinPath(w.configFolder, d.folder.c_str());
    for (int t = 0; t < IO_TYPE_COUNT; ++t) {
      d.codes[t] = FixedText(r.IoCodes[t], 2);
      d.channels[t] = 0;
      if (d.codes[t].empty()) continue;
      void *data = shm_OpenSegment(("dm_" + d.codes[t]).c_str());
      if (!data) return FailLive(why, "the area " + d.codes[t] + " is gone"), -1;
      uint16_t n = shm_AreaHeader(data)->count;
      uint32_t width = shm_AreaHeader(data)->entryWidth;
      d.channels[t] = n;
      d.descriptionBlocks = shm_DataLength(data) > static_cast<int32_t>(20 + n * width);
      d.records[t].resize(n);
      if (n && chan_ReadChannels(win.c_str(), t, d.records[t].data(), 0, n, nullptr, 0, nullptr) != 0)
        return FailLive(why, std::string("cannot read the channel file ") + chan_KindShortName(t) + " of " + win), -1;
      // Channels the world made without a description stay counted, not written.
      ChannelRecord spare;
      while (!d.records[t].empty()) {
        sim_DefaultChannel(t, static_cast<int>(d.records[t].size() - 1), &spare);
        if (memcmp(spare.raw, d.records[t].back().raw, CHAN_RECORD_SIZE) != 0) break;
        d.records[t].pop_back();
      }
    }
    if (!d.statsCode.empty())
      if (void *s = shm_OpenSegment(("dm_" + d.statsCode).c_str())) d.statsChannels = shm_AreaHeader(s)->count;
    w.devices.push_back(d);
  }
  *spec = w;
  return 0;
}
