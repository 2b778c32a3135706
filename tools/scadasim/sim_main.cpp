// scadasim: plays the SCADA server for one or more pump scanners.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "tools/scadasim/sim_world.h"

namespace {

volatile sig_atomic_t g_interrupted;

void OnInterrupt(int) { g_interrupted = 1; }

void Usage(FILE *f) {
  fprintf(f,
          "usage: scadasim <command> [options]\n"
          "\n"
          "Plays the SCADA server for the Tnwell pump scanner: makes the server's shared\n"
          "tables, channel areas and configuration folders in the platform root\n"
          "($PLATFORM_ROOT), starts pumpsim on the device's serial port (COM1) and\n"
          "Tnwell_SC for instance 1, posts codes to the scanner and shows what it\n"
          "publishes. Every object it made is removed when it ends.\n"
          "\n"
          "commands:\n"
          "  demo [--seconds N] [--scanner PATH]\n"
          "        runs the scanner for N seconds (default 5) with a scan request every\n"
          "        half second, one reconfigure and one initialise-values request, then\n"
          "        stops it; exits with the scanner's exit status. Without $PLATFORM_ROOT\n"
          "        it works in a temporary platform root of its own.\n"
          "  run [--scanner PATH]\n"
          "        the same without a time limit: scans every second until Ctrl-C.\n"
          "  post PID CODE\n"
          "        posts one notification code (31 stop, 300 scan, 302 reconfigure,\n"
          "        303 reset counters, 304 initialise values) to a process.\n"
          "  --help\n"
          "        this text.\n");
}

std::string StampText(const TimeStamp &t) {
  time_t s = t.seconds;
  struct tm tm;
  gmtime_r(&s, &tm);  // the stamp counts local wall-clock seconds already
  char buf[32];
  snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, t.ms);
  return buf;
}

void Show(const DeviceRecord *r, const char *what) {
  std::string status = sim_StatusText(std::string(r->StatusName, strnlen(r->StatusName, sizeof r->StatusName)));
  printf("%-12s running=%u ready=%u busy=%u pass=%dms next=%s status=\"%s\"\n", what, r->Running, r->Ready, r->Busy,
         r->PassDuration, StampText(r->NextScanDue).c_str(), status.c_str());
  fflush(stdout);
}

int Serve(double seconds, const std::string &scanner) {
  SimWorldSpec spec;
  std::string why;
  if (sim_CreateWorld(spec, &why) != 0) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return 1;
  }
  // The pump line first: the scanner opens its port while it starts.
  uint32_t linePid = 0;
  OsHandle line = sim_StartPumpSim(0, {"--baud", std::to_string(spec.devices[0].baudRate)}, &linePid);
  if (!line) {
    fprintf(stderr, "scadasim: cannot start pumpsim (error %d)\n", errno);
    sim_DestroyWorld();
    return 1;
  }
  printf("scadasim: started pumpsim on %s, process %u\n", sim_PumpSimPort(0).c_str(), linePid);
  uint32_t pid = 0;
  OsHandle proc = sim_StartScanner(0, scanner, &pid);
  if (!proc) {
    fprintf(stderr, "scadasim: cannot start the scanner (error %d)\n", errno);
    sim_StopPumpSim(line, linePid, 5000);
    sim_DestroyWorld();
    return 1;
  }
  DeviceRecord *r = sim_Device(0);
  printf("scadasim: started Tnwell_SC instance %u, process %u\n", r->Instance, pid);
  if (!sim_WaitRunning(0, proc, 10000)) {
    int64_t code = sim_WaitExit(proc, 1000);
    fprintf(stderr, "scadasim: the scanner did not come up (exit %lld)\n", static_cast<long long>(code));
    sim_StopPumpSim(line, linePid, 5000);
    sim_DestroyWorld();
    return 1;
  }
  Show(r, "up");
  sim_Watch(spec.devices[0].codes[IO_DI], 1);
  double elapsed = 0;
  int passes = 0;
  const double step = seconds > 0 ? 0.5 : 1.0;
  while (!g_interrupted && (seconds <= 0 || elapsed < seconds)) {
    if (sim_Post(pid, NTF_SCAN) != 0) {
      fprintf(stderr, "scadasim: cannot post to the scanner (error %d)\n", errno);
      break;
    }
    bool changed = sim_WaitForChange(spec.devices[0].codes[IO_DI], 1, 2000);
    ++passes;
    Show(r, changed ? "scan" : "scan (no notice)");
    if (seconds > 0 && passes == 4) {
      sim_Post(pid, NTF_RECONFIGURE);
      os_Sleep(200);
      Show(r, "reconfigured");
    }
    if (seconds > 0 && passes == 6) {
      sim_Post(pid, NTF_INITIALISE_VALUES);
      os_Sleep(200);
      Show(r, "initialised");
    }
    os_Sleep(static_cast<uint32_t>(step * 1000));
    elapsed += step;
  }
  sim_Post(pid, NTF_STOP);
  int64_t code = sim_WaitExit(proc, 10000);
  Show(r, "stopped");
  if (code < 0) {
    fprintf(stderr, "scadasim: the scanner did not stop; killing it\n");
    os_TerminateProcess(proc, 1);
    code = 1;
  }
  printf("scadasim: scanner exited with status %lld after %d scan requests\n", static_cast<long long>(code), passes);
  os_CloseHandle(proc);
  sim_StopPumpSim(line, linePid, 5000);
  sim_DestroyWorld();
  ntf_Stop();
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  if (cmd == "post") {
    if (argc != 4) return Usage(stderr), 2;
    if (sim_Post(static_cast<uint32_t>(strtoul(argv[2], nullptr, 10)), static_cast<int32_t>(atoi(argv[3]))) != 0) {
      fprintf(stderr, "scadasim: cannot post to process %s (error %d)\n", argv[2], errno);
      return 1;
    }
    return 0;
  }
  if (cmd != "demo" && cmd != "run") return Usage(stderr), 2;
  double seconds = cmd == "demo" ? 5 : 0;
  std::string scanner;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc && cmd == "demo") seconds = atof(argv[++i]);
    else if (strcmp(argv[i], "--scanner") == 0 && i + 1 < argc) scanner = argv[++i];
    else return Usage(stderr), 2;
  }
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/scadasim-XXXXXX";
    if (!mkdtemp(templ)) return perror("scadasim: mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
    printf("scadasim: platform root %s\n", templ);
    fflush(stdout);
  }
  int status = Serve(seconds, scanner);
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
