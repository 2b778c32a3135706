// The I/O types: a channel record's Type byte, and the index of a device's
// data areas (the order of its I/O codes). Analogue types are even.
#pragma once

enum IoType : int { IO_AI = 0, IO_DI = 1, IO_AO = 2, IO_DO = 3, IO_CI = 4, IO_TYPE_COUNT = 5 };

inline bool io_IsOutput(int t) { return t == IO_AO || t == IO_DO; }
inline bool io_IsAnalogue(int t) { return t == IO_AI || t == IO_AO || t == IO_CI; }
