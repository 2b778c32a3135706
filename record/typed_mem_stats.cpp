// The record types of typed memory's statistics.
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

const RecordType kTypeNameType = structs_MakeFixedStringType(TYPED_MEM_NAME_MAX);

const RecordField kStatsFields[] = {
    STRUCTS_FIELD(TypedMemStats, type, "type", kTypeNameType),
    STRUCTS_FIELD(TypedMemStats, allocs, "allocs", UInt32Type),
    STRUCTS_FIELD(TypedMemStats, bytes, "bytes", UInt32Type),
    STRUCTS_FIELD_END,
};

}  // namespace

const RecordType typed_mem_StatsEntryType = structs_MakeStructureType(sizeof(TypedMemStats), kStatsFields);
const RecordType typed_mem_StatsType = structs_MakeArrayType(&typed_mem_StatsEntryType, "typed_mem_stats", "type");
