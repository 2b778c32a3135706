// Named pipes "\\H\pipe\X" in message mode.
//
// The stand-in is a Unix stream socket at ROOT/hosts/H/pipe/X (H "." or this
// computer's name means local) carrying length-prefixed messages, so every
// request and every reply keeps its boundaries whatever its size. A host with
// no folder under ROOT/hosts/ is unreachable (OS_ERROR_BAD_NETPATH).
//
// Clients open a pipe with os_CreateFile; os_WriteFile sends one message and
// os_ReadFile reads one. A message longer than the reader's buffer fills the
// buffer and fails with OS_ERROR_MORE_DATA; the next reads return the rest.
// A peer that went away gives OS_ERROR_BROKEN_PIPE. SIGPIPE is never raised.
#pragma once
#include <cstdint>

#include "platform/os_handle.h"

enum : uint32_t {
  OS_PIPE_READMODE_BYTE = 0,
  OS_PIPE_READMODE_MESSAGE = 2,
  OS_PIPE_MAX_MESSAGE = 16u << 20,  // a longer length prefix is a broken peer
};

// Sets the read mode; every pipe here reads whole messages, so only
// OS_PIPE_READMODE_MESSAGE (or NULL) is accepted. 0 or -1.
int os_SetNamedPipeHandleState(OsHandle h, const uint32_t *mode);
// Writes one message and reads the reply, as TransactNamedPipe. 0 or -1
// (OS_ERROR_MORE_DATA with the first outCap bytes when the reply is longer).
int os_TransactNamedPipe(OsHandle h, const void *in, uint32_t inLen, void *out, uint32_t outCap, uint32_t *got);

// The server side, for the server stand-in: listens on "\\.\pipe\X". A name
// that a live process listens on fails with OS_ERROR_ALREADY_EXISTS; a stale
// socket left by a dead one is taken over. The handle is signalled while a
// client waits to be accepted.
OsHandle os_CreatePipeListener(const char *name);
// Accepts one client (waits at most ms; OS_INFINITE for ever). The
// connection handle reads and writes messages as a client's does. NULL with
// OS_ERROR_WAIT_TIMEOUT when nobody came.
OsHandle os_AcceptPipeClient(OsHandle listener, uint32_t ms);

// The opener os_CreateFile uses for paths under ROOT/hosts/H/pipe/.
OsHandle os_OpenPipeClient(const char *linuxPath, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags);
// True when a translated path names a pipe (ROOT/hosts/H/pipe/X).
bool os_IsPipePath(const char *linuxPath);
