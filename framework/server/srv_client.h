// The server request client: a table of connections keyed by server string,
// a table of transports by connection kind (kind 1, the named pipe or the
// request mailslot on Windows 9x, is always there; a loaded module may add
// the others), and one transaction of a request line and its reply.
//
// A request line is a two-letter command, optionally a comma and the
// arguments separated by commas, sent with its terminator. A reply begins
// with a decimal result; "-1,<code>[,<text>]" is a failure with a Windows or C
// error code (1465: the text is an XML error text).
#pragma once
#include <cstdint>

#include "framework/registry/srv_hosts.h"
#include "platform/os_handle.h"

enum : int {
  SRV_TABLE_SIZE = 100,
  SRV_EMPTY_REPLY = 8001,  // the error of a reply without bytes
  SRV_DEFAULT_TIMEOUT_MS = 15000,
  SRV_KIND_COUNT = 5,      // kinds 0 (closed) to SRV_KIND_SOAP
};

#define SRV_PIPE_NAME "tessarine"

// One connection. The entry lock is held from the lookup to the end of an
// exchange, so one connection carries one request at a time.
struct ServerConnection {
  char server[SRV_SERVER_MAX + 1];  // the key, compared without case; "" = free entry
  int32_t kind;                     // 0 closed, SRV_KIND_PIPE, or a kind a transport adds
  void *handle;                     // the transport's handle (pipe: OsHandle)
  int32_t timeoutMs;                // a request's time-out; 0 = SRV_DEFAULT_TIMEOUT_MS
  uint32_t openerThread;            // the thread that opened an in-process connection
  OsCriticalSection lock;           // made once with the table
  int32_t viaMailslot;              // kind 1 on Windows 9x: the handle writes to the request mailslot
  int32_t users;                    // threads between lookup and unlock; under the table lock
};

// How one connection kind opens, carries a request and closes. Called with
// the entry's lock held. open sets the handle and returns 1, or 0 with the
// last error set; exchange: *replyLength in the capacity, out the bytes
// received, nonzero on success. A failed exchange closes the connection
// unless keepOnFailure (the connection is still good, only the request failed).
struct SrvTransport {
  int (*open)(ServerConnection *entry);
  int (*exchange)(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                  uint32_t *replyLength);
  void (*close)(ServerConnection *entry);
  int keepOnFailure;
};

// Puts (or with NULL takes away) the transport of a kind 2..4; kind 1 is the
// pipe and stays. 1, or 0 for another kind. Meant for a module's load time;
// the table keeps the pointer, so the transport must outlive its connections.
int srv_SetTransport(int kind, const SrvTransport *transport);
const SrvTransport *srv_GetTransport(int kind);
// The connection kind of a server string: SRV_KIND_PROVIDER for "PROVIDER=..."
// in any case, a drive path or a string that begins with '\'; SRV_KIND_PIPE for
// this computer and for strings that are no URL; by the URL's scheme otherwise
// (http and https SRV_KIND_SOAP, file SRV_KIND_PROVIDER, another named scheme
// SRV_KIND_SOCKET, none SRV_KIND_PIPE).
int srv_ConnectionKind(const char *server);

// Makes the table (first call only): 1, or 0 when memory is short.
int srv_InitConnectionTable(int count);
// The table (made on first use with SRV_TABLE_SIZE entries) and its lock; NULL
// when it cannot be made. *count gets the number of entries.
ServerConnection *srv_ConnectionTable(int *count);
OsCriticalSection *srv_ConnectionTableLock(void);

// The open entry of `server` with its lock held, opening the transport of its
// kind when the entry is new or closed. The table lock is held only to find or
// claim the entry: a slow open delays only the requests to the same server.
// NULL (no lock held) for a kind without a transport (OS_ERROR_NOT_SUPPORTED),
// a full table (OS_ERROR_TOO_MANY_OPEN_FILES), a name too long
// (OS_ERROR_INVALID_PARAMETER) or a transport that cannot be opened (its
// error; the entry is given back, so unreachable names do not fill the table).
ServerConnection *srv_LockConnection(const char *server);
void srv_UnlockConnection(ServerConnection *entry);
// 1 when a connection to `server` could be made (its lock is released), else 0.
int srv_Connect(const char *server);
// Closes every open connection by its kind and marks the entries closed.
void srv_CloseAllConnections(void);

// The pipe transport of an entry (called with its lock held): open, one
// exchange (in: *replyLength is the capacity; out: the bytes received), close.
// 1 or 0 (last error set).
int srv_OpenPipe(ServerConnection *entry);
int srv_PipeTransact(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                     uint32_t *replyLength);
void srv_ClosePipe(ServerConnection *entry);
// One exchange on a locked entry by its kind; nonzero on success. A failure
// closes the connection (unless its transport keeps it) and marks the entry
// closed; the next lookup opens it again in the same entry.
int srv_Exchange(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                 uint32_t *replyLength);

// One request and its reply. The reply is terminated within its capacity
// (*replyLength in: capacity, at least 1; out: reply bytes without the
// terminator). Local names share the key ".". Returns the reply's result, or
// -1 with the error in errno and the last error (SRV_EMPTY_REPLY for an empty
// reply, the server's code for a "-1," reply). Writes one trace line.
int srv_Transact(const char *server, const void *request, uint32_t requestLength, char *reply,
                 uint32_t *replyLength);
// The same transaction into a reply buffer that the reply may fill entirely
// (*replySize in: the capacity; out: the reply bytes); nothing is added to
// the reply and it is parsed only within the bytes received.
int con_Transact(const char *server, const void *request, int requestLength, void *reply, int *replySize);
// srv_Transact of a text, sent with its terminator.
int srv_Request(const char *server, const char *request, char *reply, uint32_t *replyLength);

// The key a server string is kept under: "." for every local name.
const char *srv_ServerKey(const char *server);
// Steps after a completed exchange: the reply's result, errors and trace line
// (key: the server key; the request's first two bytes name it in the line).
// Only the replyLength bytes are read; a NUL ends the reply earlier.
int srv_ParseReply(const char *key, const void *request, uint32_t requestLength, const char *reply,
                   uint32_t replyLength);
// Writes the trace line of a failed exchange and returns -1 with errno = last error.
int srv_ExchangeFailed(const char *key, const void *request, uint32_t requestLength);

// The plug-in's names for the same table and transaction.
inline ServerConnection *con_LockConnection(const char *server) { return srv_LockConnection(server); }
inline int con_Exchange(ServerConnection *entry, const void *request, int requestLength, void *reply,
                        int *replySize) {
  if (requestLength < 0 || !replySize || *replySize < 0) return 0;
  uint32_t n = static_cast<uint32_t>(*replySize);
  int ok = srv_Exchange(entry, request, static_cast<uint32_t>(requestLength), reply, &n);
  *replySize = static_cast<int>(n);
  return ok;
}
inline void con_CloseAllConnections(void) { srv_CloseAllConnections(); }
