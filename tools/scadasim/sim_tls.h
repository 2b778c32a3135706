// scadasim's TLS listener: request lines over TLS on a TCP port, answered by
// the request server's answer function (or the test's own). A request is its
// text up to the NUL, then the data that HF and FF announce in their first
// field; CF and WF carry no NUL and end after the record their head sizes.
// Replies go with a 4-byte little-endian length. Faults play broken peers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct SimRequestServer;

enum class SimTlsFault {
  None,
  ResetMidReply,   // half the reply, then a TCP reset
  SlowReply,       // the reply after 16 s
  Silent,          // accept, then neither handshake nor reply
  NotTls,          // answer the handshake with plain text
  SplitPrefix,     // the length prefix in two records of 2 bytes
  OverCapacity,    // a length far over any buffer
  NegativeLength,  // a negative length
};

struct SimTlsSpec {
  std::string address = "127.0.0.2";
  uint16_t port = 0;  // 0: any free port
  std::string certFile, keyFile;
  SimRequestServer *server = nullptr;  // whose answers are sent
  // The test's own answer instead (the reply bytes, no frame).
  std::function<std::string(const std::string &request)> answer;
  uint32_t writeChunk = 0;  // > 0: the reply body in records of this size
  bool keepLog = true;      // false: no request kept (a soak sends millions)
};

struct SimTlsServer;

SimTlsServer *sim_StartTlsServer(const SimTlsSpec &spec, std::string *why);
void sim_StopTlsServer(SimTlsServer *s);
uint16_t sim_TlsPort(const SimTlsServer *s);
void sim_SetTlsFault(SimTlsServer *s, SimTlsFault fault);
// Connections accepted so far, and every request received, in order.
uint32_t sim_TlsConnections(const SimTlsServer *s);
std::vector<std::string> sim_TlsRequests(const SimTlsServer *s);

// The size of the first whole request in buf[0..n): 0 while it is incomplete,
// SIZE_MAX when it cannot be one (sizes that are no number or too large).
size_t sim_TlsRequestSize(const char *buf, size_t n);

// The command line of "scadasim requests": --tls PORT (0 any free port),
// --cert FILE, --key FILE, --tls-fault NAME (reset, slow, silent, not-tls,
// split, over, negative).
struct SimTlsOptions {
  bool wanted = false;
  SimTlsSpec spec;
  SimTlsFault fault = SimTlsFault::None;
};
// Takes the option at argv[*i] (and its value): true when it was one of ours;
// *bad is set for a wrong value.
bool sim_TlsOption(int argc, char **argv, int *i, SimTlsOptions *o, bool *bad);
// Starts the listener when asked for and prints its address; true when none
// was asked for or it started.
bool sim_StartTlsFromOptions(SimTlsOptions *o, SimRequestServer *server, SimTlsServer **out);
void sim_TlsUsage(FILE *f);
