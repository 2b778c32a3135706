// The library's descriptors: shared operations, primitive types, structures,
// fixed arrays and arrays, and constructors for descriptors of a given size.
//
// Values of string, data and array types hold pointers: a record that is
// stored or shared as raw bytes is described with the fixed-size types only
// (integers, booleans, floats, ids, fixedstring, fixeddata, and structures and
// fixed arrays of these).
#pragma once
#include "record/rec_type.h"

// Shared operations.
structs_init_fn structs_InitZero;
structs_copy_fn structs_CopyBytes;
structs_equal_fn structs_EqualBytes;
structs_encode_fn structs_EncodeReversedBytes;
structs_decode_fn structs_DecodeReversedBytes;
structs_encode_fn structs_EncodeBytes;
structs_decode_fn structs_DecodeBytes;
structs_release_fn structs_ReleaseNothing;
structs_init_fn structs_InitUnsupported;
structs_copy_fn structs_CopyUnsupported;
structs_equal_fn structs_EqualUnsupported;
structs_to_text_fn structs_ToTextUnsupported;
structs_from_text_fn structs_FromTextUnsupported;
structs_encode_fn structs_EncodeUnsupported;
structs_decode_fn structs_DecodeUnsupported;

// Primitive operations.
structs_to_text_fn structs_BoolToText;
structs_from_text_fn structs_BoolFromText;
structs_to_text_fn structs_IntToText;
structs_from_text_fn structs_IntFromText;
structs_equal_fn structs_FloatEqual;
structs_to_text_fn structs_FloatToText;
structs_from_text_fn structs_FloatFromText;
structs_init_fn structs_IdInit;
structs_to_text_fn structs_IdToText;
structs_from_text_fn structs_IdFromText;
structs_equal_fn structs_FixedStringEqual;
structs_to_text_fn structs_FixedStringToText;
structs_from_text_fn structs_FixedStringFromText;
structs_encode_fn structs_StringEncode;
structs_decode_fn structs_StringDecode;
structs_to_text_fn structs_FixedDataToText;
structs_from_text_fn structs_FixedDataFromText;
structs_init_fn structs_StringInit;
structs_copy_fn structs_StringCopy;
structs_equal_fn structs_StringEqual;
structs_to_text_fn structs_StringToText;
structs_from_text_fn structs_StringFromText;
structs_release_fn structs_StringRelease;
structs_copy_fn structs_DataCopy;
structs_equal_fn structs_DataEqual;
structs_to_text_fn structs_DataToText;
structs_from_text_fn structs_DataFromText;
structs_encode_fn structs_DataEncode;
structs_decode_fn structs_DataDecode;
structs_release_fn structs_DataRelease;

// Composite operations.
structs_init_fn structs_StructureInit;
structs_copy_fn structs_StructureCopy;
structs_equal_fn structs_StructureEqual;
structs_encode_fn structs_StructureEncode;
structs_decode_fn structs_StructureDecode;
structs_release_fn structs_StructureRelease;
structs_init_fn structs_FixedArrayInit;
structs_copy_fn structs_FixedArrayCopy;
structs_equal_fn structs_FixedArrayEqual;
structs_encode_fn structs_FixedArrayEncode;
structs_decode_fn structs_FixedArrayDecode;
structs_release_fn structs_FixedArrayRelease;
structs_copy_fn structs_ArrayCopy;
structs_equal_fn structs_ArrayEqual;
structs_encode_fn structs_ArrayEncode;
structs_decode_fn structs_ArrayDecode;
structs_release_fn structs_ArrayRelease;

// Boolean word pairs: 0 False/True, 1 No/Yes, 2 Off/On, 3 Disabled/Enabled, 4 0/1.
constexpr RecordType structs_MakeBoolType(uint32_t storage, uint32_t pair) {
  return RecordType{storage == 0 ? (uint32_t)sizeof(uint8_t) : (uint32_t)sizeof(int32_t),
                    "boolean",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_InitZero,
                    structs_CopyBytes,
                    structs_EqualBytes,
                    structs_BoolToText,
                    structs_BoolFromText,
                    structs_EncodeReversedBytes,
                    structs_DecodeReversedBytes,
                    structs_ReleaseNothing,
                    {{.u = storage}, {.u = pair}, {.u = 0}}};
}

// Width classes: 0 char, 1 short, 2 int, 3 long (32-bit), 4 int8, 5 int16, 6 int32, 7 int64.
// Kinds: 0 unsigned ("uint"), 1 signed ("int"), 2 hexadecimal ("hint").
constexpr uint32_t structs_IntWidthSize(uint32_t wclass) {
  return wclass == 0 || wclass == 4 ? 1 : wclass == 1 || wclass == 5 ? 2 : wclass == 7 ? 8 : 4;
}
constexpr RecordType structs_MakeIntType(uint32_t wclass, uint32_t kind) {
  return RecordType{structs_IntWidthSize(wclass),
                    kind == 0 ? "uint" : kind == 1 ? "int" : "hint",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_InitZero,
                    structs_CopyBytes,
                    structs_EqualBytes,
                    structs_IntToText,
                    structs_IntFromText,
                    structs_EncodeReversedBytes,
                    structs_DecodeReversedBytes,
                    structs_ReleaseNothing,
                    {{.u = wclass}, {.u = kind}, {.u = 0}}};
}

// Size 1, 2 or 4; the list ends with a null name.
constexpr RecordType structs_MakeIdType(uint32_t size, const RecordIdEntry *list) {
  return RecordType{size,
                    "id",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_IdInit,
                    structs_CopyBytes,
                    structs_EqualBytes,
                    structs_IdToText,
                    structs_IdFromText,
                    structs_EncodeReversedBytes,
                    structs_DecodeReversedBytes,
                    structs_ReleaseNothing,
                    {{.p = list}, {.u = 0}, {.u = 0}}};
}

// A NUL-terminated text inside `size` bytes.
constexpr RecordType structs_MakeFixedStringType(uint32_t size) {
  return RecordType{size,
                    "fixedstring",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_InitZero,
                    structs_CopyBytes,
                    structs_FixedStringEqual,
                    structs_FixedStringToText,
                    structs_FixedStringFromText,
                    structs_StringEncode,
                    structs_StringDecode,
                    structs_ReleaseNothing,
                    {{.u = 0}, {.u = 0}, {.u = 0}}};
}

// `size` raw bytes, hexadecimal as text.
constexpr RecordType structs_MakeFixedDataType(uint32_t size) {
  return RecordType{size,
                    "fixeddata",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_InitZero,
                    structs_CopyBytes,
                    structs_EqualBytes,
                    structs_FixedDataToText,
                    structs_FixedDataFromText,
                    structs_EncodeBytes,
                    structs_DecodeBytes,
                    structs_ReleaseNothing,
                    {{.u = 0}, {.u = 0}, {.u = 0}}};
}

// A pointer to an allocated text under `mtype`; with empty_is_null, null stands for "".
constexpr RecordType structs_MakeStringType(const char *mtype, uint32_t empty_is_null) {
  return RecordType{(uint32_t)sizeof(char *),
                    "string",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_StringInit,
                    structs_StringCopy,
                    structs_StringEqual,
                    structs_StringToText,
                    structs_StringFromText,
                    structs_StringEncode,
                    structs_StringDecode,
                    structs_StringRelease,
                    {{.s = mtype}, {.u = empty_is_null}, {.u = 0}}};
}

// StructsData under `mtype`; alphabet null: base64, "": hexadecimal, else a base64 alphabet.
constexpr RecordType structs_MakeDataType(const char *alphabet, const char *mtype) {
  return RecordType{(uint32_t)sizeof(StructsData),
                    "data",
                    STRUCTS_CLASS_PRIMITIVE,
                    structs_InitZero,
                    structs_DataCopy,
                    structs_DataEqual,
                    structs_DataToText,
                    structs_DataFromText,
                    structs_DataEncode,
                    structs_DataDecode,
                    structs_DataRelease,
                    {{.s = alphabet}, {.s = mtype}, {.u = 0}}};
}

constexpr RecordType structs_MakeStructureType(uint32_t size, const RecordField *fields) {
  return RecordType{size,
                    "structure",
                    STRUCTS_CLASS_STRUCTURE,
                    structs_StructureInit,
                    structs_StructureCopy,
                    structs_StructureEqual,
                    structs_ToTextUnsupported,
                    structs_FromTextUnsupported,
                    structs_StructureEncode,
                    structs_StructureDecode,
                    structs_StructureRelease,
                    {{.p = fields}, {.u = 0}, {.u = 0}}};
}

// `esize` is sizeof the element's C type (so the descriptor stays a constant).
constexpr RecordType structs_MakeFixedArrayType(const RecordType *etype, uint32_t esize, const char *ename,
                                                uint32_t count) {
  return RecordType{count * esize,
                    "fixedarray",
                    STRUCTS_CLASS_FIXEDARRAY,
                    structs_FixedArrayInit,
                    structs_FixedArrayCopy,
                    structs_FixedArrayEqual,
                    structs_ToTextUnsupported,
                    structs_FromTextUnsupported,
                    structs_FixedArrayEncode,
                    structs_FixedArrayDecode,
                    structs_FixedArrayRelease,
                    {{.p = etype}, {.s = ename}, {.u = count}}};
}

// StructsArray whose element block lives under `mtype`.
constexpr RecordType structs_MakeArrayType(const RecordType *etype, const char *mtype, const char *ename) {
  return RecordType{(uint32_t)sizeof(StructsArray),
                    "array",
                    STRUCTS_CLASS_ARRAY,
                    structs_InitZero,
                    structs_ArrayCopy,
                    structs_ArrayEqual,
                    structs_ToTextUnsupported,
                    structs_FromTextUnsupported,
                    structs_ArrayEncode,
                    structs_ArrayDecode,
                    structs_ArrayRelease,
                    {{.p = etype}, {.s = mtype}, {.s = ename}}};
}

// Built-in descriptors.
extern const RecordType BoolByteType, BoolIntType, BoolByte01Type, BoolInt01Type, BoolByteOnOffType,
    BoolIntOnOffType;
extern const RecordType CharType, UCharType, HexCharType;
extern const RecordType ShortType, UShortType, HexShortType;
extern const RecordType IntType, UIntType, HexIntType;
extern const RecordType LongType, ULongType, HexLongType;
extern const RecordType Int8Type, UInt8Type, HexInt8Type;
extern const RecordType Int16Type, UInt16Type, HexInt16Type;
extern const RecordType Int32Type, UInt32Type, HexInt32Type;
extern const RecordType Int64Type, UInt64Type, HexInt64Type;
extern const RecordType FloatType, DoubleType;
extern const RecordType TextType, TextOrNullType;
extern const RecordType DataBase64Type, DataHexType;

// The field types that dotted paths reach: an array's "length" and a union's "field_name".
extern const RecordType structs_ArrayLengthType;
extern const RecordType structs_UnionFieldNameType;
