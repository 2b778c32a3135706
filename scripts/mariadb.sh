#!/usr/bin/env bash
# A private MariaDB server for the tests, the benchmark and the demo: its own
# data folder, socket, pid file and error log in DIR, TCP on a free port of
# 127.0.0.2. Never touches a system server (port 3306, the system socket).
#
#   mariadb.sh start DIR   prints the port. A DIR that already holds a data
#                          folder is started again on it, on the same port.
#   mariadb.sh stop DIR    shuts the server down and removes DIR.
#
# In DIR: data/, tmp/, sock, mysqld.pid, error.log, general.log (off until a client
# turns it on), port. User "tnw" with password "tnwpass" may do anything;
# root has no password and is reached through the socket.
set -euo pipefail

usage() { echo "usage: $0 start DIR | stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
sock=$dir/sock
pidf=$dir/mysqld.pid

# The client library takes a socket path of at most 107 bytes.
[ ${#sock} -le 107 ] || { echo "mariadb.sh: $sock is too long for a socket path" >&2; exit 1; }

userargs=()
[ "$(id -u)" -eq 0 ] && userargs=(--user=root)

# Bounded, so that a server that accepts and then stalls cannot hang a caller.
client() { timeout 30 mariadb --no-defaults --connect-timeout=5 --socket="$sock" -uroot "$@"; }

server_pid() { [ -s "$pidf" ] && cat "$pidf"; }

# A killed server may linger as a zombie where nothing reaps orphans, and may
# be reaped at any moment: one look at its state, gone or zombie is dead.
alive() {
  local s
  s=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  s=${s//[[:space:]]/}
  [ -n "$s" ] && [ "${s:0:1}" != Z ]
}

port_taken() { (exec 3<>"/dev/tcp/127.0.0.2/$1") 2>/dev/null; }

start_on() {  # port; 0 when the server answers
  local port=$1
  rm -f "$sock" "$pidf"
  mariadbd --no-defaults "${userargs[@]}" --datadir="$dir/data" --socket="$sock" --pid-file="$pidf" \
    --log-error="$dir/error.log" --bind-address=127.0.0.2 --port="$port" --skip-log-bin \
    --tmpdir="$dir/tmp" --innodb-log-file-size=8M --general-log=0 --general-log-file="$dir/general.log" \
    --max-connections=300 --skip-name-resolve </dev/null >/dev/null 2>&1 &
  local launched=$! until=$((SECONDS + 30))
  while [ $SECONDS -lt $until ]; do
    if client --connect-timeout=2 -e 'select 1' >/dev/null 2>&1; then return 0; fi
    alive "$launched" || return 1
    sleep 0.1
  done
  kill -9 "$launched" 2>/dev/null || true
  return 1
}

case $cmd in
start)
  command -v mariadbd >/dev/null || { echo "mariadb.sh: mariadbd not installed (mariadb-server)" >&2; exit 1; }
  if [ -n "$(server_pid || true)" ] && alive "$(server_pid)"; then
    echo "mariadb.sh: a server already runs on $dir" >&2; exit 1
  fi
  # A temporary folder of its own: a server starting removes every "#sql"
  # file of its temporary folder, a shared /tmp included, under other
  # servers' feet.
  mkdir -p "$dir/tmp"
  fresh=0
  if [ ! -d "$dir/data/mysql" ]; then
    fresh=1
    timeout 120 mariadb-install-db --no-defaults "${userargs[@]}" --datadir="$dir/data" \
      --auth-root-authentication-method=normal --skip-test-db --innodb-log-file-size=8M --tmpdir="$dir/tmp" \
      >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }
  fi
  if [ -s "$dir/port" ]; then
    # A restart keeps its port, so that clients find it again.
    start_on "$(cat "$dir/port")" || { tail -20 "$dir/error.log" >&2; exit 1; }
  else
    ok=0
    for _ in 1 2 3 4 5 6 7 8; do
      port=$((20000 + RANDOM % 40000))
      port_taken "$port" && continue
      if start_on "$port"; then ok=1; break; fi
      # Another starter took the port in between: try another.
      grep -q "Address already in use\|Can't start server" "$dir/error.log" 2>/dev/null || break
    done
    [ $ok -eq 1 ] || { tail -20 "$dir/error.log" >&2; exit 1; }
    echo "$port" >"$dir/port"
  fi
  if [ $fresh -eq 1 ]; then
    client -e "CREATE USER 'tnw'@'%' IDENTIFIED BY 'tnwpass'; GRANT ALL ON *.* TO 'tnw'@'%' WITH GRANT OPTION;
               CREATE USER 'tnw'@'localhost' IDENTIFIED BY 'tnwpass';
               GRANT ALL ON *.* TO 'tnw'@'localhost' WITH GRANT OPTION; FLUSH PRIVILEGES;"
  fi
  cat "$dir/port"
  ;;
stop)
  pid=$(server_pid || true)
  if [ -n "$pid" ] && alive "$pid"; then
    kill -CONT "$pid" 2>/dev/null || true
    client -e 'shutdown' >/dev/null 2>&1 || kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 300); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
  fi
  case $dir in
    / | "$HOME" | /tmp | /var/lib/mysql*) echo "mariadb.sh: will not remove $dir" >&2; exit 1 ;;
  esac
  rm -rf "$dir"
  ;;
*) usage ;;
esac
