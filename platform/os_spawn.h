// Running a program and reading what it writes: no shell between, the
// arguments given one by one, the program found as os_CreateProcess finds
// it. Standard output and standard error each come through a pipe that is
// read while the program runs, so a program that writes much never stalls
// on a full pipe; the caller's own standard handles never change.
#pragma once
#include <cstdint>
#include <string>

#include "platform/os_handle.h"

struct OsProgramRun {
  uint32_t exitCode = 0;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv (argv[0] the program) to its end. 0 with *run filled, or -1 when
// it cannot be started (OS_ERROR_FILE_NOT_FOUND for a missing program).
int os_RunProgram(const char *const *argv, OsProgramRun *run);

// For the platform's own use: starts argv with descriptors outFd and errFd
// (each -1 to keep the caller's) as its standard output and error.
OsHandle os_SpawnRedirected(const char *const *argv, uint32_t *processId, int outFd, int errFd);
