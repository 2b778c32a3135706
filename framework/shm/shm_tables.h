// The server's shared tables ("dm_device", "dm_datproc", "dm_loggers",
// "dm_errors", "dm_status") and the directory of two-letter data-area codes.
// Offsets are within the segment payload (segment offset 128); every table
// begins with an i32 record count.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/shm/io_types.h"
#include "framework/time/tm_time.h"

enum : int { DEVICE_CONFIG_SIZE = 704 };

struct DeviceRecord {
  char Name[9];              // 0: driver name; the first 5 characters identify the driver
  char StatusName[25];       // 9
  uint16_t Instance;         // 34
  char Folder[12];           // 36: configuration sub-folder
  char IoCodes[5][2];        // 48: AI, DI, AO, DO, CI (first byte 0: no such area)
  uint8_t Running;           // 58
  uint8_t reserved59;
  uint8_t Config[DEVICE_CONFIG_SIZE];  // 60: the device's DeviceConfig
  int32_t PassDuration;      // 764
  TimeStamp NextScanDue;     // 768
  uint8_t Busy;              // 776
  uint8_t reserved777[3];
  uint32_t ProcessId;        // 780
  uint8_t Ready;             // 784
  uint8_t reserved785[3];
};
static_assert(sizeof(DeviceRecord) == 788);
static_assert(offsetof(DeviceRecord, StatusName) == 9);
static_assert(offsetof(DeviceRecord, Instance) == 34);
static_assert(offsetof(DeviceRecord, Folder) == 36);
static_assert(offsetof(DeviceRecord, IoCodes) == 48);
static_assert(offsetof(DeviceRecord, Running) == 58);
static_assert(offsetof(DeviceRecord, Config) == 60);
static_assert(offsetof(DeviceRecord, PassDuration) == 764);
static_assert(offsetof(DeviceRecord, NextScanDue) == 768);
static_assert(offsetof(DeviceRecord, Busy) == 776);
static_assert(offsetof(DeviceRecord, ProcessId) == 780);
static_assert(offsetof(DeviceRecord, Ready) == 784);

struct DataProcessorRecord {
  char Name[9];          // 0: "SYSER", "ALARM", "DERIVED", ...
  char NameText[25];     // 9
  char Code[2];          // 34
  uint8_t Kind;          // 36
  uint8_t Enabled;       // 37
  uint8_t reserved38;
  uint8_t Flag;          // 39
  uint32_t ProcessId;    // 40
  uint8_t reserved44[16];
};
static_assert(sizeof(DataProcessorRecord) == 60);
static_assert(offsetof(DataProcessorRecord, Code) == 34);
static_assert(offsetof(DataProcessorRecord, Kind) == 36);
static_assert(offsetof(DataProcessorRecord, Enabled) == 37);
static_assert(offsetof(DataProcessorRecord, Flag) == 39);
static_assert(offsetof(DataProcessorRecord, ProcessId) == 40);

// The server places Enabled, ProcessId and Name. The logger's type name, the
// connection and the path of the data it serves (which a provider matches
// against its own) live in bytes the server leaves reserved: TypeName at 0
// (8 characters and a zero), Connection at 16 (20 and a zero: a host or
// server name), Path at 69 (102 and a zero). Each is zero-padded; a longer
// text does not fit and is not stored.
struct LoggerRecord {
  char TypeName[9];      // 0: "stand", "repub" or "resub" (the first five letters tell)
  uint8_t Enabled;       // 9
  uint8_t reserved10[2];
  uint32_t ProcessId;    // 12
  char Connection[21];   // 16
  char Name[32];         // 37
  char Path[103];        // 69
};
static_assert(sizeof(LoggerRecord) == 172);
static_assert(offsetof(LoggerRecord, TypeName) == 0);
static_assert(offsetof(LoggerRecord, Enabled) == 9);
static_assert(offsetof(LoggerRecord, ProcessId) == 12);
static_assert(offsetof(LoggerRecord, Connection) == 16);
static_assert(offsetof(LoggerRecord, Name) == 37);
static_assert(offsetof(LoggerRecord, Path) == 69);

struct ShortDriverStatusEntry {
  uint8_t kind;
  char name[25];
  char message[31];
};
static_assert(sizeof(ShortDriverStatusEntry) == 57);

struct DriverStatusEntry {
  uint8_t kind;
  char name[130];
  char message[255];
};
static_assert(sizeof(DriverStatusEntry) == 386);

// One attached table: the record count (bounded by the payload) and the records.
struct ShmTable {
  void *segment;
  int32_t count;
  uint8_t *first;
  uint8_t *end;     // end of the payload
};

struct ShmErrorTable {
  void *segment;
  int32_t count;
  ShortDriverStatusEntry *shortEntries;
  DriverStatusEntry *longEntries;  // NULL when the table holds short entries only
};

// Attach once per process; 0 (also when attached before) or -1 when the
// segment does not exist (the next call tries again).
int shm_AttachDevices(void);
int shm_AttachProcessors(void);
int shm_AttachLoggers(void);
int shm_AttachErrors(void);
int shm_OpenStatusTable(void);

const ShmTable *shm_DeviceTable(void);
const ShmTable *shm_ProcessorTable(void);
const ShmTable *shm_LoggerTable(void);
const ShmErrorTable *shm_ErrorTable(void);
// The statistics code of device i (2 characters), or NULL when the table has
// no statistics codes.
const char *shm_DeviceStatsCode(int32_t index);

DeviceRecord *shm_FindDeviceRecord(const char *programName, uint16_t instance);
DataProcessorRecord *shm_FindProcessor(const char *name);
int32_t shm_FindLoggerIndex(const char *name);

// Directory of codes.
int32_t shm_FindDirectoryIndex(const char *code);
int64_t shm_GetCodeOwnerPid(const char *code);
const char *shm_GetCodeName(const char *code);
int shm_GetCodeClass(const char *code);
int shm_GetCodeFlag(const char *code);
int shm_MoveProcessorToEnd(int32_t index);

// Cached areas of a directory entry (NULL when not opened yet).
enum ShmAreaKind : int { SHM_AREA_DATA = 0, SHM_AREA_CONF = 1, SHM_AREA_EVENT = 2 };
void *shm_DirectoryArea(int32_t index, ShmAreaKind kind);
void shm_SetDirectoryArea(int32_t index, ShmAreaKind kind, void *seg);

// The short names of the I/O kinds, index 0-6: "ai", "di", "ao", "do", "ci", "dc", "dc".
const char *chan_KindShortName(int kind);

// Forgets every attachment and the directory (tests that rebuild a world).
void shm_ForgetTables(void);
