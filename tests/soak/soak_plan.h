// The soak's device and line: which unit and value each channel reads, the
// faults thrown at the line, and what the scanner may publish and show as its
// status for the replies the line actually sent.
#pragma once
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

namespace soak {

enum : int { kUnits = 4 };

// Where a channel's value comes from.
struct Source {
  bool takesPart = false;  // enabled, with a pump and a value index
  bool online = false;     // a pump of the line (1-8) and a known value index
  int pump = 0;
  std::string mnemonic;    // PRV_ALL, SETPOINT_ALL or the single query's
  int field = -1;          // the bulk reply's field; -1 for a single query
  std::string Command() const { return "RP" + std::to_string(pump) + mnemonic; }
};
Source SourceOf(int type, const ChannelRecord &r);

// The device: analogue and digital inputs on units 1-4 with alarms, events,
// deadbands, scaling, a reference channel, a disabled channel and one on a
// pump the line does not have; statistics; the alarm and derived processors
// and one logger.
SimWorldSpec WorldSpec(uint32_t scanRate);
// The mnemonics the device asks for (where faults are aimed).
std::vector<std::string> Mnemonics();

// A fresh set of faults: none at times, else one or two of any kind, on a
// unit or all, on a command or all, with a chance each.
std::vector<PsimFault> RandomFaults(std::mt19937 &random);
std::string DescribeFaults(const std::vector<PsimFault> &faults);

// What a reply did to the scanner's pass: 0 clean, -1 a line error (garbage,
// over-long), -2 a time-out (silence, absent, cut short), above 0 the pump's
// status number.
int ErrorOf(const PsimExchange &e);

// One scan pass as the line saw it: from one "RP1PRV_ALL" to the next.
struct Pass {
  std::vector<PsimExchange> exchanges;
  bool complete = false;
};

// The passes of the line, the last few kept.
class PassLog {
 public:
  void Add(const std::vector<PsimExchange> &exchanges);
  // The last n passes (the newest may still be running).
  std::vector<const Pass *> Last(size_t n) const;
  uint64_t Completed() const { return completed_; }

 private:
  std::deque<Pass> passes_;
  uint64_t completed_ = 0;
};

// The first error of a pass and whether it failed (a line error or time-out
// before the analogue inputs), by the order the handlers note errors in.
struct PassOutcome {
  int error = 0;
  bool failed = false;
};
PassOutcome OutcomeOf(const Pass &p, const ChannelRecord *ai, int aiCount);
// The status texts a pass may leave (a failed one: also those of the retries).
void AllowedTexts(const PassOutcome &o, std::set<std::string> *texts);

// The value a clean reply gives a source (analogue value or digital bit).
bool ReplyValue(const Source &s, const std::string &reply, float *value);
// The last exchange of a command in a pass, or NULL.
const PsimExchange *Find(const Pass &p, const std::string &command);

// Whether a good channel's value (a digital one's bit) is one the recent
// passes' clean replies to its command give, scaled by one of the records
// (the table before or after a reload), less one of the reference offsets.
bool GoodExplained(int type, float shown, const std::vector<const Pass *> &passes,
                   const std::vector<const ChannelRecord *> &records, const std::set<float> &offsets);
// Whether a bad channel has a reason: it takes no part, its command failed in
// a recent pass, or a recent pass failed (failed[i] for passes[i]).
bool BadExplained(int type, const ChannelRecord &r, const std::vector<const Pass *> &passes,
                  const std::vector<bool> &failed);

}  // namespace soak
