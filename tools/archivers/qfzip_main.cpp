// qfzip -a -r ARCHIVE FOLDER...: adds each folder, with everything in it,
// to the zip ARCHIVE under the folder's own name. Exit 0 on success.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/os_spawn.h"

int main(int argc, char **argv) {
  int i = 1;
  while (i < argc && argv[i][0] == '-') ++i;  // -a, -r: add, recursively
  if (argc - i < 2) {
    fprintf(stderr, "usage: qfzip -a -r ARCHIVE FOLDER...\n");
    return 2;
  }
  std::string archive = argv[i++];
  if (archive[0] != '/') {
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here)) return 1;
    archive = std::string(here) + "/" + archive;
  }
  for (; i < argc; ++i) {
    std::string folder = argv[i];
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    size_t slash = folder.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    if (chdir(parent.c_str()) != 0) {
      fprintf(stderr, "qfzip: cannot open %s\n", folder.c_str());
      return 1;
    }
    const char *args[] = {"zip", "-q", "-r", archive.c_str(), name.c_str(), nullptr};
    OsProgramRun run;
    if (os_RunProgram(args, &run) != 0 || run.exitCode != 0) {
      fprintf(stderr, "qfzip: %s%s", folder.c_str(), run.err.empty() ? ": zip failed\n" : run.err.c_str());
      return 1;
    }
  }
  return 0;
}
