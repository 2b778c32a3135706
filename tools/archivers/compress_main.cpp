// compress SOURCE DEST: the .Z form of SOURCE written to DEST, SOURCE kept.
// ncompress's own compress works in place, so it runs with -c and its
// output is written here. Exit 0 and "SOURCE: compressed to DEST" on success.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/os_spawn.h"

namespace {

// The first "compress" on the path that is not this program.
std::string RealCompress() {
  char self[PATH_MAX];
  if (!realpath("/proc/self/exe", self)) self[0] = '\0';
  const char *path = getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= p.size();) {
    size_t end = p.find(':', at);
    if (end == std::string::npos) end = p.size();
    std::string candidate = p.substr(at, end - at) + "/compress";
    char real[PATH_MAX];
    if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), real) && std::string(real) != self)
      return real;
    at = end + 1;
  }
  return std::string();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: compress SOURCE DEST\n");
    return 2;
  }
  std::string real = RealCompress();
  if (real.empty()) {
    printf("%s: not compressed (no compress program)\n", argv[1]);
    return 1;
  }
  const char *args[] = {real.c_str(), "-c", "-f", argv[1], nullptr};
  OsProgramRun run;
  if (os_RunProgram(args, &run) != 0 || run.exitCode != 0 || run.out.empty()) {
    printf("%s: not compressed %s", argv[1], run.err.c_str());
    return 1;
  }
  std::string tmp = std::string(argv[2]) + ".part";
  FILE *f = fopen(tmp.c_str(), "wb");
  bool ok = f && fwrite(run.out.data(), 1, run.out.size(), f) == run.out.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok || rename(tmp.c_str(), argv[2]) != 0) {
    unlink(tmp.c_str());
    printf("%s: not compressed (cannot write %s)\n", argv[1], argv[2]);
    return 1;
  }
  printf("%s: compressed to %s\n", argv[1], argv[2]);
  return 0;
}
