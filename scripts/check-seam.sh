#!/usr/bin/env bash
# Fails, naming file:line, where code above the platform layer reaches past it:
# a POSIX or Linux system header, or a C library call on processes, descriptors,
# files, folders or the environment (those go through platform/ and its
# Windows semantics and error codes).
# Usage: check-seam.sh [tree]   (default: this checkout)
set -euo pipefail
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top"
dirs=()
for d in framework scanner extension plugin; do [ -d "$d" ] && dirs+=("$d"); done
[ ${#dirs[@]} -gt 0 ] || { echo "check-seam: no sources under $top" >&2; exit 2; }

# Headers that are neither C++ nor C standard library nor the project's own
# libraries (libxml2): POSIX and Linux.
headers='unistd|fcntl|strings|dirent|poll|pthread|semaphore|signal|spawn|termios|dlfcn|netdb|pwd|grp|syslog|sched|mqueue|ftw|glob|libgen|utime|wordexp|sys/[a-z_]+|linux/[a-z_/]+|asm/[a-z_/]+|netinet/[a-z_]+|arpa/[a-z_]+|bits/[a-z_]+'
# C library calls on processes, descriptors, files, folders and the environment.
calls='open|openat|creat|close|read|write|pread|pwrite|readv|writev|lseek|fstat|stat|lstat|fstatat|ftruncate|truncate|fsync|fdatasync|fcntl|flock|lockf|ioctl|dup|dup2|dup3|pipe|pipe2|mkfifo|unlink|unlinkat|rename|renameat|renameat2|link|symlink|readlink|mkdir|rmdir|chdir|getcwd|access|chmod|fchmod|chown|opendir|readdir|closedir|realpath|mkstemp|fopen|freopen|fdopen|popen|pclose|remove|tmpfile|getpid|getppid|gettid|fork|vfork|execv|execve|execvp|execl|execlp|execle|waitpid|wait|kill|system|setsid|getuid|geteuid|setuid|sleep|usleep|nanosleep|gettimeofday|clock_gettime|getenv|secure_getenv|setenv|unsetenv|putenv|mmap|munmap|shm_open|shm_unlink|sysconf|isatty|select|socket|connect|bind|listen|accept|send|recv|shutdown|dlopen|dlsym|dlclose'

status=0
while IFS= read -r hit; do
  echo "$hit: system header above the platform layer" >&2
  status=1
done < <(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' --include='*.cc' \
           "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($headers)\.h>" "${dirs[@]}" || true)

# A call is the name as a word followed by "(", not a member (".x(", "->x("),
# not qualified by a namespace of ours ("ns::x(") unless it is the global "::x("
# or std:: (std::remove is left out: it is also the algorithm), not in a //
# comment and not inside a string.
while IFS= read -r hit; do
  echo "$hit: C library call above the platform layer" >&2
  status=1
done < <(grep -rnE --include='*.cpp' --include='*.h' --include='*.c' --include='*.cc' \
           "(^|[^A-Za-z0-9_.>:]|[^A-Za-z0-9_]::|std::)($calls)[[:space:]]*\(" "${dirs[@]}" |
         awk -v calls="$calls" '{
           text = $0; sub(/^[^:]*:[0-9]+:/, "", text)
           sub(/\/\/.*$/, "", text)                 # a trailing comment
           gsub(/"([^"\\]|\\.)*"/, "\"\"", text)    # string literals
           if (text ~ /^[[:space:]]*\*/) next       # inside a block comment
           if (text ~ ("(^|[^A-Za-z0-9_.>:]|[^A-Za-z0-9_]::)(" calls ")[[:space:]]*\\(")) { print; next }
           if (text ~ ("std::(" calls ")[[:space:]]*\\(") && text !~ /std::remove[[:space:]]*\(/) print
         }' || true)

# The platform hands out handles, not descriptors: none may be taken out above it.
while IFS= read -r hit; do
  echo "$hit: descriptor taken out of a platform handle" >&2
  status=1
done < <(grep -rnE --include='*.cpp' --include='*.h' '\bos_HandleFd[[:space:]]*\(' "${dirs[@]}" || true)

if [ "$status" -eq 0 ]; then echo "check-seam: ${dirs[*]} use the platform layer only"; fi
exit $status
