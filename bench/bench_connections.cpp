// The connection table's cost over a bare pipe, against scadasim's request
// server on this computer.
//
// transact_ratio: the median con_Transact round trip of a 100-byte line (the
// entry open, trace off) over the median bare os_TransactNamedPipe of the
// same bytes on a handle of that pipe (target at most 1.10).
// fetch_ratio: cfg_FetchConfigFile of an 8 MiB file over a bare loop of the
// same "RF" chunks on that pipe into a local file (target at most 1.15).
// Runs alternate, so a slow moment of the machine falls on both sides, and the
// process (the request server's threads with it) keeps to one CPU: otherwise
// where the scheduler happens to wake each connection's server thread, the
// same CPU or an idle one, changes a round trip threefold and hides the cost
// measured.
// The last two lines are "transact_ratio <figure>" and "fetch_ratio <figure>";
// the exit status is 1 past either target.
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "platform/os_pipe.h"
#include "plugin/connect/cfg_files.h"
#include "tools/scadasim/sim_requests.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Micros(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

OsHandle OpenPipe() {
  OsHandle h = os_CreateFile("\\\\.\\pipe\\" SRV_PIPE_NAME, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0);
  uint32_t mode = OS_PIPE_READMODE_MESSAGE;
  if (h) os_SetNamedPipeHandleState(h, &mode);
  return h;
}

// The bare fetch: the same chunks, asked on the pipe and written to a file.
bool BareFetch(OsHandle pipe, const std::string &remote, int64_t size, const std::string &local) {
  OsHandle out = os_CreateFile(local.c_str(), OS_GENERIC_WRITE, 3, OS_CREATE_ALWAYS, 0);
  if (!out) return false;
  std::vector<char> reply(65536);
  bool ok = true;
  for (int64_t at = 0; ok && at < size; at += CFG_FETCH_CHUNK) {
    int32_t want = static_cast<int32_t>(std::min<int64_t>(size - at, CFG_FETCH_CHUNK));
    char line[512];
    int n = snprintf(line, sizeof line, "RF,%s\t%d\t%lld\t0\t%u\t3\t1\t3\t0", remote.c_str(), want,
                     static_cast<long long>(at), OS_GENERIC_READ);
    uint32_t got = 0, written = 0;
    ok = os_TransactNamedPipe(pipe, line, static_cast<uint32_t>(n + 1), reply.data(), 65536, &got) == 0 &&
         got >= static_cast<uint32_t>(want) + 2 &&
         os_WriteFile(out, reply.data() + 2, static_cast<uint32_t>(want), &written) == 0;
  }
  os_CloseHandle(out);
  return ok;
}

int Run(int rounds, int fetches) {
  std::string config = std::string(os_Root()) + "/drives/c/BENCHCFG";
  std::filesystem::create_directories(config);
  SimRequestSpec spec;
  spec.configFolder = "C:\\BENCHCFG";
  spec.answer = [](const std::string &line, std::string *reply) {
    if (line.rfind("BX,", 0) != 0) return false;
    *reply = std::string("0", 2);
    return true;
  };
  std::string why;
  SimRequestServer *server = sim_StartRequestServer(spec, &why);
  if (!server) return fprintf(stderr, "bench_connections: %s\n", why.c_str()), 1;
  OsHandle pipe = OpenPipe();
  if (!pipe) return fprintf(stderr, "bench_connections: cannot open the pipe (%u)\n", os_GetLastError()), 1;

  std::string line = "BX," + std::string(96, 'x');  // 100 bytes with the terminator
  char reply[64];
  int n = sizeof reply;
  if (con_Transact(".", line.c_str(), static_cast<int>(line.size() + 1), reply, &n) != 0) {
    fprintf(stderr, "bench_connections: the request failed (%u)\n", os_GetLastError());
    return 1;
  }
  std::vector<double> table, bare;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    n = sizeof reply;
    con_Transact(".", line.c_str(), static_cast<int>(line.size() + 1), reply, &n);
    auto t1 = Clock::now();
    uint32_t got = 0;
    os_TransactNamedPipe(pipe, line.c_str(), static_cast<uint32_t>(line.size() + 1), reply, sizeof reply, &got);
    auto t2 = Clock::now();
    table.push_back(Micros(t0, t1));
    bare.push_back(Micros(t1, t2));
  }
  double transact = Median(table) / Median(bare);
  printf("con_Transact median %.2f us, bare pipe median %.2f us\n", Median(table), Median(bare));

  const int64_t size = 8 << 20;
  std::string bytes(static_cast<size_t>(size), '\0');
  std::mt19937 rng(8);
  for (char &c : bytes) c = static_cast<char>(rng());
  FILE *f = fopen((config + "/big.bin").c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return perror("big.bin"), 1;
  fclose(f);
  std::string local = config + "/fetched.bin", bareLocal = config + "/bare.bin";
  std::vector<double> fetched, looped;
  for (int i = 0; i < fetches; ++i) {
    auto t0 = Clock::now();
    if (cfg_FetchConfigFile(".", "big.bin", local.c_str()) != 0)
      return fprintf(stderr, "bench_connections: fetch failed (%u)\n", os_GetLastError()), 1;
    auto t1 = Clock::now();
    if (!BareFetch(pipe, "TSQ_CURRENT_CONFIG\\big.bin", size, bareLocal))
      return fprintf(stderr, "bench_connections: bare fetch failed\n"), 1;
    auto t2 = Clock::now();
    fetched.push_back(Micros(t0, t1));
    looped.push_back(Micros(t1, t2));
  }
  std::ifstream in(local, std::ios::binary);
  std::string copy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (copy != bytes) return fprintf(stderr, "bench_connections: the fetched copy differs\n"), 1;
  double fetch = Median(fetched) / Median(looped);
  printf("fetch median %.1f ms, bare loop median %.1f ms\n", Median(fetched) / 1000, Median(looped) / 1000);

  os_CloseHandle(pipe);
  srv_CloseAllConnections();
  sim_StopRequestServer(server);
  printf("transact_ratio %.3f\n", transact);
  printf("fetch_ratio %.3f\n", fetch);
  return transact <= 1.10 && fetch <= 1.15 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 5000, fetches = 11;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = atoi(argv[++i]);
    else if (strcmp(argv[i], "--fetches") == 0 && i + 1 < argc) fetches = atoi(argv[++i]);
    else return fprintf(stderr, "usage: bench_connections [--rounds N] [--fetches N]\n"), 2;
  }
  if (rounds < 1 || fetches < 1) return 2;
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/bench-conn-XXXXXX";
    if (!mkdtemp(templ)) return perror("mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  int cpu = sched_getcpu();
  CPU_SET(cpu < 0 ? 0 : cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) == 0) printf("on CPU %d\n", cpu < 0 ? 0 : cpu);
  int status = Run(rounds, fetches);
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return status;
}
