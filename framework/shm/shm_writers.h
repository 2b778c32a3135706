// Writers of output values into a channel data area.
#pragma once
#include <cstdint>

// Writes the digital outputs first..last (from 1, inclusive) of the area of
// `code`: values[i] bit 0 is the value of channel first + i. Locks the area.
// 0, or -1 (no area, a range outside the area, an unknown class).
int shm_WriteDigital(const char *code, int first, int last, const uint32_t *values);
