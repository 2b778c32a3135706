#include "framework/trace/dbg_trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "framework/registry/ewf_guard.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_codepage.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_io.h"

namespace {

// Value name suffixes of the ten counter settings, in DebugCounterKind order.
const char *const kCounterValues[DBG_COUNTER_KINDS] = {
    "_DebugRxCount",          "_DebugTxCount",          "_DebugRxTimeoutCount",    "_DebugTxTimeoutCount",
    "_DebugRxCommErrorCount", "_DebugTxCommErrorCount", "_DebugRxCRCErrorCount",   "_DebugTxCRCErrorCount",
    "_DebugRxGoodPacketCount", "_DebugTxGoodPacketCount",
};

}  // namespace

DebugTrace::DebugTrace(const char *name) {
  snprintf(name_, sizeof name_, "%s", name ? name : "");
  char path[80 + PROD_NAME_MAX];
  snprintf(path, sizeof path, "SOFTWARE\\Quenford\\%s", prod_GetProductName());
  OsHKey key = nullptr;
  // Without its key the trace stays off for good.
  if (reg_CreateKeyGuarded(OS_HKEY_LOCAL_MACHINE, path, OS_REG_OPTION_NON_VOLATILE, OS_KEY_ALL_ACCESS,
                           shm_OpenSecurityAttributes(), &key, nullptr) != 0)
    return;
  key_ = key;
  stamp_ = os_RegStoreStamp(key_);
  std::lock_guard<std::mutex> g(lock_);
  if (stamp_) seenStamp_ = *stamp_;
  ReloadLocked();
}

DebugTrace::~DebugTrace() {
  if (file_) os_CloseHandle(file_);
  if (console_) {
    os_CloseHandle(console_);
    os_FreeConsole();
  }
  if (key_) os_RegCloseKey(key_);
}

bool DebugTrace::ReadValue(const char *valueName, char *out, size_t size) const {
  char buf[DBG_VALUE_MAX + 1] = {};
  uint32_t type = 0, n = DBG_VALUE_MAX;
  out[0] = '\0';
  if (os_RegQueryValueEx(key_, valueName, &type, buf, &n) != 0) return false;
  if (type != OS_REG_SZ && type != OS_REG_EXPAND_SZ) return false;
  buf[n < static_cast<uint32_t>(DBG_VALUE_MAX) ? n : static_cast<uint32_t>(DBG_VALUE_MAX)] = '\0';
  snprintf(out, size, "%s", buf);
  return true;
}

void DebugTrace::Reload() {
  std::lock_guard<std::mutex> g(lock_);
  ReloadLocked();
}

void DebugTrace::ReloadLocked() {
  if (!key_) return;
  int savedErrno = errno;
  uint32_t savedLast = os_GetLastError();
  char debugName[DBG_NAME_MAX + 32], typeName[DBG_NAME_MAX + 32], fileName[DBG_NAME_MAX + 32];
  snprintf(debugName, sizeof debugName, "%s_Debug", name_);
  snprintf(typeName, sizeof typeName, "%s_DebugType", name_);
  snprintf(fileName, sizeof fileName, "%s_DebugFile", name_);
  // The change count stands for the key's change notification: read it before
  // the values, so a change made while they are read is seen at the next write.
  os_RegGetChangeCount(key_, &seenChanges_);
  char value[DBG_VALUE_MAX + 1];
  bool on = ReadValue(debugName, value, sizeof value) && os_CompareNoCaseN(value, "ON", 2) == 0;
  if (on != on_) {
    on_ = on;
    if (on) {
      mode_ = DBG_MODE_DEBUGGER;
      lineLength_ = 0;
      line_[0] = '\0';
      if (ReadValue(typeName, value, sizeof value)) {
        if (strstr(value, "CON")) mode_ |= DBG_MODE_CONSOLE;
        if (strstr(value, "FILE")) mode_ |= DBG_MODE_FILE;
      }
    } else {
      mode_ = 0;
    }
    if ((mode_ & DBG_MODE_FILE) && !file_) {
      char path[DBG_VALUE_MAX + 1];
      if (ReadValue(fileName, path, sizeof path) && path[0])
        file_ = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                              OS_CREATE_ALWAYS, 0);
      if (!file_) mode_ &= ~DBG_MODE_FILE;
    } else if (!(mode_ & DBG_MODE_FILE) && file_) {
      os_CloseHandle(file_);
      file_ = nullptr;
    }
    if ((mode_ & DBG_MODE_CONSOLE) && !console_) {
      os_AllocConsole();
      console_ = os_CreateFile("CONOUT$", OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_WRITE, OS_OPEN_EXISTING, 0);
      if (!console_) mode_ &= ~DBG_MODE_CONSOLE;
    } else if (!(mode_ & DBG_MODE_CONSOLE) && console_) {
      os_CloseHandle(console_);
      console_ = nullptr;
      os_FreeConsole();
    }
    for (DebugCounter &c : counters_) c = DebugCounter{};
    if (on) {
      for (int k = 0; k < DBG_COUNTER_KINDS; ++k) {
        char counterName[DBG_NAME_MAX + 32];
        snprintf(counterName, sizeof counterName, "%s%s", name_, kCounterValues[k]);
        if (ReadValue(counterName, value, sizeof value)) dbg_ParseCounter(value, &counters_[k]);
      }
    }
  }
  os_SetLastError(savedLast);
  errno = savedErrno;
}

void DebugTrace::AppendDebuggerLine(const char *text, size_t length) {
  if (lineLength_ == 0) lineLength_ = static_cast<size_t>(snprintf(line_, sizeof line_, "%s : ", name_));
  size_t take = length;
  if (lineLength_ + length > DBG_LINE_BUFFER - 2) {
    // Only the tail of a text that would overrun the line is kept.
    take = lineLength_ < DBG_LINE_BUFFER - 1 ? DBG_LINE_BUFFER - 1 - lineLength_ : 0;
    if (take > length) take = length;
  }
  memcpy(line_ + lineLength_, text + length - take, take);
  lineLength_ += take;
  line_[lineLength_] = '\0';
  if (length > 0 && text[length - 1] == '\n') {
    if (lineLength_ > 2 && line_[lineLength_ - 1] != '\n') {
      line_[lineLength_ - 2] = '\r';
      line_[lineLength_ - 1] = '\n';
    }
    os_OutputDebugString(line_);
    lineLength_ = 0;
    line_[0] = '\0';
  }
}

void DebugTrace::NoticeChangeLocked() {
  if (!key_) return;
  if (stamp_) {
    // Read before the key, so a change made meanwhile moves it again.
    uint64_t stamp = *stamp_;
    if (stamp == seenStamp_) return;
    seenStamp_ = stamp;
  }
  int savedErrno = errno;
  uint32_t savedLast = os_GetLastError();
  uint64_t changes = 0;
  if (os_RegGetChangeCount(key_, &changes) == 0 && changes != seenChanges_) ReloadLocked();
  os_SetLastError(savedLast);
  errno = savedErrno;
}

bool DebugTrace::Wanted() {
  std::lock_guard<std::mutex> g(lock_);
  NoticeChangeLocked();
  return mode_ != 0;
}

int DebugTrace::Write(const char *text) {
  if (!text) return 0;
  std::lock_guard<std::mutex> g(lock_);
  NoticeChangeLocked();
  if (mode_ == 0) return 0;
  int savedErrno = errno;
  uint32_t savedLast = os_GetLastError();
  size_t n = strlen(text);
  uint32_t written = 0;
  if ((mode_ & DBG_MODE_CONSOLE) && console_) os_WriteFile(console_, text, static_cast<uint32_t>(n), &written);
  if ((mode_ & DBG_MODE_FILE) && file_) os_WriteFile(file_, text, static_cast<uint32_t>(n), &written);
  if (mode_ & DBG_MODE_DEBUGGER) AppendDebuggerLine(text, n);
  os_SetLastError(savedLast);
  errno = savedErrno;
  return static_cast<int>(n);
}

bool DebugTrace::IsOn() const {
  std::lock_guard<std::mutex> g(lock_);
  return mode_ != 0;
}

uint32_t DebugTrace::Mode() const {
  std::lock_guard<std::mutex> g(lock_);
  return mode_;
}

DebugCounter DebugTrace::Counter(int kind) const {
  std::lock_guard<std::mutex> g(lock_);
  return kind >= 0 && kind < DBG_COUNTER_KINDS ? counters_[kind] : DebugCounter{};
}
