#include "tests/soak/soak_plan.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "framework/config/chan_text.h"
#include "scanner/pump_names.h"
#include "tests/support/reply_fields.h"

namespace soak {

namespace {

struct Channel {
  uint32_t pump, index;
  const char *tag;
  void (*shape)(ChannelRecord *);
};

void On(ChannelRecord *r, int bit) { chan_SetFlagBit(r, bit, true); }

void PressureAlarm(ChannelRecord *r) {
  On(r, CHAN_AF_HIGH_ALARM_ENABLE);
  On(r, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE);
  On(r, CHAN_AF_ERROR_ALARM_ENABLE);
  r->a.HighAlarmLimit = 100, r->a.HighAlarmDeadband = 95, r->a.HighAlarmPriority = 3, r->a.ErrorAlarmPriority = 7;
}
void Reference(ChannelRecord *r) { On(r, CHAN_AF_REFERENCE_ENABLE); }
void Position(ChannelRecord *r) {
  for (int bit : {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                  CHAN_AF_LOW_ALARM_DEADBAND_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_WARNING_ENABLE,
                  CHAN_AF_EVENT_ENABLE})
    On(r, bit);
  ChannelAnalogue &a = r->a;
  a.HighAlarmLimit = 90, a.HighAlarmDeadband = 85, a.LowAlarmLimit = 10, a.LowAlarmDeadband = 15;
  a.HighWarningLimit = 80, a.LowWarningLimit = 20, a.HighEventLimit = 95, a.LowEventLimit = 5;
  a.HighAlarmPriority = 2, a.LowAlarmPriority = 2, a.HighAlarmDelay = 1;
}
void Scaled(ChannelRecord *r) {
  On(r, CHAN_AF_SCALING_ENABLE);
  r->a.Gain = 10, r->a.Offset = 1;
}
void Volume(ChannelRecord *r) {
  On(r, CHAN_AF_SCALING_ENABLE);
  On(r, CHAN_AF_SIG_CHANGE_ENABLE);
  r->a.Gain = 1000, r->a.SigChangeValue = 0.5f;
}
void Aux(ChannelRecord *r) {
  On(r, CHAN_AF_SIG_CHANGE_ENABLE);
  On(r, CHAN_AF_LOW_ALARM_ENABLE);
  r->a.SigChangeValue = 0.5f, r->a.LowAlarmLimit = 2, r->a.LowAlarmPriority = 1;
}
void OutletEvents(ChannelRecord *r) {
  On(r, CHAN_AF_EVENT_ENABLE);
  r->a.HighEventLimit = 150, r->a.LowEventLimit = 50;
}
void Disabled(ChannelRecord *r) { chan_SetFlagBit(r, CHAN_FLAG_ENABLE, false); }
void AlarmHigh(ChannelRecord *r) {
  On(r, CHAN_DF_ALARM_ENABLE);
  On(r, CHAN_DF_ALARM_STATE);
  r->d.AlarmPriority = 4;
}
void DelayedAlarm(ChannelRecord *r) {
  AlarmHigh(r);
  r->d.AlarmDelay = 2;
}
void EventHigh(ChannelRecord *r) {
  On(r, CHAN_DF_EVENT_ENABLE);
  On(r, CHAN_DF_EVENT_STATE);
}
void ErrorAlarm(ChannelRecord *r) {
  On(r, CHAN_DF_ERROR_ALARM_ENABLE);
  r->d.ErrorAlarmPriority = 6;
}

const Channel kAnalogue[] = {
    {1, 1, "P1.CYL1.PRESS", PressureAlarm}, {1, 10, "P1.SET.RATE", Reference}, {2, 18, "P2.CYL1.POS", Position},
    {2, 22, "P2.CONTR.VER", Scaled},        {3, 9, "P3.CUM.VOL", Volume},      {3, 14, "P3.SAFE.PRESS", nullptr},
    {4, 41, "P4.AUX.AD1", Aux},             {4, 3, "P4.OP.PRESS", OutletEvents}, {1, 19, "P1.OFF", Disabled},
    {9, 18, "P9.CYL1.POS", nullptr},
};
const Channel kDigital[] = {
    {1, 1, "P1.STATUS", AlarmHigh},   {1, 4, "P1.CYL1.DIR", EventHigh},  {2, 144, "P2.DIG.IN1", DelayedAlarm},
    {2, 9, "P2.CYL2.MOVING", nullptr}, {3, 26, "P3.M.VALVE1", nullptr},   {3, 112, "P3.AUX.VALVE1", EventHigh},
    {4, 6, "P4.CYL1.RUN", nullptr},   {4, 146, "P4.DIG.IN3", ErrorAlarm}, {2, 1, "P2.OFF", Disabled},
    {4, 1, "P4.STATUS", nullptr},
};
const int kChannels = 10;

void Shape(int type, int i, ChannelRecord *r) {
  const Channel *list = type == IO_AI ? kAnalogue : type == IO_DI ? kDigital : nullptr;
  if (!list || i >= kChannels) return;
  const Channel &c = list[i];
  chan_SetTag(r, c.tag);
  int hw = type == IO_AI ? CHAN_ANALOGUE_HW_OFFSET : CHAN_DIGITAL_HW_OFFSET;
  memcpy(r->raw + hw, &c.pump, 4);
  memcpy(r->raw + hw + 4, &c.index, 4);
  if (c.shape) c.shape(r);
}

bool Digits3(const std::string &s) {
  return s.size() >= 3 && isdigit(static_cast<unsigned char>(s[0])) && isdigit(static_cast<unsigned char>(s[1])) &&
         isdigit(static_cast<unsigned char>(s[2]));
}

bool IsBulk(const std::string &m) { return m == "PRV_ALL" || m == "SETPOINT_ALL"; }

bool IsDigital(const std::string &m) {
  for (int i = 1; i < PUMP_DIGITAL_NAMES; ++i)
    if (m == DigitalValueNames[i]) return true;
  return false;
}


bool Near(float a, float b) { return std::fabs(a - b) <= 1e-5f * std::fmax(1.0f, std::fabs(b)); }

std::string Text(int error) {
  if (error == 0) return "";
  if (error == -1) return "Comms Error";
  if (error == -2) return "Timeout Error";
  char t[32];
  snprintf(t, sizeof t, "Tarnwell Error #%03d", error);
  return t;
}

}  // namespace

Source SourceOf(int type, const ChannelRecord &r) {
  Source s;
  bool digital = type == IO_DI;
  int hw = digital ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  uint32_t pump, index;
  memcpy(&pump, r.raw + hw, 4);
  memcpy(&index, r.raw + hw + 4, 4);
  s.takesPart = chan_FlagBit(&r, CHAN_FLAG_ENABLE) && pump != 0 && index != 0;
  s.pump = static_cast<int>(pump);
  bool known = false;
  if (digital) {
    known = index < PUMP_DIGITAL_NAMES;
    if (known) s.mnemonic = DigitalValueNames[index];
  } else if (index >= 1 && index <= 9) {
    known = true, s.mnemonic = "PRV_ALL", s.field = static_cast<int>(index - 1);
  } else if (index >= 10 && index <= 17) {
    known = true, s.mnemonic = "SETPOINT_ALL", s.field = static_cast<int>(index - 10);
  } else if (index >= PUMP_FIRST_ANALOG_QUERY && index < PUMP_ANALOG_NAMES) {
    known = true, s.mnemonic = AnalogValueNames[index];
  }
  s.online = known && pump >= 1 && pump <= 8;
  return s;
}

SimWorldSpec WorldSpec(uint32_t scanRate) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = kChannels;
  d.channels[IO_DI] = kChannels;
  d.channelSetup = Shape;
  d.scanRate = scanRate;
  d.statsCode = "S1";
  d.statsChannels = 50;  // the line and units 1-4
  w.processors = {{"ALARM", "Alarms", "", 0, 1, 0, 0}, {"DERIVED", "Derived", "", 0, 1, 0, 0}};
  w.loggers = {"LOG1"};
  return w;
}

std::vector<std::string> Mnemonics() {
  std::set<std::string> all = {"PRV_ALL", "SETPOINT_ALL"};
  for (const Channel &c : kAnalogue)
    if (c.index >= PUMP_FIRST_ANALOG_QUERY) all.insert(AnalogValueNames[c.index]);
  for (const Channel &c : kDigital) all.insert(DigitalValueNames[c.index]);
  return std::vector<std::string>(all.begin(), all.end());
}

// The commands the device sends: (unit, mnemonic), bulk ones included.
std::vector<std::pair<int, std::string>> Commands() {
  std::set<std::pair<int, std::string>> all;
  for (const Channel &c : kAnalogue) {
    if (c.pump < 1 || c.pump > static_cast<uint32_t>(kUnits)) continue;
    int u = static_cast<int>(c.pump);
    all.insert({u, "PRV_ALL"});
    all.insert({u, "SETPOINT_ALL"});
    if (c.index >= PUMP_FIRST_ANALOG_QUERY) all.insert({u, AnalogValueNames[c.index]});
  }
  for (const Channel &c : kDigital)
    if (c.pump >= 1 && c.pump <= static_cast<uint32_t>(kUnits)) all.insert({static_cast<int>(c.pump), DigitalValueNames[c.index]});
  return std::vector<std::pair<int, std::string>>(all.begin(), all.end());
}

std::vector<PsimFault> RandomFaults(std::mt19937 &random) {
  std::vector<PsimFault> out;
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  if (pick(100) < 20) return out;  // a clean line for a while
  static const std::vector<std::pair<int, std::string>> commands = Commands();
  static const std::vector<std::string> mnemonics = Mnemonics();
  uint32_t count = 1 + pick(2);
  bool overlong = false, spaced = false;
  for (uint32_t k = 0; k < count; ++k) {
    PsimFault f;
    uint32_t roll = pick(100);
    f.kind = roll < 22   ? PSIM_FAULT_ERROR
             : roll < 42 ? PSIM_FAULT_GARBAGE
             : roll < 55 ? PSIM_FAULT_SPACED
             : roll < 68 ? PSIM_FAULT_OVERLONG
             : roll < 80 ? PSIM_FAULT_SHORT
             : roll < 92 ? PSIM_FAULT_SILENCE
                         : PSIM_FAULT_ABSENT;
    // Bytes spaced after an over-long reply would arrive as the next reply;
    // the two are not thrown together.
    if ((f.kind == PSIM_FAULT_SPACED && overlong) || (f.kind == PSIM_FAULT_OVERLONG && spaced)) f.kind = PSIM_FAULT_ERROR;
    overlong |= f.kind == PSIM_FAULT_OVERLONG;
    spaced |= f.kind == PSIM_FAULT_SPACED;
    // One command of one unit; or a whole unit (an absent unit always is);
    // or one command on every unit.
    uint32_t aim = pick(100);
    if (aim < 35 || f.kind == PSIM_FAULT_ABSENT) {
      f.unit = static_cast<int>(1 + pick(kUnits));
    } else if (aim < 50) {
      f.unit = 0;
      f.command = mnemonics[pick(static_cast<uint32_t>(mnemonics.size()))];
    } else {
      const auto &c = commands[pick(static_cast<uint32_t>(commands.size()))];
      f.unit = c.first;
      f.command = c.second;
    }
    f.percent = f.command.empty() ? 5 + pick(26) : 20 + pick(61);
    if (f.kind == PSIM_FAULT_ERROR) f.arg = 1 + pick(999);
    if (f.kind == PSIM_FAULT_SPACED) f.arg = 1 + pick(40), f.percent = 100;
    out.push_back(f);
  }
  return out;
}

std::string DescribeFaults(const std::vector<PsimFault> &faults) {
  static const char *const kinds[] = {"silence", "garbage", "short", "overlong", "error", "spaced", "absent"};
  std::string s;
  for (const PsimFault &f : faults) {
    if (!s.empty()) s += " ";
    s += (f.unit ? std::to_string(f.unit) : std::string("*")) + ":" + (f.command.empty() ? "*" : f.command) + "=" +
         kinds[f.kind];
    if (f.kind == PSIM_FAULT_ERROR || f.kind == PSIM_FAULT_SPACED) s += ":" + std::to_string(f.arg);
    s += "@" + std::to_string(f.percent);
  }
  return s.empty() ? "none" : s;
}

int ErrorOf(const PsimExchange &e) {
  // The reader stops at the carriage return or at the limit.
  size_t limit = psim_ReplyLimit(e.mnemonic), cr = e.reply.find('\r');
  if (!e.answered) return -2;
  if (cr == std::string::npos || cr >= limit) return e.reply.size() >= limit ? -1 : -2;
  if (!Digits3(e.reply)) return -1;
  return atoi(e.reply.substr(0, 3).c_str());
}

void PassLog::Add(const std::vector<PsimExchange> &exchanges) {
  for (const PsimExchange &e : exchanges) {
    if (e.command == "RP1PRV_ALL" || passes_.empty()) {
      if (!passes_.empty() && e.command == "RP1PRV_ALL") {
        passes_.back().complete = true;
        ++completed_;
      }
      passes_.emplace_back();
      while (passes_.size() > 6) passes_.pop_front();
    }
    passes_.back().exchanges.push_back(e);
  }
}

std::vector<const Pass *> PassLog::Last(size_t n) const {
  std::vector<const Pass *> out;
  for (size_t i = passes_.size() > n ? passes_.size() - n : 0; i < passes_.size(); ++i) out.push_back(&passes_[i]);
  return out;
}

const PsimExchange *Find(const Pass &p, const std::string &command) {
  for (auto it = p.exchanges.rbegin(); it != p.exchanges.rend(); ++it)
    if (it->command == command) return &*it;
  return nullptr;
}

PassOutcome OutcomeOf(const Pass &p, const ChannelRecord *ai, int aiCount) {
  PassOutcome o;
  // The digital handler: line errors and time-outs of the bulk replies, then
  // every error of its own queries, in the order sent.
  for (const PsimExchange &e : p.exchanges) {
    int err = ErrorOf(e);
    if (o.error != 0 || err == 0) continue;
    if (IsBulk(e.mnemonic) ? err < 0 : IsDigital(e.mnemonic)) o.error = err;
  }
  if (o.error < 0) return o.failed = true, o;
  if (o.error > 0) return o;
  // The analogue handler, in channel order: its queries, and the status of
  // the bulk replies its channels read.
  for (int i = 0; i < aiCount && o.error == 0; ++i) {
    Source s = SourceOf(IO_AI, ai[i]);
    if (!s.takesPart || !s.online) continue;
    const PsimExchange *e = Find(p, s.Command());
    if (!e) continue;
    int err = ErrorOf(*e);
    if (s.field < 0 || err > 0) o.error = err;
  }
  return o;
}

void AllowedTexts(const PassOutcome &o, std::set<std::string> *texts) {
  texts->insert(Text(o.error));
  if (!o.failed) return;
  char t[64];
  int e = o.error == -2 ? 1460 : 30;
  for (const char *f : {"CAN'T SCAN DEVICE -%04d", "CAN'T INITIALISE DEVICE -%04d", "CAN'T RECONFIGURE DEVICE -%04d",
                        "CAN'T INITIALISE VALUES - %04d"}) {
    snprintf(t, sizeof t, f, e);
    texts->insert(t);
  }
}

bool ReplyValue(const Source &s, const std::string &reply, float *value) {
  std::string text;
  if (!tnwtest::ReplyFieldText(reply, s.field < 0 ? 0 : s.field, s.field < 0 ? 3 : 4, &text)) return false;
  if (IsDigital(s.mnemonic)) {
    *value = strtol(text.c_str(), nullptr, 10) != 0 ? 1.0f : 0.0f;
    return true;
  }
  *value = static_cast<float>(strtod(text.c_str(), nullptr));
  return true;
}

// The values a good channel may show: the clean replies of its command in the
// recent passes, scaled by the table before or after a reload, less a zero
// offset the reference channel may have.
bool GoodExplained(int type, float shown, const std::vector<const Pass *> &passes,
                   const std::vector<const ChannelRecord *> &records, const std::set<float> &offsets) {
  for (const ChannelRecord *r : records) {
    Source s = SourceOf(type, *r);
    for (const Pass *p : passes) {
      const PsimExchange *e = Find(*p, s.Command());
      float raw;
      if (!e || ErrorOf(*e) != 0 || !ReplyValue(s, e->reply, &raw)) continue;
      if (type == IO_DI) {
        if (shown == raw) return true;
        continue;
      }
      float v = raw;
      uint16_t f = chan_FlagWord(r);
      if (f & CHAN_AW_SCALING_ENABLE) v = v * r->a.Gain + r->a.Offset;
      if (!(f & CHAN_AW_REFERENCE_ENABLE)) {
        if (Near(shown, v)) return true;
        continue;
      }
      for (float o : offsets)
        if (Near(shown, v - o)) return true;
    }
  }
  return false;
}

// A bad channel needs a reason: it does not take part, its command failed,
// or a pass failed and the device was initialised again.
bool BadExplained(int type, const ChannelRecord &r, const std::vector<const Pass *> &passes,
                  const std::vector<bool> &failed) {
  Source s = SourceOf(type, r);
  if (!s.takesPart || !s.online) return true;
  for (size_t i = 0; i < passes.size(); ++i) {
    if (failed[i]) return true;
    const PsimExchange *e = Find(*passes[i], s.Command());
    if (e && ErrorOf(*e) != 0) return true;
  }
  return false;
}

}  // namespace soak
