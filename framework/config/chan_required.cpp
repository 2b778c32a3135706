// The elements an XML channel must hold, by the flags it sets.
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/config/chan_files.h"
#include "framework/xml/xml_error.h"

int chan_RequireElement(const char *present, const char *name) {
  std::string needle = std::string(",") + name + ",";
  if (present && strstr(present, needle.c_str())) return 0;
  if (xml_GetError() >= 0) {
    char text[XML_TEXT_MAX];
    snprintf(text, sizeof text, "<%s> Required", name);
    xml_SetError(-1, text);
  }
  return -1;
}

namespace {

struct Check {
  const char *present;
  const ChannelRecord *r;
  bool failed = false;
  void Need(const char *name) {
    if (!failed && chan_RequireElement(present, name) != 0) failed = true;
  }
  bool On(int bit) const { return chan_FlagBit(r, bit); }
};

void Digital(Check &c) {
  c.Need("EventEnable");
  if (c.On(CHAN_DF_EVENT_ENABLE)) c.Need("EventState");
  c.Need("LowStateText");
  c.Need("HighStateText");
  c.Need("AlarmEnable");
  if (!c.On(CHAN_DF_ALARM_ENABLE)) return;
  for (const char *n : {"AlarmDriveCommon", "AlarmState", "AlarmPriority", "AlarmDelay", "AlarmText"}) c.Need(n);
}

// One side of the analogue alarms: "Low" or "High".
void AlarmSide(Check &c, const char *side, int enable, int warning, int deadband) {
  auto need = [&](const char *rest) { c.Need((std::string(side) + rest).c_str()); };
  need("AlarmEnable");
  if (!c.On(enable)) return;
  need("AlarmDriveCommon");
  need("AlarmLimit");
  need("WarningEnable");
  if (c.On(warning)) need("WarningLimit");
  need("AlarmDeadbandEnable");
  if (c.On(deadband)) need("AlarmDeadband");
  need("AlarmPriority");
  need("AlarmDelay");
  need("AlarmText");
}

void Analogue(Check &c) {
  c.Need("EventEnable");
  if (c.On(CHAN_AF_EVENT_ENABLE)) {
    c.Need("LowEventLimit");
    c.Need("HighEventLimit");
    float low, high;
    memcpy(&low, c.r->raw + offsetof(ChannelAnalogue, LowEventLimit), sizeof low);
    memcpy(&high, c.r->raw + offsetof(ChannelAnalogue, HighEventLimit), sizeof high);
    if (!c.failed && low > high) {
      xml_SetError(-1, "LowEventLimiit > HighEventLimit");
      c.failed = true;
    }
  }
  for (const char *n : {"Units", "MaximumUnits", "MinimumUnits", "ReferenceEnable", "SigChangeEnable"}) c.Need(n);
  if (c.On(CHAN_AF_SIG_CHANGE_ENABLE)) c.Need("SigChangeValue");
  c.Need("ScalingEnable");
  if (c.On(CHAN_AF_SCALING_ENABLE)) {
    c.Need("Gain");
    c.Need("Offset");
  }
  AlarmSide(c, "Low", CHAN_AF_LOW_ALARM_ENABLE, CHAN_AF_LOW_WARNING_ENABLE, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE);
  AlarmSide(c, "High", CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE);
}

}  // namespace

int chan_CheckRequiredElements(const char *present, const ChannelRecord *record) {
  Check c{present, record};
  c.Need("Enable");
  if (c.failed || !c.On(CHAN_FLAG_ENABLE)) return c.failed ? -1 : 0;
  bool digital = chan_IsDigital(record);
  for (const char *n : {"Tag", "Description", "Type", "ErrorAlarmEnable"}) c.Need(n);
  if (c.On(digital ? static_cast<int>(CHAN_DF_ERROR_ALARM_ENABLE) : static_cast<int>(CHAN_AF_ERROR_ALARM_ENABLE)))
    for (const char *n : {"ErrorAlarmDriveCommon", "ErrorAlarmPriority", "ErrorAlarmDelay"}) c.Need(n);
  if (digital)
    Digital(c);
  else
    Analogue(c);
  return c.failed ? -1 : 0;
}
