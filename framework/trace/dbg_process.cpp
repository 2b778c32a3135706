// The process's trace object, the counter settings' parse rule and the
// counter events.
#include <cstring>
#include <mutex>
#include <new>

#include "framework/trace/dbg_trace.h"

namespace {

// Guards the object pointer: a write on one thread must not meet its deletion.
std::mutex g_objectLock;
DebugTrace *g_trace;

// ASCII only: the setting's meaning never follows the process locale.
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void CounterEvent(int) {
  std::lock_guard<std::mutex> g(g_objectLock);
  if (!g_trace) return;
}

}  // namespace

void dbg_Open(const char *name) {
  std::lock_guard<std::mutex> g(g_objectLock);
  delete g_trace;
  g_trace = new (std::nothrow) DebugTrace(name);
}

void dbg_Close(void) {
  std::lock_guard<std::mutex> g(g_objectLock);
  delete g_trace;
  g_trace = nullptr;
}

int dbg_Write(const char *text) {
  std::lock_guard<std::mutex> g(g_objectLock);
  return g_trace ? g_trace->Write(text) : 0;
}

bool dbg_Wanted(void) {
  std::lock_guard<std::mutex> g(g_objectLock);
  return g_trace && g_trace->Wanted();
}

void dbg_WriteHex(const void *bytes, size_t length) {
  std::lock_guard<std::mutex> g(g_objectLock);
  if (!g_trace || !bytes) return;
  const unsigned char *p = static_cast<const unsigned char *>(bytes);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    char text[8] = {'0', 'x', kHex[p[i] >> 4], kHex[p[i] & 15], ' ', '\0'};
    g_trace->Write(text);
  }
}

bool dbg_IsOn(void) {
  std::lock_guard<std::mutex> g(g_objectLock);
  return g_trace && g_trace->IsOn();
}

DebugTrace *dbg_Object(void) {
  std::lock_guard<std::mutex> g(g_objectLock);
  return g_trace;
}

bool dbg_ParseCounter(const char *text, DebugCounter *out) {
  *out = DebugCounter{};
  if (!text) return false;
  size_t n = strlen(text), letters = 0;
  if (n > 7) return false;
  while (letters < n && letters < 3 && IsLetter(text[letters])) ++letters;
  if (letters < 1 || letters > 2 || letters == n) return false;
  uint32_t value = 0;
  for (size_t i = letters; i < n; ++i) {
    if (!IsDigit(text[i])) return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (value < 1 || value > 10000) return false;
  for (size_t i = 0; i < letters; ++i) out->code[i] = Upper(text[i]);
  out->limit = value;
  return true;
}

void dbg_RxCount(int n) { CounterEvent(n); }
void dbg_TxCount(int n) { CounterEvent(n); }
void dbg_RxTimeoutCount(int n) { CounterEvent(n); }
void dbg_TxTimeoutCount(int n) { CounterEvent(n); }
void dbg_RxCommErrorCount(int n) { CounterEvent(n); }
void dbg_TxCommErrorCount(int n) { CounterEvent(n); }
void dbg_RxCRCErrorCount(int n) { CounterEvent(n); }
void dbg_TxCRCErrorCount(int n) { CounterEvent(n); }
void dbg_RxGoodPacketCount(int n) { CounterEvent(n); }
void dbg_TxGoodPacketCount(int n) { CounterEvent(n); }
