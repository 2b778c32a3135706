// TLS client connections over TCP (OpenSSL 3), failing with Windows Sockets
// codes: OS_WSAECONNREFUSED, OS_WSAECONNRESET, OS_WSAETIMEDOUT and
// OS_WSAHOST_NOT_FOUND in the thread's last error.
//
// The peer's certificate is not verified; its subject and issuer go to the
// standard output when a connection opens. Writes never raise SIGPIPE (the
// session's socket I/O sends with MSG_NOSIGNAL), so a plug-in leaves the
// host's signal handling alone. One client context serves the whole process.
#pragma once
#include <cstdint>

enum : uint32_t {
  OS_WSAETIMEDOUT = 10060,
  OS_WSAECONNREFUSED = 10061,
  OS_WSAECONNRESET = 10054,
  OS_WSAEHOSTUNREACH = 10065,
  OS_WSAHOST_NOT_FOUND = 11001,
};

struct OsTls;

// The TCP port the services table gives a scheme name, 0 when it has none.
uint16_t os_ServicePort(const char *scheme);
// Resolves `host` to an IPv4 address in text form (out: 16 bytes). "." is
// "localhost", then this computer's name. 1, or 0 with OS_WSAHOST_NOT_FOUND.
int os_ResolveHost(const char *host, char out[16]);
// Connects and runs the handshake, both bounded by timeoutMs (OS_WSAETIMEDOUT).
// NULL with the last error set; a peer that does not speak TLS or shows no
// certificate fails the open.
OsTls *os_TlsConnect(const char *host, uint16_t port, uint32_t timeoutMs);
// Bounds every later read and write together: past `ms` milliseconds from
// now they fail with OS_WSAETIMEDOUT. 0 takes the bound away.
void os_TlsSetDeadline(OsTls *tls, uint32_t ms);
// Writes all `length` bytes: 1, or 0 with the last error set.
int os_TlsWrite(OsTls *tls, const void *data, uint32_t length);
// Reads what is there, up to `capacity` bytes: the count, or 0 with the last
// error set (a peer that closed counts as a reset).
uint32_t os_TlsRead(OsTls *tls, void *buffer, uint32_t capacity);
// Shuts the socket so that a thread blocked in os_TlsRead/os_TlsWrite returns;
// the connection stays allocated until os_TlsClose.
void os_TlsAbort(OsTls *tls);
void os_TlsClose(OsTls *tls);

// The server side, for the programs that play peers: a session on an accepted
// socket (the caller keeps the socket) through the server context `sslCtx`
// (an SSL_CTX). NULL when the handshake fails.
OsTls *os_TlsAccept(int fd, void *sslCtx);
