// The simulator's options, from the command line or a configuration file.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/pumpsim/psim.h"

namespace {

bool Number(const std::string &text, uint32_t max, uint32_t *out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Seconds as "12" or "12.5".
bool Seconds(const std::string &text, double *out) {
  if (text.empty() || text.size() > 12) return false;
  bool dot = false, digit = false;
  for (char c : text) {
    if (c == '.' && !dot) dot = true;
    else if (isdigit(static_cast<unsigned char>(c))) digit = true;
    else return false;
  }
  if (!digit) return false;
  *out = strtod(text.c_str(), nullptr);
  return true;
}

// "FROM-TO" (TO empty: for ever) into from and to.
bool Window(const std::string &text, double *from, double *to) {
  size_t dash = text.find('-');
  if (dash == std::string::npos || !Seconds(text.substr(0, dash), from)) return false;
  std::string end = text.substr(dash + 1);
  if (end.empty()) return *to = 0, true;
  return Seconds(end, to) && *to > *from;
}

bool Fail(std::string *why, const std::string &text) {
  if (why) *why = text;
  return false;
}

// "1-8", "1,2,5", "3": the units on the line.
bool Units(const std::string &text, uint8_t *out, std::string *why) {
  uint8_t mask = 0;
  size_t i = 0;
  while (i <= text.size()) {
    size_t comma = text.find(',', i);
    std::string part = text.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
    size_t dash = part.find('-');
    uint32_t lo, hi;
    if (dash == std::string::npos) {
      if (!Number(part, 8, &lo)) return Fail(why, "bad units \"" + text + "\"");
      hi = lo;
    } else if (!Number(part.substr(0, dash), 8, &lo) || !Number(part.substr(dash + 1), 8, &hi)) {
      return Fail(why, "bad units \"" + text + "\"");
    }
    if (lo < 1 || hi < lo) return Fail(why, "bad units \"" + text + "\"");
    for (uint32_t u = lo; u <= hi; ++u) mask = static_cast<uint8_t>(mask | (1u << (u - 1)));
    if (comma == std::string::npos) break;
    i = comma + 1;
  }
  *out = mask;
  return true;
}

}  // namespace

int psim_ParseFault(const std::string &text, PsimFault *fault, std::string *why) {
  PsimFault f;
  std::string rest = text;
  size_t slash = rest.rfind('/');
  if (slash != std::string::npos) {
    if (!Window(rest.substr(slash + 1), &f.from, &f.to)) return Fail(why, "bad time window in fault \"" + text + "\""), -1;
    rest = rest.substr(0, slash);
  }
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    if (!Number(rest.substr(at + 1), 100, &f.percent) || f.percent == 0)
      return Fail(why, "bad chance in fault \"" + text + "\""), -1;
    rest = rest.substr(0, at);
  }
  size_t eq = rest.find('=');
  if (eq != std::string::npos) {
    std::string target = rest.substr(0, eq);
    rest = rest.substr(eq + 1);
    size_t colon = target.find(':');
    std::string unit = target.substr(0, colon);
    if (colon != std::string::npos) f.command = target.substr(colon + 1);
    if (f.command == "*") f.command.clear();
    uint32_t u = 0;
    if (unit != "*" && (!Number(unit, 8, &u))) return Fail(why, "bad unit in fault \"" + text + "\""), -1;
    f.unit = static_cast<int>(u);
  }
  size_t colon = rest.find(':');
  std::string kind = rest.substr(0, colon);
  bool hasArg = colon != std::string::npos;
  if (hasArg && !Number(rest.substr(colon + 1), 600000, &f.arg))
    return Fail(why, "bad argument in fault \"" + text + "\""), -1;
  struct Kind {
    const char *name;
    PsimFaultKind kind;
    bool needsArg;
  } kinds[] = {
      {"silence", PSIM_FAULT_SILENCE, false}, {"garbage", PSIM_FAULT_GARBAGE, false},
      {"short", PSIM_FAULT_SHORT, false},     {"overlong", PSIM_FAULT_OVERLONG, false},
      {"error", PSIM_FAULT_ERROR, true},      {"spaced", PSIM_FAULT_SPACED, true},
      {"absent", PSIM_FAULT_ABSENT, false},
  };
  for (const Kind &k : kinds) {
    if (kind != k.name) continue;
    if (k.needsArg != hasArg) return Fail(why, "fault \"" + text + "\": " + kind + (k.needsArg ? " needs" : " takes no") + " argument"), -1;
    f.kind = k.kind;
    *fault = f;
    return 0;
  }
  return Fail(why, "unknown fault kind \"" + kind + "\""), -1;
}

int psim_ParseSurge(const std::string &text, PsimSurge *surge, std::string *why) {
  PsimSurge s;
  std::string rest = text;
  size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    if (!Seconds(rest.substr(colon + 1), &s.bar) || s.bar <= 0) return Fail(why, "bad pressure in surge \"" + text + "\""), -1;
    rest = rest.substr(0, colon);
  }
  size_t slash = rest.find('/');
  uint32_t unit = 0;
  if (slash == std::string::npos || !Number(rest.substr(0, slash), 8, &unit) || unit < 1)
    return Fail(why, "bad unit in surge \"" + text + "\""), -1;
  if (!Window(rest.substr(slash + 1), &s.from, &s.to) || s.to == 0)
    return Fail(why, "bad time window in surge \"" + text + "\""), -1;
  s.unit = static_cast<int>(unit);
  *surge = s;
  return 0;
}

int psim_SetOption(PsimConfig *config, const std::string &key, const std::string &value, std::string *why) {
  uint32_t n = 0;
  if (key == "port") {
    if (value.empty()) return Fail(why, "empty port"), -1;
    config->port = value;
  } else if (key == "baud") {
    if (!Number(value, 4000000, &n)) return Fail(why, "bad baud rate \"" + value + "\""), -1;
    config->baud = n;
  } else if (key == "turnaround") {
    if (!Number(value, 600000, &n)) return Fail(why, "bad turnaround \"" + value + "\""), -1;
    config->turnaroundMs = n;
  } else if (key == "units") {
    if (!Units(value, &config->units, why)) return -1;
  } else if (key == "fault") {
    PsimFault f;
    if (psim_ParseFault(value, &f, why) != 0) return -1;
    config->faults.push_back(f);
  } else if (key == "surge") {
    PsimSurge g;
    if (psim_ParseSurge(value, &g, why) != 0) return -1;
    config->surges.push_back(g);
  } else if (key == "seed") {
    if (!Number(value, 0xFFFFFFFFu, &n)) return Fail(why, "bad seed \"" + value + "\""), -1;
    config->seed = n;
  } else if (key == "log") {
    config->logPath = value;
  } else {
    return Fail(why, "unknown option \"" + key + "\""), -1;
  }
  return 0;
}

int psim_LoadConfigFile(const std::string &path, PsimConfig *config, std::string *why) {
  std::ifstream in(path);
  if (!in) return Fail(why, "cannot read " + path), -1;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos) continue;
    size_t e = line.find_last_not_of(" \t\r");
    line = line.substr(b, e - b + 1);
    size_t sep = line.find_first_of(" \t=");
    std::string key = line.substr(0, sep);
    std::string value;
    if (sep != std::string::npos) {
      size_t v = line.find_first_not_of(" \t=", sep);
      if (v != std::string::npos) value = line.substr(v);
    }
    std::string reason;
    if (psim_SetOption(config, key, value, &reason) != 0)
      return Fail(why, path + ":" + std::to_string(number) + ": " + reason), -1;
  }
  return 0;
}
