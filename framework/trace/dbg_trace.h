// The registry-controlled debug trace.
#pragma once
#include <cstdint>

void dbg_Open(const char *name);
void dbg_Close(void);
int dbg_Write(const char *text);
