// The registry-controlled debug trace: one object per process, switched on
// and off at run time by values under HKLM SOFTWARE\Quenford\<product>, named
// after the trace name: "%s_Debug", "%s_DebugType", "%s_DebugFile" and ten
// counter settings. Outputs: debugger output (always while on), console, file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/os_handle.h"
#include "platform/os_registry.h"

enum : uint32_t { DBG_MODE_CONSOLE = 1, DBG_MODE_FILE = 2, DBG_MODE_DEBUGGER = 4 };

// The ten counter settings, in the order they are read (receive and transmit
// alternate for each kind).
enum DebugCounterKind : int {
  DBG_RX_COUNT,
  DBG_TX_COUNT,
  DBG_RX_TIMEOUT_COUNT,
  DBG_TX_TIMEOUT_COUNT,
  DBG_RX_COMM_ERROR_COUNT,
  DBG_TX_COMM_ERROR_COUNT,
  DBG_RX_CRC_ERROR_COUNT,
  DBG_TX_CRC_ERROR_COUNT,
  DBG_RX_GOOD_PACKET_COUNT,
  DBG_TX_GOOD_PACKET_COUNT,
  DBG_COUNTER_KINDS
};

// One counter setting: a code of one or two upper-case letters and a limit
// from 1 to 10000; code "" and limit 0 when not set.
struct DebugCounter {
  char code[3];
  uint32_t limit;
};

enum : size_t { DBG_NAME_MAX = 131, DBG_LINE_BUFFER = 5000, DBG_VALUE_MAX = 260 };

class DebugTrace {
 public:
  explicit DebugTrace(const char *name);
  ~DebugTrace();
  DebugTrace(const DebugTrace &) = delete;
  DebugTrace &operator=(const DebugTrace &) = delete;

  // Re-reads the settings after a change of the key; returns the text's
  // length when anything was on, else 0. Never fails the caller.
  int Write(const char *text);
  // Whether a write would go anywhere, after the same look for a change of
  // the key as Write: callers skip formatting a line nobody reads.
  bool Wanted();
  // Re-reads "%s_Debug"; only a change between on and off re-reads the rest.
  void Reload();
  bool IsOn() const;
  uint32_t Mode() const;
  DebugCounter Counter(int kind) const;

 private:
  void ReloadLocked();
  void NoticeChangeLocked();
  bool ReadValue(const char *valueName, char *out, size_t size) const;
  void AppendDebuggerLine(const char *text, size_t length);

  mutable std::mutex lock_;  // the line buffer and the outputs are shared by every thread
  char name_[DBG_NAME_MAX + 1] = {};
  OsHKey key_ = nullptr;
  uint64_t seenChanges_ = 0;
  // The store's change stamp: only when it moved is the key's count read.
  const volatile uint64_t *stamp_ = nullptr;
  uint64_t seenStamp_ = 0;
  uint32_t mode_ = 0;
  bool on_ = false;
  OsHandle file_ = nullptr;
  OsHandle console_ = nullptr;
  DebugCounter counters_[DBG_COUNTER_KINDS] = {};
  char line_[DBG_LINE_BUFFER] = {};
  size_t lineLength_ = 0;
};

// Replaces the process's trace object by a new one for `name`.
void dbg_Open(const char *name);
void dbg_Close(void);
// 0 without a trace object, else DebugTrace::Write.
int dbg_Write(const char *text);
// False without a trace object, else DebugTrace::Wanted.
bool dbg_Wanted(void);
// Each byte as "0x%02x ".
void dbg_WriteHex(const void *bytes, size_t length);
bool dbg_IsOn(void);
// The process's trace object, or NULL; valid until the next dbg_Open or dbg_Close.
DebugTrace *dbg_Object(void);

// A counter setting's text: at most 7 characters, one or two letters and then
// decimal digits only, value 1 to 10000. True with *out filled (letters
// upper-cased); false leaves *out cleared.
bool dbg_ParseCounter(const char *text, DebugCounter *out);

// Counter events, one per setting; they only look for the trace object.
void dbg_RxCount(int n);
void dbg_TxCount(int n);
void dbg_RxTimeoutCount(int n);
void dbg_TxTimeoutCount(int n);
void dbg_RxCommErrorCount(int n);
void dbg_TxCommErrorCount(int n);
void dbg_RxCRCErrorCount(int n);
void dbg_TxCRCErrorCount(int n);
void dbg_RxGoodPacketCount(int n);
void dbg_TxGoodPacketCount(int n);
