#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/registry/prod_platform.h"
#include "framework/server/srv_chunked.h"
#include "framework/server/srv_client.h"
#include "framework/shm/shm_segment.h"
#include "framework/trace/dbg_trace.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"
#include "platform/os_pipe.h"

namespace {

std::once_flag g_lockOnce;
OsCriticalSection g_tableLock;
std::atomic<ServerConnection *> g_table{nullptr};
int g_count;  // set before g_table

enum : uint32_t { kReplySlotMax = 65536 };

OsCriticalSection *TableLock() {
  std::call_once(g_lockOnce, [] { os_InitializeCriticalSection(&g_tableLock); });
  return &g_tableLock;
}

void Letters(const void *request, uint32_t length, char out[2]) {
  const char *r = static_cast<const char *>(request);
  out[0] = r && length > 0 && r[0] ? r[0] : ' ';
  out[1] = r && length > 1 && r[0] && r[1] ? r[1] : ' ';
}

// One trace line; `format` takes the key, then the number unless noNumber, then the letters.
void Trace(const char *format, const char *key, int number, const void *request, uint32_t length,
           bool noNumber = false) {
  if (!dbg_Wanted()) return;  // every request passes here: format only a line someone reads
  char l[2];
  Letters(request, length, l);
  char line[SRV_SERVER_MAX + 64];
  // The line must not change what the caller is told.
  uint32_t err = os_GetLastError();
  int saved = errno;
  if (noNumber)
    snprintf(line, sizeof line, format, key, l[0], l[1]);
  else
    snprintf(line, sizeof line, format, key, number, l[0], l[1]);
  dbg_Write(line);
  os_SetLastError(err);
  errno = saved;
}

// The Windows 9x path: the request goes to the server's mailslot with this
// thread's process and thread ids, the reply comes chunked on a slot of our own.
int MailslotTransact(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replyLength) {
  uint32_t ids[2] = {os_GetCurrentProcessId(), os_GetCurrentThreadId()};
  char name[32];
  snprintf(name, sizeof name, "%X\\%X", ids[0], ids[1]);
  OsHandle slot = os_CreateMailslot(ntf_MailslotPath(name), kReplySlotMax, OS_MAILSLOT_WAIT_FOREVER,
                                    shm_OpenSecurityAttributes());
  if (!slot) return 0;
  std::vector<char> msg(length + sizeof ids);
  if (length) memcpy(msg.data(), request, length);
  memcpy(msg.data() + length, ids, sizeof ids);
  uint32_t written = 0;
  if (os_WriteFile(static_cast<OsHandle>(e->handle), msg.data(), static_cast<uint32_t>(msg.size()), &written) != 0 ||
      written != msg.size()) {
    uint32_t err = written != msg.size() && os_GetLastError() == 0 ? OS_ERROR_WRITE_FAULT : os_GetLastError();
    os_CloseHandle(slot);
    return os_Fail(err), 0;
  }
  return srv_ReadMailslotReply(slot, reply, *replyLength, replyLength);
}

}  // namespace

int srv_InitConnectionTable(int count) {
  OsCriticalSection *lock = TableLock();
  os_EnterCriticalSection(lock);
  if (!g_table.load() && count > 0) {
    auto *table = static_cast<ServerConnection *>(calloc(static_cast<size_t>(count), sizeof(ServerConnection)));
    if (table) {
      // Each entry's lock is made once: a thread may be waiting on it while
      // the entry is closed and opened again.
      for (int i = 0; i < count; ++i) os_InitializeCriticalSection(&table[i].lock);
      g_count = count;
      g_table.store(table);
    }
  }
  int ok = g_table ? 1 : 0;
  os_LeaveCriticalSection(lock);
  return ok;
}

ServerConnection *srv_ConnectionTable(int *count) {
  if (!g_table.load() && !srv_InitConnectionTable(SRV_TABLE_SIZE)) return nullptr;
  if (count) *count = g_count;
  return g_table.load();
}

OsCriticalSection *srv_ConnectionTableLock(void) { return TableLock(); }

const char *srv_ServerKey(const char *server) { return srv_IsLocalHost(server) ? "." : server; }

namespace {

int PipeOpen(ServerConnection *e) { return srv_OpenPipe(e); }
void PipeClose(ServerConnection *e) { srv_ClosePipe(e); }

const SrvTransport kPipe = {PipeOpen, srv_PipeTransact, PipeClose, 0};
std::atomic<const SrvTransport *> g_transports[SRV_KIND_COUNT] = {nullptr, &kPipe, nullptr, nullptr, nullptr};

// Under the table lock: the live entry of `key`, else its closed entry, else a
// free one, else a closed entry nobody uses. The entry counts one more user.
ServerConnection *Claim(ServerConnection *table, int count, const char *key) {
  ServerConnection *e = nullptr;
  for (int i = 0; i < count && !e; ++i)
    if (table[i].server[0] && os_CompareNoCase(table[i].server, key) == 0) e = &table[i];
  for (int i = 0; i < count && !e; ++i)
    if (!table[i].server[0]) e = &table[i];
  // kind is read only when no thread holds the entry: the last one left it
  // under this lock.
  for (int i = 0; i < count && !e; ++i)
    if (table[i].users == 0 && table[i].kind == 0) e = &table[i];
  if (!e) return nullptr;
  if (os_CompareNoCase(e->server, key) != 0) {
    snprintf(e->server, sizeof e->server, "%s", key);
    e->kind = 0;
    e->handle = nullptr;
    e->timeoutMs = 0;
    e->openerThread = 0;
    e->viaMailslot = 0;
  }
  ++e->users;
  return e;
}

// One user fewer; an entry whose open failed goes back to the free ones
// once no other thread waits for it.
void Release(ServerConnection *e, bool giveBack) {
  os_EnterCriticalSection(TableLock());
  if (--e->users == 0 && giveBack && e->kind == 0) e->server[0] = '\0';
  os_LeaveCriticalSection(TableLock());
}

}  // namespace

int srv_SetTransport(int kind, const SrvTransport *transport) {
  if (kind <= SRV_KIND_PIPE || kind >= SRV_KIND_COUNT) return 0;
  g_transports[kind].store(transport);
  return 1;
}

const SrvTransport *srv_GetTransport(int kind) {
  return kind > 0 && kind < SRV_KIND_COUNT ? g_transports[kind].load() : nullptr;
}

int srv_ConnectionKind(const char *server) {
  const char *s = server ? server : "";
  if (os_CompareNoCaseN(s, "PROVIDER=", 9) == 0 || (s[0] && s[1] == ':') || s[0] == '\\') return SRV_KIND_PROVIDER;
  if (srv_IsLocalHost(s)) return SRV_KIND_PIPE;
  SrvUrlComponents url;
  if (!srv_CrackUrl(s, 0, 0, &url)) return SRV_KIND_PIPE;
  if (url.scheme == SRV_SCHEME_HTTP || url.scheme == SRV_SCHEME_HTTPS) return SRV_KIND_SOAP;
  if (url.scheme == SRV_SCHEME_FILE) return SRV_KIND_PROVIDER;
  return url.schemeText[0] ? SRV_KIND_SOCKET : SRV_KIND_PIPE;
}

namespace {

// srv_LockConnection for a key srv_ServerKey has already given.
ServerConnection *LockKey(const char *key) {
  if (strlen(key) > SRV_SERVER_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  int kind = srv_ConnectionKind(key);
  const SrvTransport *transport = srv_GetTransport(kind);
  if (!transport) return os_Fail(OS_ERROR_NOT_SUPPORTED), nullptr;
  int count = 0;
  ServerConnection *table = srv_ConnectionTable(&count);
  if (!table) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  os_EnterCriticalSection(TableLock());
  ServerConnection *e = Claim(table, count, key);
  os_LeaveCriticalSection(TableLock());
  if (!e) return os_Fail(OS_ERROR_TOO_MANY_OPEN_FILES), nullptr;
  // The entry keeps this key while we are one of its users.
  os_EnterCriticalSection(&e->lock);
  if (e->kind == 0) {
    e->handle = nullptr;
    if (!transport->open(e)) {
      uint32_t err = os_GetLastError();
      e->kind = 0;
      os_LeaveCriticalSection(&e->lock);
      Release(e, true);
      return os_Fail(err), nullptr;
    }
    e->kind = kind;
  }
  return e;
}

}  // namespace

ServerConnection *srv_LockConnection(const char *server) { return LockKey(srv_ServerKey(server)); }

void srv_UnlockConnection(ServerConnection *entry) {
  if (!entry) return;
  os_LeaveCriticalSection(&entry->lock);
  Release(entry, false);
}

int srv_Connect(const char *server) {
  ServerConnection *e = srv_LockConnection(server);
  if (!e) return 0;
  srv_UnlockConnection(e);
  return 1;
}

void srv_CloseAllConnections(void) {
  ServerConnection *table = g_table.load();
  if (!table) return;
  // Entry locks are never waited for under the table lock: claim, then close.
  std::vector<ServerConnection *> named;
  os_EnterCriticalSection(TableLock());
  for (int i = 0; i < g_count; ++i)
    if (table[i].server[0]) {
      ++table[i].users;
      named.push_back(&table[i]);
    }
  os_LeaveCriticalSection(TableLock());
  for (ServerConnection *e : named) {
    os_EnterCriticalSection(&e->lock);
    const SrvTransport *t = srv_GetTransport(e->kind);
    if (e->kind != 0 && t) t->close(e);
    e->kind = 0;
    e->handle = nullptr;
    os_LeaveCriticalSection(&e->lock);
    Release(e, false);
  }
}

int srv_OpenPipe(ServerConnection *e) {
  char line[SRV_SERVER_MAX + 40];
  snprintf(line, sizeof line, ">>%s Opening pipe connection\r\n", e->server);
  os_OutputDebugString(line);
  e->kind = 0;
  e->handle = nullptr;
  e->viaMailslot = 0;
  OsHandle h = nullptr;
  if (srv_IsLocalHost(e->server) && prod_GetOsPlatformId() == 1) {
    h = os_CreateFile(ntf_MailslotPath(SRV_REQUEST_SLOT), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                      OS_OPEN_EXISTING, 0);
    if (!h) return 0;
    e->viaMailslot = 1;
  } else {
    char path[SRV_SERVER_MAX + 32];
    snprintf(path, sizeof path, "\\\\%s\\pipe\\" SRV_PIPE_NAME, e->server);
    h = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0);
    if (!h) return 0;
    uint32_t mode = OS_PIPE_READMODE_MESSAGE;
    if (os_SetNamedPipeHandleState(h, &mode) != 0) {
      uint32_t err = os_GetLastError();
      os_CloseHandle(h);
      return os_Fail(err), 0;
    }
  }
  e->handle = h;
  e->kind = SRV_KIND_PIPE;
  return 1;
}

int srv_PipeTransact(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replyLength) {
  if (!e || e->kind != SRV_KIND_PIPE || !e->handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  if (e->viaMailslot) return MailslotTransact(e, request, length, reply, replyLength);
  uint32_t got = 0;
  int rc = os_TransactNamedPipe(static_cast<OsHandle>(e->handle), request, length, reply, *replyLength, &got);
  *replyLength = got;
  return rc == 0 ? 1 : 0;
}

void srv_ClosePipe(ServerConnection *e) {
  if (e->handle) os_CloseHandle(static_cast<OsHandle>(e->handle));
  e->handle = nullptr;
  e->viaMailslot = 0;
  e->kind = 0;
}

int srv_Exchange(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replyLength) {
  if (!e || e->kind == 0) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  const SrvTransport *t = srv_GetTransport(e->kind);
  if (!t) return os_Fail(OS_ERROR_NOT_SUPPORTED), 0;
  if (t->exchange(e, request, length, reply, replyLength)) return 1;
  if (t->keepOnFailure) return 0;
  uint32_t err = os_GetLastError();
  t->close(e);
  e->kind = 0;
  e->handle = nullptr;
  os_Fail(err);
  return 0;
}

int srv_ExchangeFailed(const char *key, const void *request, uint32_t length) {
  int err = static_cast<int>(os_GetLastError());
  errno = err;
  Trace("<<%s Error %d to %c%c\r\n", key, err, request, length);
  return -1;
}

namespace {

// The decimal number at reply[at..end) as atoi reads it (blanks, a sign,
// digits), saturated at the int range; 0 when there is none.
int NumberAt(const char *reply, size_t at, size_t end) {
  while (at < end && (reply[at] == ' ' || (reply[at] >= '\t' && reply[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < end && (reply[at] == '-' || reply[at] == '+')) negative = reply[at++] == '-';
  long long v = 0;
  for (; at < end && reply[at] >= '0' && reply[at] <= '9'; ++at)
    if (v <= INT32_MAX) v = v * 10 + (reply[at] - '0');
  if (negative) v = -v;
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}

}  // namespace

int srv_ParseReply(const char *key, const void *request, uint32_t length, const char *reply, uint32_t replyLength) {
  size_t end = reply ? strnlen(reply, replyLength) : 0;
  if (end == 0) {
    os_Fail(SRV_EMPTY_REPLY);
    Trace("<<%s No Result to %c%c\r\n", key, 0, request, length, true);
    return -1;
  }
  int result = NumberAt(reply, 0, end);
  if (result == -1) {
    // "-1,<code>[,<text>]": the code starts after the first comma, if any.
    const char *comma = static_cast<const char *>(memchr(reply, ',', end));
    size_t codeAt = comma ? static_cast<size_t>(comma - reply) + 1 : end;
    int code = NumberAt(reply, codeAt, end);
    if (code == OS_ERROR_XML_PARSE_ERROR) {
      const char *next = static_cast<const char *>(memchr(reply + codeAt, ',', end - codeAt));
      std::string text = next ? std::string(next + 1, static_cast<size_t>(reply + end - next - 1)) : std::string();
      xml_SetErrorConfigName("");
      xml_SetErrorSection("");
      xml_ClearError();
      xml_SetError(XML_E_PARSE, text.c_str());
    }
    os_Fail(static_cast<uint32_t>(code));
    Trace("<<%s Call Error %d to %c%c\r\n", key, code, request, length);
    return -1;
  }
  os_SetLastError(OS_ERROR_SUCCESS);
  Trace("<<%s Result %d to %c%c\r\n", key, result, request, length);
  return result;
}

namespace {

// One lookup, exchange and parse. `room` bytes of the reply buffer are given
// to the transport; *got gets the bytes received (0 after a failure).
int Transact(const char *server, const void *request, uint32_t length, char *reply, uint32_t room, uint32_t *got) {
  *got = 0;
  if (!server || !*server) server = ".";
  const char *key = srv_ServerKey(server);
  ServerConnection *e = LockKey(key);
  if (!e) {
    errno = static_cast<int>(os_GetLastError());
    return -1;
  }
  uint32_t n = room;
  int ok = srv_Exchange(e, request, length, reply, &n);
  uint32_t err = os_GetLastError();
  srv_UnlockConnection(e);
  os_SetLastError(err);
  if (!ok) return srv_ExchangeFailed(key, request, length);
  *got = n;
  return srv_ParseReply(key, request, length, reply, n);
}

}  // namespace

int srv_Transact(const char *server, const void *request, uint32_t length, char *reply, uint32_t *replyLength) {
  if (!reply || !replyLength || *replyLength == 0 || (!request && length)) {
    if (replyLength) *replyLength = 0;
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  }
  uint32_t capacity = *replyLength;
  *replyLength = 0;
  reply[0] = '\0';
  uint32_t got = 0;
  int rc = Transact(server, request, length, reply, capacity - 1, &got);  // room for the terminator
  // A reply that did not fit leaves its first part in the buffer: the caller
  // gets an empty reply, as the length says.
  reply[got] = '\0';
  *replyLength = got;
  return rc;
}

int con_Transact(const char *server, const void *request, int length, void *reply, int *replySize) {
  if (!reply || !replySize || *replySize <= 0 || length < 0 || (!request && length)) {
    if (replySize) *replySize = 0;
    errno = EINVAL;
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  }
  uint32_t got = 0;
  int rc = Transact(server, request, static_cast<uint32_t>(length), static_cast<char *>(reply),
                    static_cast<uint32_t>(*replySize), &got);
  *replySize = static_cast<int>(got);
  return rc;
}

int srv_Request(const char *server, const char *request, char *reply, uint32_t *replyLength) {
  if (!request) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return srv_Transact(server, request, static_cast<uint32_t>(strlen(request) + 1), reply, replyLength);
}
