#!/usr/bin/env bash
# scripts/check-seam.sh against small trees with one planted leak each: it must
# fail and name the file and line; a tree without leaks (including look-alikes:
# members, our own names, comments and strings) must pass.
set -uo pipefail
script=${1:?usage: check_seam_test.sh path/to/check-seam.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

clean_tree() {
  rm -rf "$work/t"
  mkdir -p "$work/t/framework/area" "$work/t/scanner" "$work/t/extension"
  cat >"$work/t/framework/area/ok.cpp" <<'SRC'
#include "framework/area/ok.h"

#include <cstdio>
#include <string>

// read(2) and close() are named in this comment only.
int Use(Reader &r, Reader *p) {
  r.read(1);
  p->close();
  std::string s = "open(";
  my::write(s);
  s.erase(std::remove(s.begin(), s.end(), 'x'), s.end());
  return os_ReadFile(nullptr, nullptr, 0, nullptr) + cfg_ReadFileAt(s, 0, nullptr, 0);
}
SRC
  printf '#pragma once\n#include <cstdint>\n' >"$work/t/framework/area/ok.h"
  printf 'int main() { return 0; }\n' >"$work/t/scanner/main.cpp"
}

expect_pass() {
  local out
  if ! out=$("$script" "$work/t" 2>&1); then
    echo "FAIL: a clean tree was refused ($1):"; echo "$out"; failures=$((failures + 1))
  fi
}

# plant <file> <line text> <expected "file:line">
plant() {
  clean_tree
  mkdir -p "$(dirname "$work/t/$1")"
  printf '%s\n' "// a planted leak" "$2" >>"$work/t/$1"
  local line out
  line=$(wc -l <"$work/t/$1")
  if out=$("$script" "$work/t" 2>&1); then
    echo "FAIL: leak '$2' in $1 passed"; failures=$((failures + 1)); return
  fi
  if ! grep -q "^$1:$line:" <<<"$out"; then
    echo "FAIL: leak '$2' not named as $1:$line:"; echo "$out"; failures=$((failures + 1))
  fi
}

clean_tree
expect_pass "look-alikes"

plant framework/area/ok.cpp '#include <unistd.h>'
plant framework/area/ok.h '#  include <sys/stat.h>'
plant scanner/main.cpp '#include <fcntl.h>'
plant extension/ext.cpp '#include <strings.h>'
plant plugin/loggers/log.cpp '#include <pthread.h>'
plant framework/area/ok.cpp 'int f(int fd) { return close(fd); }'
plant framework/area/ok.cpp '  n = ::read(fd, buf, 4);'
plant scanner/main.cpp 'uint32_t me = getpid ();'
plant framework/area/ok.cpp 'const char *p = getenv("PATH");'
plant extension/ext.cpp 'if (x) unlink(path);'
plant framework/area/ok.cpp 'int fd = os_HandleFd(h);'
plant scanner/main.cpp 'const char *tz = std::getenv("TZ");'

# Another tree passes again once the leak is gone.
clean_tree
expect_pass "after the leaks"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "check-seam: every planted leak was found"
