// Typed memory: every block the record library hands out is allocated under a
// memory-type name and freed under the same name. Accounting (per-type counts,
// guard words, misuse diagnostics) is off unless typed_mem_Enable() runs before
// the first allocation.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct RecordType;
struct StructsArray;

#define TYPED_MEM_TEMP "TEMPORARY"
#define TYPED_MEM_NAME_MAX 24  // bytes of a stored memory-type name, NUL included

// One statistics entry; also described by typed_mem_StatsEntryType.
struct TypedMemStats {
  char type[TYPED_MEM_NAME_MAX];
  uint32_t allocs;
  uint32_t bytes;
};
static_assert(sizeof(TypedMemStats) == 32);
static_assert(offsetof(TypedMemStats, allocs) == 24 && offsetof(TypedMemStats, bytes) == 28);

void *typed_mem_Resize(const char *mtype, void *mem, size_t size);
void typed_mem_Release(const char *mtype, void *mem);
void *typed_mem_ResizeOrFree(const char *mtype, void *mem, size_t size);
void *typed_mem_AllocZeroed(const char *mtype, size_t count, size_t size);
char *typed_mem_DupText(const char *mtype, const char *text);
int typed_mem_FormatText(const char *mtype, char **out, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int typed_mem_FormatTextV(const char *mtype, char **out, const char *fmt, va_list args)
    __attribute__((format(printf, 3, 0)));

int typed_mem_Enable(void);
char *typed_mem_GetTypeName(const void *mem, char *buf);
int typed_mem_GetStats(StructsArray *stats);
void typed_mem_PrintStats(FILE *stream);
void typed_mem_CheckBlock(const void *mem, const char *mtype, const char *op);

// The statistics array (block memory type "typed_mem_stats") and its entry.
extern const RecordType typed_mem_StatsType;
extern const RecordType typed_mem_StatsEntryType;
