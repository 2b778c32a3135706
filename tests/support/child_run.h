// A program of the build run in the background with its output in a file,
// and the processes that still live in a platform root.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tnwtest {

// Starts argv with PLATFORM_ROOT=root, stdout and stderr into `out`. The pid.
inline pid_t Launch(const std::vector<std::string> &argv, const std::string &root, const std::string &out) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) _exit(126);
  dup2(fd, 1);
  dup2(fd, 2);
  setenv("PLATFORM_ROOT", root.c_str(), 1);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// The exit status (128 + signal when killed), or -1 when it did not end in ms.
inline int WaitChild(pid_t pid, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (r < 0 || std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// A shell command's exit status (-1 when it did not exit) and what it wrote
// to its standard output.
struct ShellResult {
  int status = -1;
  std::string out;
};
inline ShellResult ShellRun(const std::string &cmd) {
  ShellResult r;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return r;
}
inline std::string Shell(const std::string &cmd) { return ShellRun(cmd).out; }

inline std::string ReadAll(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The complete lines of a program's output that start with `start` (a line
// still being written is left out).
inline std::vector<std::string> Lines(const std::string &text, const char *start) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    if (text.compare(at, strlen(start), start) == 0) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

inline std::vector<std::string> Split(const std::string &text, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; (end = text.find(sep, at)) != std::string::npos; at = end + 1) out.push_back(text.substr(at, end - at));
  out.push_back(text.substr(at));
  return out;
}

// The first of `lines` at or after `from` that matches, or lines.size().
inline size_t FindLine(const std::vector<std::string> &lines, const std::regex &re, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (std::regex_search(lines[i], re)) return i;
  return lines.size();
}

// Waits until the file holds a match of `re` at or after byte `from`; true
// when it came.
inline bool WaitForText(const std::string &path, const std::string &re, int ms, size_t from = 0) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::regex r(re);
  while (std::chrono::steady_clock::now() < end) {
    std::string text = ReadAll(path);
    if (text.size() > from && std::regex_search(text.substr(from), r)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Processes (not zombies) whose environment names this platform root.
inline std::vector<int> ProcessesOfRoot(const std::string &root) {
  std::vector<int> out;
  const std::string want = "PLATFORM_ROOT=" + root;
  DIR *d = opendir("/proc");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    int pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') continue;
    std::string env = ReadAll("/proc/" + std::to_string(pid) + "/environ");
    for (size_t at = 0; at < env.size();) {
      size_t z = env.find('\0', at);
      if (z == std::string::npos) z = env.size();
      if (env.compare(at, z - at, want) == 0) {
        out.push_back(pid);
        break;
      }
      at = z + 1;
    }
  }
  closedir(d);
  return out;
}

// Waits until no process of the root lives; what is left after ms.
inline std::vector<int> WaitRootEmpty(const std::string &root, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::vector<int> left = ProcessesOfRoot(root);
  while (!left.empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = ProcessesOfRoot(root);
  }
  return left;
}

}  // namespace tnwtest
