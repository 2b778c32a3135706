// scadasim: the SCADA server stand-in, as a library for tests and tools.
//
// It makes a server world in the platform root (the five tables, each
// device's channel areas, the device records, the configuration folders and
// the environment), starts scanners, posts codes, reads what they publish and
// removes every object it made when the world ends.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "framework/alarms/alm_alarms.h"
#include "framework/config/chan_record.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_handle.h"

struct SimDeviceSpec {
  std::string name = "Tnwell";       // driver name in the record (first 5 characters count)
  std::string statusName = "TNWELL1";
  uint16_t instance = 1;
  std::string folder = "TNWELL1";    // configuration sub-folder
  // Two-letter area codes of AI, DI, AO, DO, CI ("" = none) and channel counts.
  std::string codes[IO_TYPE_COUNT] = {"A1", "D1", "", "", ""};
  uint16_t channels[IO_TYPE_COUNT] = {8, 16, 0, 0, 0};
  // Shapes each channel record after the defaults (tag "AI001"..., Type, Enable)
  // are set: type, 0-based index, the record (zero-filled but for those).
  std::function<void(int, int, ChannelRecord *)> channelSetup;
  bool descriptionBlocks = false;     // data areas with room for description blocks
  std::string statsCode;              // "" = no statistics channels
  uint16_t statsChannels = 0;         // channels of the statistics area (10 a row); 0 = no area
  uint32_t scanRate = 1000;
  uint32_t baudRate = 9600;
  std::string comPort;                // "" = "COM%d:" by instance
  uint8_t parity = 0;
  uint32_t dataBits = 8;
  bool writeConfigFiles = true;       // device folder with config, saveconfig and channel files
  uint8_t saveOutputs = 0, saveByTag = 0;
  uint32_t saveRate = 0;
  // Whole channel records by type, in channel order (a description file's
  // channels): they replace the defaults before channelSetup runs.
  std::vector<ChannelRecord> records[IO_TYPE_COUNT];
};

struct SimProcessorSpec {
  std::string name;   // "SYSER", "ALARM", "DERIVED", ...
  std::string text;
  std::string code;
  uint8_t kind = 0, enabled = 1, flag = 0;
  uint32_t processId = 0;
};

// A processor of this kind (the logger status processor "logst", code "LS")
// has an area of analogue entries: 32 rows for each logger of the world unless
// its areas give a channel count, channel records left to the loggers' feeds.
enum : uint8_t { SIM_LOGGER_STATUS_KIND = 8 };

// Channel areas of a processor's code: digital outputs, tags from `tags` (else
// the code and the channel number); analogue entries for the logger status kind.
struct SimProcessorAreas {
  std::string code;
  uint16_t channels = 0;
  std::vector<std::string> tags;
};

struct SimWorldSpec {
  std::vector<SimDeviceSpec> devices = {SimDeviceSpec{}};
  std::vector<SimProcessorSpec> processors;
  std::vector<SimProcessorAreas> processorAreas;
  std::vector<std::string> loggers;
  int errorEntries = 16;
  bool shortErrorTable = false;           // a dm_errors table of short entries only
  std::string configFolder = "C:\\TESSARINE\\CONFIG";
  bool statisticsCodes = true;            // dm_device carries the statistics codes
  std::string host = "localhost";         // the server's host: this computer
  std::string product;                    // "" = the product's default name
};

// Makes the world. 0, or -1 with a message in *why.
int sim_CreateWorld(const SimWorldSpec &spec, std::string *why);
// Removes every segment, mutex and folder the world made. A server that shuts
// down stops its scanners first: every device whose record shows a scanner
// running in another process is sent the stop code, and the removal waits
// (10 s at most) until each has marked its record stopped. Without
// `stopScanners` the world vanishes under them, as when the server dies.
void sim_DestroyWorld(bool stopScanners = true);

// The world's own note in the platform root (ROOT/scadasim-world): its
// configuration folder, host, product and every segment and folder it made,
// so a world left by a dead process can be removed by the next one.
std::string sim_WorldNotePath(void);
// Removes what a world noted and no live process owns any more. The number of
// objects removed.
int sim_RemoveLeftovers(void);
// Whether a process lives (a zombie does not).
bool sim_ProcessLives(long pid);
// The note's "key value" lines of `key`.
std::vector<std::string> sim_WorldNote(const std::string &key);

// A channel the world makes without a description: tag "AI001" and on by
// type and index (from 0), enabled, the rest zero.
void sim_DefaultChannel(int type, int index, ChannelRecord *r);

DeviceRecord *sim_Device(int index);
void *sim_Area(const std::string &code, ShmAreaKind kind);
// The device folder (Linux path) of device `index`.
std::string sim_DeviceFolder(int index);
// The status text of a status entry ("" when none).
std::string sim_StatusText(const std::string &statusName);

// Children (scanners, pumpsim, loggers) start as `prefix` followed by their
// own command line when a prefix is set (scadasim's "child" step, which ties
// them to this process); empty: directly.
void sim_SetChildLauncher(const std::vector<std::string> &prefix);
OsHandle sim_SpawnChild(const std::vector<std::string> &argv, uint32_t *pid);

// A program or file of the build: $TNW_BIN/name, else beside this program.
std::string sim_ProgramPath(const std::string &name);

// Starts a scanner for device `index`; program defaults to Tnwell_SC beside
// this program. The process handle, or NULL.
OsHandle sim_StartScanner(int index, const std::string &program, uint32_t *pid);
// Starts pumpsim (beside Tnwell_SC) on the port device `index` is configured
// for ("COM%d" by instance when none is named), with further arguments, and
// waits until its link is in place. The process handle, or NULL.
OsHandle sim_StartPumpSim(int index, const std::vector<std::string> &args, uint32_t *pid);
// The port name pumpsim plays for device `index` ("COM1").
std::string sim_PumpSimPort(int index);
// Asks pumpsim to end (it removes its link), waits and closes the handle;
// its exit code, or -1.
int64_t sim_StopPumpSim(OsHandle process, uint32_t pid, uint32_t ms);

// Waits until the device record shows the scanner running with its pid, or
// the process ended; true when running.
bool sim_WaitRunning(int index, OsHandle process, uint32_t ms);
// Waits for a process to end; its exit code, or -1 on time-out.
int64_t sim_WaitExit(OsHandle process, uint32_t ms);

int sim_Post(uint32_t pid, int32_t code);

// Changes channel `channel` (from 0) of I/O type `type` of device `index` in
// its channel file: the record is read, shaped by `edit` and written back by
// the system's channel writer (the file gets a new write time); then the
// reconfigure code (302) goes to `pid` unless it is 0. 0, or -1.
int sim_ChangeChannel(int index, int type, int channel, const std::function<void(ChannelRecord *)> &edit,
                      uint32_t pid);

// Codes other than 32 that reach this process's notification mailslot go to
// `fn` (on the listener thread); the mailslot opens now if it is not open.
// 0, or -1.
int sim_ListenForCodes(void (*fn)(int32_t code));

// Claims waiter slot `slot` (1-10) of a data area for this process.
bool sim_Watch(const std::string &code, int slot);
// Waits as that waiter for code 32: true when a change arrived within ms
// (one counted while nobody waited is taken at once).
bool sim_WaitForChange(const std::string &code, int slot, uint32_t ms);
// Code 32 notices this process has received so far.
uint64_t sim_ChangeNotices(void);

// ---- The server's side of alarms, events and derived values (sim_server.cpp).

// Creates the server's "xalarms" and "derived" mailslots and drains them on a
// thread of this process, keeping what arrives in order. 0, or -1 with *why.
int sim_OpenServerSlots(std::string *why);
// Closes them and stops every logger process (sim_DestroyWorld does this too).
void sim_StopServer(void);
// What arrived so far, taken out of the store.
std::vector<AlarmMessage> sim_TakeAlarms(void);
std::vector<std::string> sim_TakeDerived(void);
// Waits until at least n alarm messages (derived notices) are held.
bool sim_WaitAlarms(size_t n, uint32_t ms);
bool sim_WaitDerived(size_t n, uint32_t ms);
// A message field by field, in one line.
std::string sim_DescribeAlarm(const AlarmMessage &m);
// A logger code: "200001 (events +1)", "200000 with bit 31 (events +0, significant change)".
std::string sim_DescribeLoggerCode(int32_t code);

// Logger k (from 0) of the loggers table played by a `scadasim logger` child
// that records every code it receives; its process id goes into the record.
// 0, or -1.
int sim_StartLogger(int index, uint32_t *pid);
// The process of logger k started by sim_StartLogger (NULL when none).
OsHandle sim_LoggerProcess(int index);
// The codes logger k received so far, in order.
std::vector<int32_t> sim_LoggerCodes(int index);
bool sim_WaitLoggerCodes(int index, size_t n, uint32_t ms);

// Sets or clears a channel's (from 1) bit in a row of the code's event area:
// row 0 is the device's own, row k logger k's.
bool sim_Subscribe(const std::string &code, int row, int channel, bool on = true);

// One channel as the data area and configuration area show it.
struct SimChannel {
  std::string tag, units;
  uint32_t status = 0;
  float value = 0;
  bool analogue = false;
};
std::vector<SimChannel> sim_ReadChannels(const std::string &code);
// The state flags of a status word in short letters ("BAD ALM HI EV ...").
std::string sim_StatusFlagsText(uint32_t status);
