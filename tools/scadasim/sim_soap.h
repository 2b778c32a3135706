// scadasim's SOAP service: the SendRequest call over HTTP or HTTPS, answered
// by the request server's answer function (or the test's own). It records
// what each call carried and plays broken servers.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct SimRequestServer;

enum class SimSoapFault {
  None,
  ResetMidReply,  // the connection reset instead of the reply
  SlowReply,      // the reply after 16 s
  Fault500,       // HTTP 500 with a SOAP fault "scadasim refuses"
  NotFound404,    // HTTP 404
  GzipReply,      // the reply gzip-compressed
  NeedLogin,      // 401 unless the call carries a user name
  NeedProxyLogin, // 407 unless the call carries a user name
  CorruptGzip,    // a gzip reply with damaged compressed bytes
};

struct SimSoapSpec {
  std::string address = "127.0.0.2";
  uint16_t port = 0;
  bool https = false;
  std::string certFile, keyFile;  // https: the server certificate and its key
  SimRequestServer *server = nullptr;
  std::function<std::string(const std::string &request)> answer;
  bool keepLog = true;  // false: no call kept (a soak sends millions)
};

// What one call carried.
struct SimSoapCall {
  std::string path;      // path and query as the HTTP request line gave them
  std::string encoding;  // the request body's content encoding ("gzip", "")
  std::string user, password;
  std::string host;      // the call's Host element
  std::string request;   // the request bytes
  int resultSize = 0;
};

struct SimSoapServer;

SimSoapServer *sim_StartSoapServer(const SimSoapSpec &spec, std::string *why);
void sim_StopSoapServer(SimSoapServer *s);
uint16_t sim_SoapPort(const SimSoapServer *s);
void sim_SetSoapFault(SimSoapServer *s, SimSoapFault fault);
uint32_t sim_SoapConnections(const SimSoapServer *s);
std::vector<SimSoapCall> sim_SoapCalls(const SimSoapServer *s);

// The command line of "scadasim requests": --soap PORT (HTTP, 0 any free
// port) and --soap-https PORT (with --cert and --key, which the TLS listener
// shares).
struct SimSoapOptions {
  bool http = false, https = false;
  uint16_t httpPort = 0, httpsPort = 0;
};
// Takes the option at argv[*i] and its value: true when it was one of ours.
bool sim_SoapOption(int argc, char **argv, int *i, SimSoapOptions *o, bool *bad);
// Starts what was asked for and prints the addresses; false on a failure.
bool sim_StartSoapFromOptions(const SimSoapOptions &o, const std::string &certFile, const std::string &keyFile,
                              SimRequestServer *server, SimSoapServer *out[2]);
void sim_SoapUsage(FILE *f);
