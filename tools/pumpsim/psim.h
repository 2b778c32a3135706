// pumpsim: up to eight pump units on one line behind a pseudo-terminal, as a
// library for tests and tools.
//
// The pseudo-terminal is linked as PLATFORM_ROOT/dev/COMn, so "\\.\COMn:"
// opens it. Each unit answers "RP<unit><mnemonic>\r" with "000,<fields>\r":
// nine fields for PRV_ALL, eight for SETPOINT_ALL, one for every single
// mnemonic, with values that move like a running dual-cylinder pump. The
// line can be paced at the wire time of a baud rate, replies can wait a
// turnaround delay, and faults can be injected per unit or per command.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum PsimFaultKind : int {
  PSIM_FAULT_SILENCE,   // no reply
  PSIM_FAULT_GARBAGE,   // random bytes, then a carriage return
  PSIM_FAULT_SHORT,     // the first half of the reply, no carriage return
  PSIM_FAULT_OVERLONG,  // more bytes than the command's reply limit, no carriage return
  PSIM_FAULT_ERROR,     // status `arg` and no fields: "%03d\r"
  PSIM_FAULT_SPACED,    // the reply's bytes `arg` ms apart
  PSIM_FAULT_ABSENT,    // the unit does not answer at all
};

struct PsimFault {
  int unit = 0;             // 1-8; 0 every unit
  std::string command;      // mnemonic ("PRV_ALL", "CYL1_POS"); "" every command
  PsimFaultKind kind = PSIM_FAULT_SILENCE;
  uint32_t arg = 0;         // error: status number; spaced: milliseconds
  uint32_t percent = 100;   // chance of striking, per command
  double from = 0, to = 0;  // seconds into the run the fault lasts; to 0: for ever
};

// A blocked outlet: from `from` to `to` seconds into the run the unit's
// delivering cylinder and its output pressure rise by `bar` (over the first
// and last second of the window), then fall back.
struct PsimSurge {
  int unit = 1;
  double from = 0, to = 0;
  double bar = 100;
};

// One command as the line saw it, and what went back.
struct PsimExchange {
  std::string command;      // without its carriage return
  int unit = 0;             // 0: not a command to a unit on the line
  std::string mnemonic;
  bool answered = false;    // false: silence, an absent unit, or no command
  std::string reply;        // the bytes sent, faults applied
  int fault = -1;           // the PsimFaultKind that changed the reply (-1 none)
  uint32_t faultArg = 0;
  uint32_t spacedMs = 0;    // the reply's bytes were this far apart
  double seconds = 0;       // into the run, when the reply was made
};

struct PsimConfig {
  std::string port = "COM1";
  uint32_t baud = 0;          // wire pacing at 10 bits a byte; 0 none
  uint32_t turnaroundMs = 0;  // from the command's end to the reply's start
  uint8_t units = 0xFF;       // bit u-1: unit u is on the line
  std::vector<PsimFault> faults;
  std::vector<PsimSurge> surges;
  uint32_t seed = 1;
  std::string logPath;        // every command received, one line each ("" none)
  bool keepExchanges = false; // keep a PsimExchange of every command (psim_TakeExchanges)
};

struct PumpSim;

// Opens the pseudo-terminal, links the port and starts serving. NULL with a
// reason in *why.
PumpSim *psim_Start(const PsimConfig &config, std::string *why);
// Stops serving, removes the link and frees the simulator.
void psim_Stop(PumpSim *sim);

// The commands received so far, in order, without their carriage returns.
std::vector<std::string> psim_Commands(PumpSim *sim);
void psim_ClearCommands(PumpSim *sim);
// Waits until at least n commands were received (or ms passed).
bool psim_WaitCommands(PumpSim *sim, size_t n, uint32_t ms);
// Replaces the faults while serving.
void psim_SetFaults(PumpSim *sim, const std::vector<PsimFault> &faults);
// The exchanges kept since the last call (keepExchanges), taken out of the store.
std::vector<PsimExchange> psim_TakeExchanges(PumpSim *sim);
// Seconds since the line started serving.
double psim_Seconds(const PumpSim *sim);
// PLATFORM_ROOT/dev/<port> and the pseudo-terminal it leads to.
std::string psim_LinkPath(const PumpSim *sim);
std::string psim_DevicePath(const PumpSim *sim);
// What became of a link found at the port: "" when there was none, else which
// dead owner's link was replaced (a live owner's makes psim_Start fail).
std::string psim_TakeOverNote(const PumpSim *sim);

// The reply of a healthy unit to a mnemonic at `seconds` into its run, with
// its carriage return; an unknown mnemonic gets status 99. `surgeBar` is
// added to the delivering cylinder's and the output pressure.
std::string psim_Reply(int unit, const std::string &mnemonic, double seconds, double surgeBar = 0);
// The pressure the surges add to a unit at `seconds` into the run.
double psim_SurgeBar(const std::vector<PsimSurge> &surges, int unit, double seconds);
// The reply length limit the scanner uses for a mnemonic (20, 140 or 101).
size_t psim_ReplyLimit(const std::string &mnemonic);

// Options as the program and its configuration file take them: port, baud,
// turnaround, units, fault, surge, seed, log. 0, or -1 with a reason.
int psim_SetOption(PsimConfig *config, const std::string &key, const std::string &value, std::string *why);
// "[UNIT[:COMMAND]=]KIND[:ARG][@PERCENT][/FROM-TO]", UNIT and COMMAND "*" for
// all, FROM and TO in seconds (TO empty: for ever).
int psim_ParseFault(const std::string &text, PsimFault *fault, std::string *why);
// "UNIT/FROM-TO[:BAR]".
int psim_ParseSurge(const std::string &text, PsimSurge *surge, std::string *why);
// Lines "key value" (or "key=value"); '#' starts a comment.
int psim_LoadConfigFile(const std::string &path, PsimConfig *config, std::string *why);
