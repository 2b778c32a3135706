// Debugger output and the console.
//
// Debugger output is machine-wide on Windows: here every text is appended to
// ROOT/debug/debug.log as one line "[pid] text". The console of a process is
// its standard output: "CONOUT$" opened with os_CreateFile writes there.
#pragma once
#include <string>

#include "platform/os_handle.h"

void os_OutputDebugString(const char *text);
// ROOT/debug/debug.log.
std::string os_DebugOutputPath(void);

// A process here always has its console (its standard output): 0.
int os_AllocConsole(void);
int os_FreeConsole(void);
// A handle that writes to the console, or NULL (last error set).
OsHandle os_OpenConsoleOutput(void);
