// The plug-in's resources: dialog templates 7000 and 7001 with their list
// contents, and the pump item texts.
#include "plugin/ui/cf_dialogs.h"

namespace {

const char *const kParities[] = {"None", "Odd", "Even", "Space", "Mark"};
const char *const kBauds[] = {"300", "1200", "9600", "19200", "38400"};
const char *const kDataBits[] = {"5", "6", "7", "8"};
const char *const kPumps[] = {"  ", "1", "2", "3", "4", "5", "6", "7", "8"};

const UiControl kAdvancedControls[] = {
    {UI_IDOK, UI_DEFAULT_BUTTON, "OK", 23, 119, 50, 14, nullptr, 0},
    {UI_IDCANCEL, UI_BUTTON, "Cancel", 85, 119, 50, 14, nullptr, 0},
    {UI_ID_HELP, UI_BUTTON, "Help", 151, 119, 50, 14, nullptr, 0},
    {-1, UI_GROUP_BOX, "", 7, 7, 220, 103, nullptr, 0},
    {-1, UI_STATIC, "Port:", 44, 26, 28, 9, nullptr, 0},
    {-1, UI_STATIC, "Baud Rate:", 43, 45, 41, 9, nullptr, 0},
    {-1, UI_STATIC, "Parity:", 43, 62, 41, 9, nullptr, 0},
    {-1, UI_STATIC, "Data Bits:", 43, 80, 41, 9, nullptr, 0},
    {CF_IDC_PORT, UI_DROP_LIST, "", 99, 22, 59, 15, nullptr, 0},
    {CF_IDC_PARITY, UI_DROP_LIST, "", 99, 60, 59, 15, kParities, 5},
    {CF_IDC_BAUD, UI_DROP_LIST, "", 99, 41, 59, 15, kBauds, 5},
    {CF_IDC_DATA_BITS, UI_DROP_LIST, "", 99, 79, 59, 15, kDataBits, 4},
};

const UiControl kChannelControls[] = {
    {UI_IDOK, UI_DEFAULT_BUTTON, "OK", 19, 68, 50, 14, nullptr, 0},
    {UI_IDCANCEL, UI_BUTTON, "Cancel", 87, 68, 50, 14, nullptr, 0},
    {-1, UI_STATIC, "Pump No:", 16, 19, 39, 10, nullptr, 0},
    {CF_IDC_PUMP, UI_DROP_LIST, "", 94, 17, 54, 12, kPumps, 9},
    {-1, UI_STATIC, "Tarnwell Item:", 15, 40, 58, 10, nullptr, 0},
    {CF_IDC_ITEM, UI_DROP_LIST, "", 94, 40, 111, 12, nullptr, 0},
    {UI_ID_HELP, UI_BUTTON, "Help", 153, 68, 50, 14, nullptr, 0},
};

}  // namespace

const UiTemplate cf_AdvancedTemplate = {CF_IDD_ADVANCED, "Advanced Device Specific Configuration", "MS Shell Dlg", 8,
                                        234, 144, kAdvancedControls, 12};
const UiTemplate cf_ChannelTemplate = {CF_IDD_CHANNEL, "Channel Device Specific Configuration", "MS Shell Dlg", 8,
                                       222, 93, kChannelControls, 7};
static_assert(sizeof kAdvancedControls / sizeof kAdvancedControls[0] == 12);
static_assert(sizeof kChannelControls / sizeof kChannelControls[0] == 7);

const char *const cf_DigitalItems[CF_ITEM_COUNT] = {
    "", "STATUS", "CYL1 ERROR", "CYL2 ERROR", "CYL1 DIRECTION", "CYL2 DIRECTION", "CYL1 RUNNING", "CYL2 RUNNING",
    "CYL1 MOVING", "CYL2 MOVING", "CYL1 PRESS MODE", "CYL2 PRESS MODE", "CYL1 SERVOS ON", "CYL2 SERVOS ON",
    "CYL1 PAIRED", "CYL2 PAIRED", "CYL1 INSTALLED", "CYL2 INSTALLED", "CYL1 RETRACT LIM", "CYL2 RETRACT LIM",
    "CYL1 RETRACT TRIG", "CYL2 RETRACT TRIG", "CYL1 EXTEND TRIG", "CYL2 EXTEND TRIG", "CYL1 EXTEND LIM",
    "CYL2 EXTEND LIM", "CYL1 FILL VALVE", "CYL2 FILL VALVE", "CYL1 DEL VALVE", "CYL2 DEL VALVE", "CYL1 ANOVER PRESS",
    "CYL2 ANOVER PRESS", "CYL1 DIGOVER PRESS", "CYL2 DIGOVER PRESS", "CYL1 DIGUNDER PRESS", "CYL2 DIGUNDER PRESS",
    "CYL1 TRANS CABLE", "CYL2 TRANS CABLE", "CYL1 MOTOR CABLE", "CYL2 MOTOR CABLE", "CYL1 SENSOR CABLE",
    "CYL2 SENSOR CABLE", "CYL1 MOTION ERROR", "CYL2 MOTION ERROR", "CYL1 POS ERROR", "CYL2 POS ERROR",
    "CYL1 LATCH ANOVER PRESS", "CYL2 LATCH ANOVER PRESS", "CYL1 LATCH DIGOVER PRESS", "CYL2 LATCH DIGOVER PRESS",
    "CYL1 LATCH DIGUNDER PRESS", "CYL2 LATCH DIGUNDER PRESS", "CYL1 LATCH TRANS CABLE", "CYL2 LATCH TRANS CABLE",
    "CYL1 LATCH MOTOR CABLE", "CYL2 LATCH MOTOR CABLE", "CYL1 LATCH SENSOR CABLE", "CYL2 LATCH SENSOR CABLE",
    "CYL1 LATCH MOTION ERROR", "CYL2 LATCH MOTION ERROR", "CYL1 LATCH POS ERROR", "CYL2 LATCH POS ERROR",
    "CYL1 SWITCH ERROR", "CYL2 SWITCH ERROR", "CYL1 HARD LIMIT", "CYL2 HARD LIMIT", "CYL1 LATCH SWITCH ERROR",
    "CYL2 LATCH SWITCH ERROR", "CYL1 LATCH HARD LIMIT", "CYL2 LATCH HARD LIMIT", "AD CHAN5 CABLE", "AD CHAN6 CABLE",
    "AD CHAN7 CABLE",
};

const char *const cf_AnalogueItems[CF_ITEM_COUNT] = {
    "", "CYL1 PRESS", "CYL2 PRESS", "OP PRESS", "CYL1 RATE", "CYL2 RATE", "OP RATE", "CYL1 VOL", "CYL2 VOL",
    "CUM VOL", "CYL1 SET RATE", "CYL2 SET RATE", "CYL1 SET PRESS", "CYL2 SET PRESS", "CYL1 SAFETY PRESS",
    "CYL2 SAFETY PRESS", "CYL1 MODE", "CYL2 MODE", "CYL1 POS", "CYL2 POS", "CYL1 RP SWITCH", "CYL2 RP SWITCH",
    "CONTROLLER VER", "DSSIP12 VER", "DSSIP34 VER", "CYL1 RET RATE MULT", "CYL2 RET RATE MULT", "CYL1 RET RATE MIN",
    "CYL2 RET RATE MIN", "CYL1 PROP SERVO GAIN", "CYL2 PROP SERVO GAIN", "CYL1 DIFF SERVO GAIN",
    "CYL2 DIFF SERVO GAIN", "CYL1 PRESS ZERO OFFST", "CYL2 PRESS ZERO OFFST", "REL VOL1", "REL VOL2", "ABS VOL1",
    "ABS VOL2", "VELOCITY1", "VELOCITY2", "AUX AD1", "AUX AD2", "AUX AD3", "AUX AD4", "AUX AD5", "AUX AD6", "AUX AD7",
    "AUX AD8", "AUX AD9", "AUX AD10", "AUX AD11", "AUX AD12", "AUX AD13", "AUX AD14", "AUX AD15", "AUX AD16",
    "AUX AD17", "AUX AD18", "AUX AD19", "AUX AD20", "AUX AD21", "AUX AD22", "AUX AD23", "AUX AD24", "AUX AD25",
    "AUX AD26", "AUX AD27", "AUX AD28", "AUX AD29", "AUX AD30", "AUX AD31", "AUX AD32",
};
