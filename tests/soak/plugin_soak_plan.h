// The plug-in soak's plan and judgements: what each round throws at the
// loggers, the database server, the request peers and the configuration,
// how a request and its reply are told apart from every other one, and what
// a logger's store must hold of the records it reported written.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace psoak {

enum Transport : int { kPipe, kTls, kSoap, kProvider, kTransports };
const char *TransportName(int transport);

// What a peer does to the requests for a while.
enum Fault : int { kClean, kRefuse, kReset, kStall, kGarbage, kFaults };
const char *FaultName(int fault);

enum Logger : int { kFolderLogger, kSqliteLogger, kMySqlLogger, kLoggers };
const char *LoggerName(int logger);

struct Timed {
  uint64_t atMs;  // from the round's start
  int what;       // a fault, a channel, a duration: by the list
};

// One round. The last quarter of a round is clean: no kill, no fault, so
// that every store and every peer is whole when the round is judged.
struct RoundPlan {
  uint64_t lengthMs = 0;
  std::vector<Timed> kills[kLoggers];  // what: ms until the logger is started again
  std::vector<Timed> mysqlKills;       // what: ms the server stays down
  std::vector<Timed> faults[kTransports];
  std::vector<Timed> dialogWrites;     // what: the analogue channel (from 0)
  std::vector<Timed> remoteWrites;     // what: the digital channel (from 0)
  std::vector<Timed> reconfigures;
};
RoundPlan PlanRound(std::mt19937 &random, uint64_t lengthMs, int analogue, int digital);

// An echoed request: "ZE,<thread>,<n>,<padding>"; its reply "0," and the
// same fields.
std::string EchoRequest(int thread, uint64_t n);
std::string EchoReply(const std::string &request);
// Bytes a broken peer sends: never a comma, so never a reply of fields.
std::string Garbage(std::mt19937 &random);

// How a reply stands to its request.
enum Verdict : int { kOwn, kFailed, kForeign, kGarbled, kVerdicts };
const char *VerdictName(int verdict);
// rc: the transaction's result (-1 failed); an echo request's reply.
Verdict JudgeEcho(const std::string &request, int rc, const std::string &reply);
// A provider's "CV,<area>,<channel>" reply: its channel record's tag must
// be the one the area's channel has.
std::string ProviderRequest(const std::string &area, int channel);
Verdict JudgeProvider(int channel, int rc, const std::string &reply);

// What a store held of a logger's sequence numbers (the value of the
// logged area's first channel), every run in order of its first record.
struct StoreRead {
  std::string why;  // non-empty: the store could not be read
  std::vector<uint32_t> seqs;
  int runs = 0;
};
// folder: a Linux folder of runs of prefix "LOG"; else a connection string
// and the logger's name.
StoreRead ReadStore(const std::string &folderOrConnection, const std::string &logger);
// "" when every reported number is held once and everything held is in
// rising order and was posted (at most `lastPosted`); else what is wrong.
std::string CheckStore(const std::vector<uint32_t> &reported, const std::vector<uint32_t> &held, uint32_t lastPosted);

// Sanitizer and crash lines in a child's output ("" when none).
std::string SanitizerReport(const std::string &output);

}  // namespace psoak
