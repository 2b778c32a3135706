// Request/reply exchanges with pumpsim at 9600 baud: the mean exchange time
// divided by the wire time of its bytes (1.0 is the line's own speed), once
// with a blind 20 ms sleep while the input queue is empty and once with the
// blocking wait on the port. The last line is "ratio <figure>" for the wait;
// the exit status is 1 when it is not below 1.10 or an exchange failed.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "scanner/com_port.h"
#include "tools/pumpsim/psim.h"

namespace {

const uint32_t kBaud = 9600;

struct Command {
  const char *text;
  int limit;
};
const Command kCommands[] = {
    {"RP1STATUS", PUMP_SINGLE_REPLY_LIMIT},
    {"RP1CYL1_POS", PUMP_SINGLE_REPLY_LIMIT},
    {"RP1PRV_ALL", PUMP_PRV_ALL_REPLY_LIMIT},
    {"RP1SETPOINT_ALL", PUMP_SETPOINT_ALL_REPLY_LIMIT},
};

struct Result {
  double exchangeMs = 0, wireMs = 0;
  int exchanges = 0, failures = 0;
};

Result Run(int rounds) {
  Result r;
  char reply[256];
  for (int i = 0; i < rounds; ++i) {
    for (const Command &c : kCommands) {
      auto t0 = std::chrono::steady_clock::now();
      pump_SendCommand(1, c.text);
      int rc = pump_ReadReply(1, reply, static_cast<char>(PUMP_CR), c.limit);
      auto t1 = std::chrono::steady_clock::now();
      if (rc != 0) {
        ++r.failures;
        continue;
      }
      size_t bytes = strlen(c.text) + 1 + strlen(reply);
      r.exchangeMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
      r.wireMs += bytes * 10.0 * 1000.0 / kBaud;
      ++r.exchanges;
    }
  }
  return r;
}

void Show(const char *what, const Result &r) {
  printf("%-18s %d exchanges, mean %.2f ms, wire %.2f ms, ratio %.3f%s\n", what, r.exchanges,
         r.exchanges ? r.exchangeMs / r.exchanges : 0.0, r.exchanges ? r.wireMs / r.exchanges : 0.0,
         r.wireMs > 0 ? r.exchangeMs / r.wireMs : 0.0, r.failures ? " (some exchanges failed)" : "");
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 10;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: bench_serial_exchange [--rounds N]  (default 10 rounds of 4 commands)\n");
      return 2;
    }
  }
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/bench-serial-XXXXXX";
    if (!mkdtemp(templ)) return perror("mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
  }
  PsimConfig config;
  config.port = "COM1";
  config.baud = kBaud;
  std::string why;
  PumpSim *sim = psim_Start(config, &why);
  if (!sim) return fprintf(stderr, "bench_serial_exchange: %s\n", why.c_str()), 1;
  DeviceRecord record = {};
  record.Instance = 1;  // an empty port name: COM1: at 9600 baud, 8 data bits, no parity
  int status = 0;
  if (com_OpenPort(&record) != 0) {
    fprintf(stderr, "bench_serial_exchange: cannot open COM1 (error %d)\n", errno);
    status = 1;
  } else {
    printf("bench_serial_exchange: %u baud, %d rounds of %zu commands\n", kBaud, rounds,
           sizeof kCommands / sizeof kCommands[0]);
    com_UseBlindSleep(true);
    Result blind = Run(rounds);
    com_UseBlindSleep(false);
    Result wait = Run(rounds);
    Show("blind 20 ms sleep:", blind);
    Show("blocking wait:", wait);
    double ratio = wait.wireMs > 0 ? wait.exchangeMs / wait.wireMs : 0.0;
    printf("ratio %.3f\n", ratio);
    if (blind.failures || wait.failures || ratio <= 0) status = 1;
    if (ratio >= 1.10) {
      fprintf(stderr, "bench_serial_exchange: ratio %.3f is not below 1.10\n", ratio);
      status = 1;
    }
  }
  com_ClosePort();
  psim_Stop(sim);
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
