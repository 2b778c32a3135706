// The block descriptor that hosts pass to an extension library's decorate and
// undecorate entry points. The entry point converts the data in place, or puts
// in a block of its own (allocated with malloc) with its size and sets
// `allocated`; the caller then frees that block once it has used it.
#pragma once
#include <cstddef>
#include <cstdint>

struct ExtBlock {
  uint32_t size;
  void *data;
  uint32_t allocated;
};
static_assert(offsetof(ExtBlock, size) == 0 && offsetof(ExtBlock, data) == sizeof(void *) &&
              offsetof(ExtBlock, allocated) == 2 * sizeof(void *));
