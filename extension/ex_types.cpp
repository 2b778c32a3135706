#include "extension/ex_types.h"

#include "record/structs_types.h"

const RecordIdEntry ex_ParityNames[] = {
    {"None", EX_PARITY_NONE, 0}, {"Odd", EX_PARITY_ODD, 0},     {"Even", EX_PARITY_EVEN, 0},
    {"Mark", EX_PARITY_MARK, 0}, {"Space", EX_PARITY_SPACE, 0}, {nullptr, 0, 0},
};

const RecordType ex_ParityIdType = structs_MakeIdType(1, ex_ParityNames);
const RecordType ex_PumpValueIdType = structs_MakeIdType(1, ex_PumpValueNames);

namespace {

const RecordType kComPortType = structs_MakeFixedStringType(EX_COM_PORT_SIZE);

// The id fields take four bytes; their value is the low byte.
const RecordField kDeviceConfigFields[] = {
    STRUCTS_FIELD(DeviceConfig, ScanRate, "ScanRate", UInt32Type),
    STRUCTS_FIELD(DeviceConfig, BaudRate, "BaudRate", UInt32Type),
    STRUCTS_FIELD(DeviceConfig, ComPort, "Com Port", kComPortType),
    STRUCTS_FIELD(DeviceConfig, Parity, "Parity", ex_ParityIdType),
    STRUCTS_FIELD(DeviceConfig, DataBits, "Data Bits", UInt32Type),
    STRUCTS_FIELD_END,
};

const RecordField kChannelHwFields[] = {
    STRUCTS_FIELD(ChannelHwRecord, Pump, "Pump", UInt32Type),
    STRUCTS_FIELD(ChannelHwRecord, Value, "Tarn Well Value", ex_PumpValueIdType),
    STRUCTS_FIELD_END,
};

}  // namespace

const RecordType ex_DeviceConfigType = structs_MakeStructureType(EX_DEVICE_CONFIG_SIZE, kDeviceConfigFields);
const RecordType ex_ChannelHwRecordType = structs_MakeStructureType(EX_CHANNEL_HW_SIZE, kChannelHwFields);
