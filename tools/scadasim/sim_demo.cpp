#include "tools/scadasim/sim_demo.h"

#include <cstdio>
#include <cstring>

#include "framework/config/chan_text.h"

namespace {

struct DemoChannel {
  const char *tag;
  uint32_t pump, value;  // value index of the pump command tables
  const char *units;
  void (*shape)(ChannelRecord *);
};

void Flag(ChannelRecord *r, int bit) { chan_SetFlagBit(r, bit, true); }

// Cylinder position: warnings at 20 and 80, alarms at 10 and 90 with
// deadband levels, events at 5 and 95.
void Position(ChannelRecord *r) {
  ChannelAnalogue &a = r->a;
  for (int bit : {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                  CHAN_AF_LOW_ALARM_DEADBAND_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_WARNING_ENABLE,
                  CHAN_AF_EVENT_ENABLE})
    Flag(r, bit);
  a.HighAlarmLimit = 90, a.HighAlarmDeadband = 85, a.HighAlarmPriority = 3;
  a.LowAlarmLimit = 10, a.LowAlarmDeadband = 15, a.LowAlarmPriority = 2;
  a.HighWarningLimit = 80, a.LowWarningLimit = 20;
  a.HighEventLimit = 95, a.LowEventLimit = 5;
}

void Pressure(ChannelRecord *r) {
  Flag(r, CHAN_AF_SIG_CHANGE_ENABLE);
  r->a.SigChangeValue = 5;
}

// The outlet: a high alarm well above the working pressure, held down to 240.
void Outlet(ChannelRecord *r) {
  Flag(r, CHAN_AF_HIGH_ALARM_ENABLE);
  Flag(r, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE);
  r->a.HighAlarmLimit = kDemoOutletLimit, r->a.HighAlarmDeadband = kDemoOutletLimit - 10, r->a.HighAlarmPriority = 5;
}

void Microlitres(ChannelRecord *r) {
  Flag(r, CHAN_AF_SCALING_ENABLE);
  r->a.Gain = 1000, r->a.Offset = 0;
}

// A high alarm raised after a delay, driving the common alarm.
void DelayedHigh(ChannelRecord *r) {
  Flag(r, CHAN_AF_HIGH_ALARM_ENABLE);
  Flag(r, CHAN_AF_HIGH_ALARM_DRIVE_COMMON);
  r->a.HighAlarmLimit = 75, r->a.HighAlarmPriority = 5, r->a.HighAlarmDelay = 2;
}

void AlarmWhenHigh(ChannelRecord *r) {
  Flag(r, CHAN_DF_ALARM_ENABLE);
  Flag(r, CHAN_DF_ALARM_STATE);
  r->d.AlarmPriority = 4;
}

void EventWhenHigh(ChannelRecord *r) {
  Flag(r, CHAN_DF_EVENT_ENABLE);
  Flag(r, CHAN_DF_EVENT_STATE);
}

void ErrorAlarm(ChannelRecord *r) {
  Flag(r, CHAN_DF_ERROR_ALARM_ENABLE);
  r->d.ErrorAlarmPriority = 6;
}

const DemoChannel kAnalogue[] = {
    {"P1.CYL1.POS", 1, 18, "%", Position},       {"P1.CYL1.PRESS", 1, 1, "bar", Pressure},
    {"P1.OP.PRESS", 1, 3, "bar", Outlet},        {"P1.CUM.VOL", 1, 9, "ul", Microlitres},
    {"P2.CYL2.POS", 2, 19, "%", DelayedHigh},    {"P2.SET.RATE", 2, 10, "ml/min", nullptr},
    {"P2.AUX.AD1", 2, 41, "V", nullptr},         {"P2.CONTR.VER", 2, 22, "", nullptr},
};
const DemoChannel kDigital[] = {
    {"P1.STATUS", 1, 1, "", nullptr},            {"P1.CYL1.EXTLIM", 1, 24, "", AlarmWhenHigh},
    {"P1.CYL1.RETLIM", 1, 18, "", EventWhenHigh}, {"P1.CYL1.DIR", 1, 4, "", EventWhenHigh},
    {"P2.CYL2.MOVING", 2, 9, "", nullptr},       {"P2.M.VALVE2", 2, 28, "", nullptr},
    {"P2.DIG.IN1", 2, 144, "", ErrorAlarm},      {"P2.AUX.VALVE1", 2, 112, "", nullptr},
};

void Shape(int type, int index, ChannelRecord *r) {
  const DemoChannel *list = type == IO_AI ? kAnalogue : type == IO_DI ? kDigital : nullptr;
  if (!list || index >= 8) return;
  const DemoChannel &c = list[index];
  chan_SetTag(r, c.tag);
  int hw = type == IO_AI ? CHAN_ANALOGUE_HW_OFFSET : CHAN_DIGITAL_HW_OFFSET;
  memcpy(r->raw + hw, &c.pump, 4);
  memcpy(r->raw + hw + 4, &c.value, 4);
  if (type == IO_AI) chan_SetUnits(r, c.units);
  if (c.shape) c.shape(r);
}

}  // namespace

std::vector<DemoEvent> demo_Schedule(void) {
  char surge[64], unplug[64];
  snprintf(surge, sizeof surge, "1/%g-%g:%g", kDemoSurgeFrom, kDemoSurgeTo, kDemoSurgeBar);
  snprintf(unplug, sizeof unplug, "2=absent/%g-%g", kDemoUnplugFrom, kDemoUnplugTo);
  return {
      {kDemoSurgeFrom, "--surge", surge, "unit 1's outlet is blocked: its pressure climbs past the P1.OP.PRESS limit"},
      {kDemoSurgeTo, "", "", "unit 1's outlet is clear again: the pressure falls back"},
      {kDemoUnplugFrom, "--fault", unplug, "unit 2 is unplugged"},
      {kDemoUnplugTo, "", "", "unit 2 is plugged back in"},
  };
}

SimWorldSpec demo_WorldSpec(void) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 8;
  d.channels[IO_DI] = 8;
  d.channelSetup = Shape;
  d.scanRate = 500;
  w.processors = {
      {"ALARM", "Alarm processor", "", 0, 1, 0, 0},
      {"DERIVED", "Derived values", "", 0, 1, 0, 0},
      {"SYSER", "System errors", "SY", 0, 1, 0, 0},
  };
  w.processorAreas = {{"SY", 2, {"TNWELL1"}}};
  w.loggers = {"LOG1"};
  return w;
}

void demo_Subscribe(const SimWorldSpec &spec) {
  const SimDeviceSpec &d = spec.devices[0];
  for (int ch : {1, 2}) sim_Subscribe(d.codes[IO_AI], 1, ch);
  for (int ch : {3, 4}) sim_Subscribe(d.codes[IO_DI], 1, ch);
  sim_Subscribe(d.codes[IO_AI], 0, 1);
  sim_Subscribe(d.codes[IO_DI], 0, 2);
}

void demo_PrintTable(FILE *out, const SimWorldSpec &spec) {
  fprintf(out, "  %-15s %12s  %-7s %s\n", "TAG", "VALUE", "UNITS", "STATE");
  for (int t : {IO_AI, IO_DI}) {
    const std::string &code = spec.devices[0].codes[t];
    if (code.empty()) continue;
    for (const SimChannel &c : sim_ReadChannels(code)) {
      char value[32];
      if (c.analogue) snprintf(value, sizeof value, "%.3f", static_cast<double>(c.value));
      else snprintf(value, sizeof value, "%u", c.status & CST_VALUE);
      fprintf(out, "  %-15s %12s  %-7s %s\n", c.tag.c_str(), value, c.units.c_str(), sim_StatusFlagsText(c.status).c_str());
    }
  }
}
