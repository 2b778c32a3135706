// scadasim's request line server: answers the framework's request lines on
// the named pipe "\\H\pipe\tessarine" of a host (this computer, or another
// host folder under PLATFORM_ROOT/hosts/) and, for this computer, on the
// Windows 9x request mailslot with chunked replies. It can be slow or drop
// every connection; stopping it plays a server that is down.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct SimServedProcessor {
  std::string name;       // "TNWLL"
  std::string printName;  // "" = the name
  std::string prefix;     // channel prefix, "" = none
  uint16_t count = 0;
  uint8_t run = 1;
  uint8_t type = 3;       // 2 analogue, 3 digital, 6 "modb"
  std::string text;       // long text of its "TP" entry
  std::string xmlError;   // non-empty: "CP" with C or R fails with 1465 and this text
};

struct SimServedLogger {
  std::string name;
  uint8_t active = 1;
  uint8_t kind = 0;
  std::string text;
};

// A fault of one verb's answers (the server's own answers, not the test's).
struct SimVerbKnob {
  std::string verb;           // two letters, any case
  int failCode = 0;           // answer "-1,<code>[,<text>]" instead
  std::string failText;
  int sizeDelta = 0;          // bytes added to (zeros) or taken off the answer
  bool negativeCount = false;  // "RF": the count of bytes read turns negative
  int cutAt = -1;             // the answer cut after this many bytes
  uint32_t delayMs = 0;       // before this verb's answer
};

struct SimRequestSpec {
  std::string host = ".";          // "." this computer; another name is made a host folder
  bool pipe = true;                // the named pipe
  bool mailslots = false;          // the request mailslot (this computer only)
  uint32_t delayMs = 0;            // before every reply
  bool dropConnections = false;    // read a request and hang up without a reply
  uint32_t dropOneIn = 0;          // N > 0: hang up on about one request in N, at random
  std::vector<SimServedProcessor> processors;  // empty: the lines of DATPROC.TXT in configFolder
  std::vector<SimServedLogger> loggers;
  std::string configFolder;        // "" = $TSQ_CURRENT_CONFIG
  std::vector<SimVerbKnob> knobs;
  bool keepLog = true;             // false: no request kept (a soak sends millions)
  // A reply of the test's own: true with the exact bytes to send (no
  // terminator is added), false for the server's own answer.
  std::function<bool(const std::string &request, std::string *reply)> answer;
};

struct SimRequestServer;

// Starts listening; NULL with a message in *why (the pipe name taken by a
// live server, a bad host).
SimRequestServer *sim_StartRequestServer(const SimRequestSpec &spec, std::string *why);
// Stops listening and hangs up every connection; the server is down.
void sim_StopRequestServer(SimRequestServer *server);

void sim_SetRequestDelay(SimRequestServer *server, uint32_t ms);
void sim_SetDropConnections(SimRequestServer *server, bool drop);
// Every request line received so far, in order (without its terminator).
std::vector<std::string> sim_ServedRequests(const SimRequestServer *server);
// The server's own answer to a request (all its bytes, data after the line
// included), as the bytes it would send, knobs applied: the answer function
// other transports put in front of the same world.
std::string sim_AnswerRequest(SimRequestServer *server, const std::string &request);
// A request that another transport received, served as the pipe serves it:
// recorded, after the server's delay, the test's reply or the server's own.
std::string sim_ServeRequest(SimRequestServer *server, const std::string &request);
// Whether a served logger is active now (false when unknown).
bool sim_ServedLoggerActive(const SimRequestServer *server, const std::string &name);
// Whether a served processor runs now (false when unknown).
bool sim_ServedProcessorRuns(const SimRequestServer *server, const std::string &name);

// "scadasim requests [--host H] [--mailslots] [--delay MS] [--drop]": serves
// until interrupted. Arguments after the command word.
int sim_RequestsCommand(int argc, char **argv);
void sim_RequestsUsage(FILE *f);
