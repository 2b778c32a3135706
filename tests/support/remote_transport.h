// A connection kind 2 for tests: a server string "scheme://HOST/..." carries
// each request over scadasim's named pipe on HOST, so the remote road can be
// driven before the socket transport exists. Only tests install it.
#pragma once
#include <cstdint>

namespace tnwtest {
// Puts the transport in the table as kind 2; Remove takes it out again.
void InstallRemoteTransport();
void RemoveRemoteTransport();
// Connections it has opened so far.
uint32_t RemoteOpens();
}  // namespace tnwtest
