// Write-filter guard: on an embedded controller whose system disk sits behind
// an enhanced write filter, registry writes are lost at the next restart unless
// the filter is committed; each guarded write commits and disables it once per
// boot and enables it again afterwards.
#pragma once
#include <cstdint>

#include "platform/os_env.h"
#include "platform/os_registry.h"

// The controller SDK library, loaded on the first call only; NULL on an
// ordinary target.
OsModuleHandle ewf_LoadSdk(void);
void ewf_ReleaseSdk(void);

// Before a registry write: 1 when the write may go on, 0 when the commit
// command could not be run (the next write tries again).
int ewf_CommitAndDisable(void);
// After a registry write: 1, or 0 when the enable command could not be run.
int ewf_Enable(void);

// The registry calls bracketed by the guard. The result is the call's result,
// or the last error when a guard step failed.
int32_t reg_CreateKeyGuarded(OsHKey root, const char *sub, uint32_t options, uint32_t access,
                             const OsSecurityAttributes *sa, OsHKey *out, uint32_t *disposition);
int32_t reg_SetValueGuarded(OsHKey key, const char *name, uint32_t type, const void *data, uint32_t size);
int32_t reg_DeleteValueGuarded(OsHKey key, const char *name);

// Heap dump to the debugger output. The C library here offers no walk of the
// heap's blocks, so this reports -1 with ENOSYS and writes nothing.
int dbg_DumpHeap(void);
