// The pump's value mnemonics: a channel's value index selects its command
// "RP%d%s". Analogue indexes 1-17 come from the bulk replies and have none.
#pragma once

enum : int {
  PUMP_ANALOG_NAMES = 73,        // index 0-72
  PUMP_DIGITAL_NAMES = 176,      // index 0-175
  PUMP_FIRST_ANALOG_QUERY = 18,  // first analogue index with a mnemonic
  PUMP_PRV_ALL_FIELDS = 9,
  PUMP_SETPOINT_ALL_FIELDS = 8,
};

extern const char *const AnalogValueNames[PUMP_ANALOG_NAMES];
extern const char *const DigitalValueNames[PUMP_DIGITAL_NAMES];
