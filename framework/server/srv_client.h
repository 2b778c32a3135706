// The server request client: a table of connections keyed by server string,
// the named-pipe transport (the request mailslot on Windows 9x), and one
// transaction of a request line and its reply.
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
};

#define SRV_PIPE_NAME "tessarine"

// One connection. The entry lock is held from the lookup to the end of an
// exchange, so one connection carries one request at a time.
struct ServerConnection {
  char server[SRV_SERVER_MAX + 1];  // the key, compared without case; "" = free entry
  int32_t kind;                     // 0 closed, SRV_KIND_PIPE, or a kind a transport adds
  void *handle;                     // the transport's handle (pipe: OsHandle)
  OsCriticalSection lock;
  int32_t viaMailslot;              // kind 1 on Windows 9x: the handle writes to the request mailslot
};

// Makes the table (first call only): 1, or 0 when memory is short.
int srv_InitConnectionTable(int count);
// The table (made on first use with SRV_TABLE_SIZE entries) and its lock; NULL
// when it cannot be made. *count gets the number of entries.
ServerConnection *srv_ConnectionTable(int *count);
OsCriticalSection *srv_ConnectionTableLock(void);

// The open entry of `server` with its lock held, opening the pipe when the
// entry is new or closed. NULL (no lock held) for a server that is not a pipe
// server (OS_ERROR_NOT_SUPPORTED), a full table (OS_ERROR_TOO_MANY_OPEN_FILES),
// a name too long (OS_ERROR_INVALID_PARAMETER) or a pipe that cannot be opened.
ServerConnection *srv_LockConnection(const char *server);
void srv_UnlockConnection(ServerConnection *entry);
// 1 when a connection to `server` could be made (its lock is released), else 0.
int srv_Connect(const char *server);
// Closes every open pipe handle and marks the entries closed.
void srv_CloseAllConnections(void);

// The pipe transport of an entry (called with its lock held): open, one
// exchange (in: *replyLength is the capacity; out: the bytes received), close.
// 1 or 0 (last error set).
int srv_OpenPipe(ServerConnection *entry);
int srv_PipeTransact(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                     uint32_t *replyLength);
void srv_ClosePipe(ServerConnection *entry);
// One exchange on a locked entry by its kind; nonzero on success. A failure
// closes the handle and marks the entry closed.
int srv_Exchange(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                 uint32_t *replyLength);

// One request and its reply. The reply is terminated within its capacity
// (*replyLength in: capacity, at least 1; out: reply bytes without the
// terminator). Local names share the key ".". Returns the reply's result, or
// -1 with the error in errno and the last error (SRV_EMPTY_REPLY for an empty
// reply, the server's code for a "-1," reply). Writes one trace line.
int srv_Transact(const char *server, const void *request, uint32_t requestLength, char *reply,
                 uint32_t *replyLength);
// srv_Transact of a text, sent with its terminator.
int srv_Request(const char *server, const char *request, char *reply, uint32_t *replyLength);

// The key a server string is kept under: "." for every local name.
const char *srv_ServerKey(const char *server);
// Steps after a completed exchange: the reply's result, errors and trace line
// (key: the server key; the request's first two bytes name it in the line).
int srv_ParseReply(const char *key, const void *request, uint32_t requestLength, const char *reply,
                   uint32_t replyLength);
// Writes the trace line of a failed exchange and returns -1 with errno = last error.
int srv_ExchangeFailed(const char *key, const void *request, uint32_t requestLength);
