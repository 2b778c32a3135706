// The scanner's life cycle: start-up, the main loop and the stop.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"

// The whole life of the process; ends with exit.
[[noreturn]] void scan_Main(int argc, char **argv);

int scan_OnSignal(int32_t code);
int scan_LoadConfiguration(void);
int scan_InitialiseDevice(int reason);
int scan_Reconfigure(void);
int scan_InitialiseValues(void);
int scan_ResetCounters(void);
int scan_RebaseOffsets(int count, const ChannelRecord *table, float *offsets, const float *values,
                       const uint32_t *status, int ioType);
int scan_RestartTiming(void);
int scan_MarkBusy(void);
void scan_SaveOutputValues(void);
[[noreturn]] void scan_Shutdown(int code);

// Serves requests until the run flag drops.
void scan_MainLoop(void);

// The save-time rule of the main loop: true when the outputs are due to be
// saved now (the save time then moves on), false when the loop should wait.
bool scan_SaveStep(const TimeStamp *now, TimeStamp *nextSave, uint32_t saveRate);

// Claims the device for this process (pid `self`) under the device table's
// lock: false, with nothing changed, when the record names another process
// that is still there as its running scanner (its notice slot is open).
bool scan_ClaimDevice(DeviceRecord *record, uint32_t self);

// The driver name and instance from the command line; false when they make
// no instance (no '_' in the program's file name, not exactly one argument,
// instance 0).
bool scan_ParseCommandLine(int argc, char **argv, char *driver, size_t driverSize, uint16_t *instance);

// The status text of a failed configuration step: the XML layer's own text
// after an XML parse error, else the given format with the error number.
void scan_ReportFailure(const char *format);
