#include "platform/os_cmdline.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> os_SplitCommandLine(const char *commandLine) {
  std::vector<std::string> args;
  const char *p = commandLine ? commandLine : "";
  while (IsBlank(*p)) ++p;
  if (!*p) return args;

  // The program name takes no escapes: Windows paths end in backslashes.
  std::string program;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') program += *p++;
    if (*p == '"') ++p;
  } else {
    while (*p && !IsBlank(*p)) program += *p++;
  }
  args.push_back(program);

  for (;;) {
    while (IsBlank(*p)) ++p;
    if (!*p) break;
    std::string arg;
    bool quoted = false;
    while (*p && (quoted || !IsBlank(*p))) {
      size_t slashes = 0;
      while (*p == '\\') ++slashes, ++p;
      if (*p == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2) {
          arg += '"';
          ++p;
        } else if (quoted && p[1] == '"') {
          arg += '"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else {
        arg.append(slashes, '\\');
        if (*p && (quoted || !IsBlank(*p))) arg += *p++;
      }
    }
    args.push_back(arg);
  }
  return args;
}
