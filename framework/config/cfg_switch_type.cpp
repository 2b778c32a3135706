#include "framework/config/cfg_device.h"
#include "record/structs_types.h"

namespace {

const RecordField kSwitchFields[] = {
    STRUCTS_FIELD(ConfigSwitches, AutoEnable, "AutoEnable", BoolIntOnOffType),
    STRUCTS_FIELD(ConfigSwitches, SaveOutputs, "SaveOutputs", BoolIntOnOffType),
    STRUCTS_FIELD(ConfigSwitches, SaveByTag, "SaveByTag", BoolIntOnOffType),
    STRUCTS_FIELD(ConfigSwitches, SaveRate, "SaveRate", UInt32Type),
    STRUCTS_FIELD_END,
};

}  // namespace

const RecordType cfg_ConfigSwitchesType = structs_MakeStructureType(sizeof(ConfigSwitches), kSwitchFields);
