// pumpsim: plays up to eight pump units on one line behind a pseudo-terminal.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os_path.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_file.h"

namespace {

volatile sig_atomic_t g_stop;

void OnSignal(int) { g_stop = 1; }

void Usage(FILE *f) {
  fprintf(f,
          "usage: pumpsim [options]\n"
          "\n"
          "Plays Tarnwell pump units on one serial line: opens a pseudo-terminal and links\n"
          "it as $PLATFORM_ROOT/dev/<port>, so the scanner's \"\\\\.\\<port>:\" reaches it.\n"
          "Each unit answers \"RP<unit><mnemonic>\" and a carriage return with a status\n"
          "and comma-separated fields (\"000,<fields>\" and a carriage return): nine for\n"
          "PRV_ALL, eight for SETPOINT_ALL, one for each single value; the values move\n"
          "like a running pump. A command it does not know gets status 099; a command to a\n"
          "unit that is not on the line, or one it cannot read, gets no reply. Runs until\n"
          "interrupted (or for --seconds), then removes the link.\n"
          "\n"
          "options:\n"
          "  --port NAME        the port, COM1 unless given (\"COM3\" or \"COM3:\")\n"
          "  --baud N           pace replies at the wire time of N baud, 10 bits a byte,\n"
          "                     and take the command's own wire time into account (0: off)\n"
          "  --turnaround MS    delay from the command's end to the reply's start\n"
          "  --units LIST       the units on the line: \"1-8\" (default), \"1,2,5\"\n"
          "  --fault SPEC       inject a fault (repeatable):\n"
          "                       [UNIT[:COMMAND]=]KIND[:ARG][@PERCENT][/FROM-TO]\n"
          "                     UNIT 1-8 or *, COMMAND a mnemonic or *; PERCENT the chance\n"
          "                     per command (default 100); FROM-TO the seconds into the run\n"
          "                     the fault lasts (TO left out: for ever). KIND is one of\n"
          "                       silence      no reply\n"
          "                       garbage      random bytes and a carriage return\n"
          "                       short        the first half of the reply, no carriage return\n"
          "                       overlong     more than the reply limit (20, 140 or 101 bytes)\n"
          "                                    without a carriage return\n"
          "                       error:N      status N and no fields\n"
          "                       spaced:MS    the reply's bytes MS milliseconds apart\n"
          "                       absent       the unit does not answer at all\n"
          "                     e.g. \"3=absent\", \"2:PRV_ALL=silence\", \"*:STATUS=error:12@10\",\n"
          "                     \"2=absent/30-40\" (unit 2 unplugged from 30 s to 40 s)\n"
          "  --surge SPEC       a blocked outlet (repeatable): UNIT/FROM-TO[:BAR]; from FROM\n"
          "                     to TO seconds into the run the unit's delivering cylinder\n"
          "                     and output pressures rise by BAR (default 100), ramped over\n"
          "                     the first and last second\n"
          "  --seed N           seed of the random choices (garbage, chances)\n"
          "  --log FILE         append every command received to FILE, one a line\n"
          "  --world FILE       play the units that the channels of FILE (a world\n"
          "                     description, see scadasim world) name on this port; the\n"
          "                     port is the first device's unless --port is given\n"
          "  --config FILE      read options from FILE: one \"key value\" a line (keys as\n"
          "                     above without \"--\"), '#' starts a comment\n"
          "  --root DIR         the platform root (else $PLATFORM_ROOT)\n"
          "  --seconds N        stop after N seconds\n"
          "  --help             this text\n");
}

}  // namespace

int main(int argc, char **argv) {
  PsimConfig config;
  double seconds = 0;
  std::string world;
  bool portGiven = false, unitsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Usage(stdout), 0;
    if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
      fprintf(stderr, "pumpsim: bad argument \"%s\"\n", arg.c_str());
      return Usage(stderr), 2;
    }
    std::string key = arg.substr(2), value = argv[++i], why;
    if (key == "root") {
      setenv("PLATFORM_ROOT", value.c_str(), 1);
    } else if (key == "seconds") {
      seconds = atof(value.c_str());
    } else if (key == "world") {
      world = value;
    } else if (key == "config") {
      if (psim_LoadConfigFile(value, &config, &why) != 0) return fprintf(stderr, "pumpsim: %s\n", why.c_str()), 2;
    } else if (psim_SetOption(&config, key, value, &why) != 0) {
      return fprintf(stderr, "pumpsim: %s\n", why.c_str()), 2;
    } else {
      portGiven = portGiven || key == "port";
      unitsGiven = unitsGiven || key == "units";
    }
  }
  if (!world.empty()) {
    SimWorldSpec spec;
    std::string why;
    if (simfile_Load(world, &spec, &why) != 0) return fprintf(stderr, "pumpsim: %s\n", why.c_str()), 2;
    if (!portGiven) config.port = simfile_DevicePort(spec.devices[0]);
    uint8_t units = simfile_UnitsOnPort(spec, config.port);
    if (units == 0) return fprintf(stderr, "pumpsim: no channel of %s is on %s\n", world.c_str(), config.port.c_str()), 2;
    if (!unitsGiven) config.units = units;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::string why;
  PumpSim *sim = psim_Start(config, &why);
  if (!sim) return fprintf(stderr, "pumpsim: %s\n", why.c_str()), 1;
  if (!psim_TakeOverNote(sim).empty()) printf("pumpsim: %s\n", psim_TakeOverNote(sim).c_str());
  printf("pumpsim: %s -> %s\n", psim_LinkPath(sim).c_str(), psim_DevicePath(sim).c_str());
  fflush(stdout);
  double slept = 0;
  while (!g_stop && (seconds <= 0 || slept < seconds)) {
    usleep(50000);
    slept += 0.05;
  }
  psim_Stop(sim);
  return 0;
}
