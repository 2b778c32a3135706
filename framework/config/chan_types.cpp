#include "framework/config/chan_types.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/binding/ext_binding.h"
#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_areas.h"
#include "framework/xml/xml_doc.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

// A flag bit's field lies at 28 + bit, so that every flag has a position of
// its own; the type reaches back by the bit number to the flag bytes.
const uint8_t *FlagBytes(const RecordType *t, const void *value) {
  return static_cast<const uint8_t *>(value) - t->args[1].u;
}
uint8_t *FlagBytes(const RecordType *t, void *value) { return static_cast<uint8_t *>(value) - t->args[1].u; }
int BitOf(const RecordType *t) { return static_cast<int>(t->args[0].u); }
const char *Word(const RecordType *t, int on) {
  const char *const *words = static_cast<const char *const *>(t->args[XSD_BITFIELD_WORDS_ARG].p);
  return words ? words[on ? 1 : 0] : nullptr;
}

int BitInit(const RecordType *t, void *value) {
  chan_PutFlagBitAt(FlagBytes(t, value), BitOf(t), false);
  return 0;
}
int BitCopy(const RecordType *t, const void *from, void *to) {
  chan_PutFlagBitAt(FlagBytes(t, to), BitOf(t), chan_FlagBitAt(FlagBytes(t, from), BitOf(t)));
  return 0;
}
int BitEqual(const RecordType *t, const void *a, const void *b) {
  return chan_FlagBitAt(FlagBytes(t, a), BitOf(t)) == chan_FlagBitAt(FlagBytes(t, b), BitOf(t));
}
char *BitToText(const RecordType *t, const char *mtype, const void *value) {
  const char *w = Word(t, chan_FlagBitAt(FlagBytes(t, value), BitOf(t)));
  return typed_mem_DupText(mtype, w ? w : "INVALID");
}
int BitFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  for (int on = 0; on < 2; ++on) {
    const char *w = Word(t, on);
    if (w && text && strcmp(w, text) == 0) {
      chan_PutFlagBitAt(FlagBytes(t, value), BitOf(t), on != 0);
      return 0;
    }
  }
  if (ebuf && emax) snprintf(ebuf, emax, "invalid value \"%s\"", text ? text : "");
  errno = EINVAL;
  return -1;
}

const char *const kOffOn[2] = {"Off", "On"};
const char *const kLowHigh[2] = {"Low", "High"};

constexpr RecordType BitType(uint32_t bit, const char *const *words) {
  return RecordType{1, "bitfield", STRUCTS_CLASS_PRIMITIVE, BitInit, BitCopy, BitEqual, BitToText, BitFromText,
                    structs_EncodeUnsupported, structs_DecodeUnsupported, structs_ReleaseNothing,
                    {{.u = bit}, {.u = bit}, {.p = words}}};
}

const RecordType kBit[16] = {BitType(0, kOffOn),  BitType(1, kOffOn),  BitType(2, kOffOn),  BitType(3, kOffOn),
                             BitType(4, kOffOn),  BitType(5, kOffOn),  BitType(6, kOffOn),  BitType(7, kOffOn),
                             BitType(8, kOffOn),  BitType(9, kOffOn),  BitType(10, kOffOn), BitType(11, kOffOn),
                             BitType(12, kOffOn), BitType(13, kOffOn), BitType(14, kOffOn), BitType(15, kOffOn)};
const RecordType kAlarmStateBit = BitType(CHAN_DF_ALARM_STATE, kLowHigh);
const RecordType kEventStateBit = BitType(CHAN_DF_EVENT_STATE, kLowHigh);

// Split texts: the type's first argument is the first piece's offset.
constexpr RecordType SplitType(uint32_t size, uint32_t pieceOffset) {
  return RecordType{size, "chanconfignstring", STRUCTS_CLASS_PRIMITIVE, chan_SplitTextInit, chan_SplitTextCopy,
                    chan_SplitTextEqual, chan_SplitTextToText, chan_SplitTextFromText, structs_EncodeUnsupported,
                    structs_DecodeUnsupported, structs_ReleaseNothing, {{.u = pieceOffset}, {.u = 0}, {.u = 0}}};
}
const RecordType kTagType = SplitType(CHAN_TAG_MAX, 0);
const RecordType kDescType = SplitType(CHAN_DESC_MAX, 8);
const RecordType kUnitsType = SplitType(CHAN_UNITS_MAX, 32);

const RecordType kText32Type = {CHAN_TEXT_SIZE, "fixedstring", STRUCTS_CLASS_PRIMITIVE, structs_InitZero,
                                structs_CopyBytes, chan_FixedTextEqual, chan_FixedTextToText, chan_FixedTextFromText,
                                structs_EncodeUnsupported, structs_DecodeUnsupported, structs_ReleaseNothing,
                                {{.u = 0}, {.u = 0}, {.u = 0}}};

const RecordIdEntry kTypeNames[] = {{"AI", IO_AI, 0}, {"DI", IO_DI, 0}, {"AO", IO_AO, 0},
                                    {"DO", IO_DO, 0}, {"CI", IO_CI, 0}, {nullptr, 0, 0}};

constexpr RecordField Flag(const char *name, const RecordType &type) {
  return RecordField{name, &type, 1, static_cast<uint16_t>(CHAN_FLAGS_OFFSET + type.args[0].u)};
}

#define A_FIELD(member, type) STRUCTS_FIELD(ChannelAnalogue, member, #member, type)
#define D_FIELD(member, type) STRUCTS_FIELD(ChannelDigital, member, #member, type)

RecordField g_analogueFields[CHAN_ANALOGUE_FIELD_COUNT + 1] = {
    Flag("Enable", kBit[CHAN_AF_ENABLE]),
    RecordField{"Tag", &kTagType, 8, 0},
    RecordField{"Description", &kDescType, 16, 8},
    A_FIELD(Type, chan_TypeIdType),
    Flag("ErrorAlarmEnable", kBit[CHAN_AF_ERROR_ALARM_ENABLE]),
    Flag("ErrorAlarmDriveCommon", kBit[CHAN_AF_ERROR_ALARM_DRIVE_COMMON]),
    A_FIELD(ErrorAlarmPriority, UInt8Type),
    A_FIELD(ErrorAlarmDelay, UInt16Type),
    Flag("EventEnable", kBit[CHAN_AF_EVENT_ENABLE]),
    A_FIELD(LowEventLimit, FloatType),
    A_FIELD(HighEventLimit, FloatType),
    RecordField{"Units", &kUnitsType, 4, 32},
    A_FIELD(MinimumUnits, FloatType),
    A_FIELD(MaximumUnits, FloatType),
    Flag("ReferenceEnable", kBit[CHAN_AF_REFERENCE_ENABLE]),
    Flag("SigChangeEnable", kBit[CHAN_AF_SIG_CHANGE_ENABLE]),
    A_FIELD(SigChangeValue, FloatType),
    Flag("ScalingEnable", kBit[CHAN_AF_SCALING_ENABLE]),
    A_FIELD(Gain, FloatType),
    A_FIELD(Offset, FloatType),
    Flag("LowAlarmEnable", kBit[CHAN_AF_LOW_ALARM_ENABLE]),
    Flag("LowAlarmDriveCommon", kBit[CHAN_AF_LOW_ALARM_DRIVE_COMMON]),
    A_FIELD(LowAlarmLimit, FloatType),
    Flag("LowWarningEnable", kBit[CHAN_AF_LOW_WARNING_ENABLE]),
    A_FIELD(LowWarningLimit, FloatType),
    Flag("LowAlarmDeadbandEnable", kBit[CHAN_AF_LOW_ALARM_DEADBAND_ENABLE]),
    A_FIELD(LowAlarmDeadband, FloatType),
    A_FIELD(LowAlarmPriority, UInt8Type),
    A_FIELD(LowAlarmDelay, UInt16Type),
    A_FIELD(LowAlarmText, kText32Type),
    Flag("HighAlarmEnable", kBit[CHAN_AF_HIGH_ALARM_ENABLE]),
    Flag("HighAlarmDriveCommon", kBit[CHAN_AF_HIGH_ALARM_DRIVE_COMMON]),
    A_FIELD(HighAlarmLimit, FloatType),
    Flag("HighWarningEnable", kBit[CHAN_AF_HIGH_WARNING_ENABLE]),
    A_FIELD(HighWarningLimit, FloatType),
    Flag("HighAlarmDeadbandEnable", kBit[CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE]),
    A_FIELD(HighAlarmDeadband, FloatType),
    A_FIELD(HighAlarmPriority, UInt8Type),
    A_FIELD(HighAlarmDelay, UInt16Type),
    A_FIELD(HighAlarmText, kText32Type),
    RecordField{"Analogue", nullptr, CHAN_ANALOGUE_HW_SIZE, CHAN_ANALOGUE_HW_OFFSET},
    STRUCTS_FIELD_END,
};

RecordField g_digitalFields[CHAN_DIGITAL_FIELD_COUNT + 1] = {
    Flag("Enable", kBit[CHAN_DF_ENABLE]),
    RecordField{"Tag", &kTagType, 8, 0},
    RecordField{"Description", &kDescType, 16, 8},
    D_FIELD(Type, chan_TypeIdType),
    Flag("ErrorAlarmEnable", kBit[CHAN_DF_ERROR_ALARM_ENABLE]),
    Flag("ErrorAlarmDriveCommon", kBit[CHAN_DF_ERROR_ALARM_DRIVE_COMMON]),
    D_FIELD(ErrorAlarmPriority, UInt8Type),
    D_FIELD(ErrorAlarmDelay, UInt16Type),
    Flag("EventEnable", kBit[CHAN_DF_EVENT_ENABLE]),
    Flag("EventState", kEventStateBit),
    D_FIELD(LowStateText, kText32Type),
    D_FIELD(HighStateText, kText32Type),
    Flag("AlarmEnable", kBit[CHAN_DF_ALARM_ENABLE]),
    Flag("AlarmState", kAlarmStateBit),
    Flag("AlarmDriveCommon", kBit[CHAN_DF_ALARM_DRIVE_COMMON]),
    D_FIELD(AlarmPriority, UInt8Type),
    D_FIELD(AlarmDelay, UInt16Type),
    D_FIELD(AlarmText, kText32Type),
    RecordField{"Digital", nullptr, CHAN_DIGITAL_HW_SIZE, CHAN_DIGITAL_HW_OFFSET},
    STRUCTS_FIELD_END,
};

#undef A_FIELD
#undef D_FIELD

RecordType g_analogueType = structs_MakeStructureType(CHAN_RECORD_SIZE, g_analogueFields);
RecordType g_digitalType = structs_MakeStructureType(CHAN_RECORD_SIZE, g_digitalFields);

// The joined text of the split type's field, or NULL for an unknown piece offset.
const char *Joined(const RecordType *t, const void *value) {
  const ChannelRecord *r = reinterpret_cast<const ChannelRecord *>(static_cast<const uint8_t *>(value) - t->args[0].u);
  switch (t->args[0].u) {
    case 0: return chan_GetTag(r);
    case 8: return chan_GetDescription(r);
    case 32: return chan_GetUnits(r);
    default: return nullptr;
  }
}

bool SetJoined(const RecordType *t, void *value, const char *text) {
  ChannelRecord *r = reinterpret_cast<ChannelRecord *>(static_cast<uint8_t *>(value) - t->args[0].u);
  switch (t->args[0].u) {
    case 0: chan_SetTag(r, text); return true;
    case 8: chan_SetDescription(r, text); return true;
    case 32: chan_SetUnits(r, text); return true;
    default: return false;
  }
}

}  // namespace

const RecordType chan_TypeIdType = structs_MakeIdType(1, kTypeNames);

int chan_SplitTextInit(const RecordType *t, void *value) { return SetJoined(t, value, "") ? 0 : (errno = EINVAL, -1); }

int chan_SplitTextCopy(const RecordType *t, const void *from, void *to) {
  const char *text = Joined(t, from);
  if (!text) return errno = EINVAL, -1;
  char copy[CHAN_DESC_MAX + 1];
  snprintf(copy, sizeof copy, "%s", text);
  SetJoined(t, to, copy);
  return 0;
}

int chan_SplitTextEqual(const RecordType *t, const void *a, const void *b) {
  const char *ta = Joined(t, a);
  if (!ta) return 0;
  char copy[CHAN_DESC_MAX + 1];
  snprintf(copy, sizeof copy, "%s", ta);
  const char *tb = Joined(t, b);
  return tb && strcmp(copy, tb) == 0;
}

char *chan_SplitTextToText(const RecordType *t, const char *mtype, const void *value) {
  const char *text = Joined(t, value);
  if (!text) return typed_mem_DupText(mtype, "INVALID");
  char cut[CHAN_DESC_MAX + 1];
  snprintf(cut, sizeof cut, "%.*s", static_cast<int>(t->size), text);
  return typed_mem_DupText(mtype, cut);
}

int chan_SplitTextFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  if (SetJoined(t, value, text ? text : "")) return 0;
  if (ebuf && emax) snprintf(ebuf, emax, "invalid value \"%s\"", text ? text : "");
  errno = EINVAL;
  return -1;
}

int chan_FixedTextEqual(const RecordType *t, const void *a, const void *b) {
  return strncmp(static_cast<const char *>(a), static_cast<const char *>(b), t->size) == 0;
}

char *chan_FixedTextToText(const RecordType *t, const char *mtype, const void *value) {
  size_t n = strnlen(static_cast<const char *>(value), t->size);
  char *text = static_cast<char *>(typed_mem_Resize(mtype, nullptr, n + 1));
  if (!text) return nullptr;
  memcpy(text, value, n);
  text[n] = '\0';
  return text;
}

int chan_FixedTextFromText(const RecordType *t, const char *text, void *value, char *, size_t) {
  const char *s = text ? text : "";
  size_t n = strnlen(s, t->size);
  memcpy(value, s, n);
  if (n < t->size) static_cast<char *>(value)[n] = '\0';
  return 0;
}

const RecordType *chan_LayoutType(int type, const RecordType *hw) {
  bool digital = (type & 1) != 0;
  RecordField &field =
      digital ? g_digitalFields[CHAN_DIGITAL_FIELD_COUNT - 1] : g_analogueFields[CHAN_ANALOGUE_FIELD_COUNT - 1];
  field.type = hw && hw->size <= field.size ? hw : ext_DefaultChannelHwType(digital ? 1 : 0);
  return digital ? &g_digitalType : &g_analogueType;
}

const char *chan_HardwareFieldName(int type) { return (type & 1) ? "Digital" : "Analogue"; }
