// Record types shared by the fuzz targets: every primitive descriptor and a
// nested record with arrays, fixed arrays, strings and data.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record/record.h"
#include "tests/fuzz/fuzz_check.h"

namespace fuzz {

inline const RecordIdEntry kKinds[] = {{"AI", 0, 0}, {"DI", 1, 0}, {"ao", 2, 1}, {"DO", 300, 0}, {"", 7, 0},
                                       {nullptr, 0, 0}};
inline const RecordType Id1 = structs_MakeIdType(1, kKinds);
inline const RecordType Id2 = structs_MakeIdType(2, kKinds);
inline const RecordType Id4 = structs_MakeIdType(4, kKinds);
inline const RecordType Fixed6 = structs_MakeFixedStringType(6);
inline const RecordType Hex3 = structs_MakeFixedDataType(3);
inline const RecordType UrlData =
    structs_MakeDataType("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.", "fuzz_data");

struct Item {
  uint32_t id;
  char *label;
  StructsData raw;
};
inline const RecordField kItemFields[] = {STRUCTS_FIELD(Item, id, "Id", UInt32Type),
                                          STRUCTS_FIELD(Item, label, "Label", TextOrNullType),
                                          STRUCTS_FIELD(Item, raw, "Raw", DataHexType), STRUCTS_FIELD_END};
inline const RecordType ItemType = structs_MakeStructureType(sizeof(Item), kItemFields);
inline const RecordType ItemList = structs_MakeArrayType(&ItemType, "fuzz_items", "item");
inline const RecordType ItemPair = structs_MakeFixedArrayType(&ItemType, sizeof(Item), "item", 2);
inline const RecordType ByteList = structs_MakeArrayType(&UInt8Type, "fuzz_bytes", "b");

struct Rec {
  char *name;
  StructsData blob;
  int16_t s;
  uint64_t u;
  double d;
  float f;
  char code[6];
  uint8_t hex[3];
  StructsArray items;
  Item pair[2];
  int32_t kind;
  uint8_t flag;
  StructsArray bytes;
};
inline const RecordField kRecFields[] = {
    STRUCTS_FIELD(Rec, name, "Name", TextType),       STRUCTS_FIELD(Rec, blob, "Blob", DataBase64Type),
    STRUCTS_FIELD(Rec, s, "S", Int16Type),            STRUCTS_FIELD(Rec, u, "U", UInt64Type),
    STRUCTS_FIELD(Rec, d, "D", DoubleType),           STRUCTS_FIELD(Rec, f, "F", FloatType),
    STRUCTS_FIELD(Rec, code, "Code", Fixed6),         STRUCTS_FIELD(Rec, hex, "Hex", Hex3),
    STRUCTS_FIELD(Rec, items, "Items", ItemList),     STRUCTS_FIELD(Rec, pair, "Pair", ItemPair),
    STRUCTS_FIELD(Rec, kind, "Kind", Id4),            STRUCTS_FIELD(Rec, flag, "Flag", BoolByteOnOffType),
    STRUCTS_FIELD(Rec, bytes, "Bytes", ByteList),     STRUCTS_FIELD_END};
inline const RecordType RecType = structs_MakeStructureType(sizeof(Rec), kRecFields);

// Every type a decoder or parser of the library serves.
inline const RecordType *const kTypes[] = {
    &BoolByteType,  &BoolIntType,    &BoolByte01Type, &BoolInt01Type, &BoolByteOnOffType, &BoolIntOnOffType,
    &CharType,      &UCharType,      &HexCharType,    &ShortType,     &UShortType,        &HexShortType,
    &IntType,       &UIntType,       &HexIntType,     &LongType,      &ULongType,         &HexLongType,
    &Int8Type,      &UInt8Type,      &HexInt8Type,    &Int16Type,     &UInt16Type,        &HexInt16Type,
    &Int32Type,     &UInt32Type,     &HexInt32Type,   &Int64Type,     &UInt64Type,        &HexInt64Type,
    &FloatType,     &DoubleType,     &TextType,       &TextOrNullType, &DataBase64Type,   &DataHexType,
    &UrlData,       &Id1,            &Id2,            &Id4,           &Fixed6,            &Hex3,
    &ItemType,      &ItemList,       &ItemPair,       &RecType,       &ByteList,          &typed_mem_StatsType,
};
inline const size_t kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

// Room for one value of any listed type.
struct alignas(16) Slot {
  unsigned char bytes[sizeof(Rec) + 64];
};

inline bool IsPrimitive(const RecordType *t) { return t->tclass == STRUCTS_CLASS_PRIMITIVE; }

inline bool SameEncoding(const StructsCode &a, const StructsCode &b) {
  return a.length == b.length && (a.length == 0 || memcmp(a.data, b.data, a.length) == 0);
}

}  // namespace fuzz
