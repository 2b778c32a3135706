// The wide-string conversion of the XML layer.
#pragma once
#include <cstdint>

// The narrow (code page 1252) text as a wide string in a process-wide buffer,
// valid until the next call of the same conversion; NULL for a NULL text or
// when memory is short. The buffer starts at 1024 characters and grows in steps
// of 1024 until the text fits. BstrFromChar2 is a second conversion with a
// buffer of its own, for a second argument.
const char16_t *BstrFromChar(const char *text);
const char16_t *BstrFromChar2(const char *text);
// The current capacity in characters of the first (which 0) or second buffer.
uint32_t BstrCapacity(int which);
