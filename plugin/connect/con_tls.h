// Connection kind 2: request lines over a TLS socket to a server named by a
// URL with a scheme other than http, https and file. The request goes as it
// is; the reply comes as a 4-byte little-endian signed length and its bytes.
#pragma once
#include <cstdint>

#include "framework/server/srv_client.h"

enum : int {
  CON_TLS_DEFAULT_PORT = 11234,  // for a scheme the services table does not know
  CON_TLS_READ_CHUNK = 4093,
  CON_TLS_HOST_MAX = 256,        // with the terminator
  CON_TLS_CREDENTIAL_MAX = 128,
};

// Opens the entry's server: 1 with kind 2, or 0 with the last error set.
int con_OpenTlsConnection(ServerConnection *entry);
// One request bounded by the entry's time-out (OS_WSAETIMEDOUT): nonzero on
// success. After a failure the table closes the connection.
int con_TlsRequest(ServerConnection *entry, const void *request, uint32_t length, void *reply, uint32_t *replySize);
// Writes the request and reads the framed reply, unbounded. 1 or 0.
int con_TlsExchange(ServerConnection *entry, const void *request, uint32_t length, void *reply, uint32_t *replySize);
void con_CloseTlsConnection(ServerConnection *entry);

// Reads one framed reply through `readSome` (up to `capacity` bytes into `buffer`:
// the count, 0 on failure with the last error set) into reply[0..*replySize).
// A prefix that arrives in pieces is joined; a negative length, one over the
// capacity or bytes beyond the length fail (OS_ERROR_INVALID_DATA,
// OS_ERROR_MORE_DATA) with nothing written past the buffer. 1 or 0.
using ConReadFn = uint32_t (*)(void *context, void *buffer, uint32_t capacity);
int con_ReadFramedReply(ConReadFn readSome, void *context, void *reply, uint32_t *replySize);
