#!/usr/bin/env bash
# A private TANGO control system on 127.0.0.1: MariaDB with the TANGO schema,
# the TANGO database server DataBaseds, and CamacDS device servers.
#
#   tangoctl.sh [--bind ADDRESS] up DIR [PORT]
#                                          MariaDB + DataBaseds (TANGO_HOST ADDRESS:PORT,
#                                          default 127.0.0.1:10000); the data stay in DIR
#   tangoctl.sh server DIR INST CRATE DEV [CRATE DEV ...]
#                                          registers CamacDS/INST with device DEV for
#                                          crate CRATE (one pair per crate: every crate of
#                                          one adapter in one instance) and starts it
#   tangoctl.sh stop-server DIR INST       stops CamacDS/INST
#   tangoctl.sh stop-database DIR          stops DataBaseds alone (a database outage)
#   tangoctl.sh start-database DIR         starts it again on its port
#   tangoctl.sh down DIR                   stops everything started in DIR
#   tangoctl.sh env DIR                    prints "export TANGO_HOST=..." for a shell
#   tangoctl.sh run CMD [ARG...]           MariaDB + DataBaseds in a temporary folder on a
#                                          free port; runs CMD with TANGO_HOST and
#                                          TANGO_TEST_DIR (the folder) set; stops everything
#                                          and removes the folder when CMD ends; exits
#                                          with CMD's status
#
# Every process is started in the background with its PID kept in DIR/run and
# is stopped by that PID (never by name). A start that fails stops what it
# started. CAMACDS names the server's binary (default: build/tango/CamacDS),
# CAMACDS_PORT its TCP port (default: any free one).
#
# --bind ADDRESS: the address DataBaseds and the servers listen on (default
# 127.0.0.1, this machine only; 0.0.0.0 for every interface, which lets other
# machines in). `up` keeps it for the servers started later in DIR. MariaDB
# always listens on 127.0.0.1 alone: only DataBaseds talks to it.
set -euo pipefail

die() { echo "tangoctl: $*" >&2; exit 1; }

root=$(cd "$(dirname "$0")/../.." && pwd)
camacds=${CAMACDS:-$root/build/tango/CamacDS}
schema=/usr/share/dbconfig-common/data/tango-db/install/mysql
databaseds=/usr/lib/tango/DataBaseds

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# stop_pid NAME: stops the process whose PID is in run/NAME.pid (TERM, then
# KILL after 10 s) and removes the file. A PID that now belongs to another
# program (its command line no longer names ours) is left alone.
stop_pid() {
  local file=$run/$1.pid pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$(cat "$run/$1.cmd")"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "tangoctl: $1 ($pid) did not stop in 10 s, killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$file" "$run/$1.cmd"
}

# start NAME MARK LOG CMD...: starts CMD in the background, keeps its PID and a
# mark (a word of its command line) that stop_pid checks before it kills.
start() {
  local name=$1 mark=$2 log=$3; shift 3
  "$@" </dev/null >"$log" 2>&1 &
  echo $! >"$run/$name.pid"
  printf '%s' "$mark" >"$run/$name.cmd"
}

setup_dirs() {
  dir=$(mkdir -p "$1" && cd "$1" && pwd)
  run=$dir/run
  mkdir -p "$run"
}

bind=""
if [ "${1:-}" = --bind ]; then
  [ $# -ge 2 ] && [ -n "$2" ] || { echo "tangoctl: --bind needs an address" >&2; exit 1; }
  bind=$2; shift 2
fi

# The address kept by `up` (127.0.0.1 when none was given).
bound() { if [ -f "$run/bind" ]; then cat "$run/bind"; else echo 127.0.0.1; fi; }

# Clients reach a server bound to every interface by this machine's name.
tango_host() {
  local host; host=$(bound)
  [ "$host" != 0.0.0.0 ] || host=$(hostname -f 2>/dev/null || hostname)
  echo "$host:$(cat "$run/tango.port")"
}

cmd_up() {
  local port=${1:-10000}
  [ ! -f "$run/databaseds.pid" ] || die "a database server already runs in $dir (tangoctl.sh down $dir first)"
  trap 'echo "tangoctl: start failed, stopping what was started" >&2; cmd_down' EXIT
  local data=$dir/mysql sock=$dir/mysql.sock dbport; dbport=$(free_port)
  local user; user=$(id -un)
  if [ ! -d "$data/mysql" ]; then
    mariadb-install-db --no-defaults --user="$user" --datadir="$data" --skip-test-db \
      --auth-root-authentication-method=socket >"$dir/install-db.log" 2>&1 \
      || die "mariadb-install-db failed (see $dir/install-db.log)"
    fresh=1
  fi
  start mariadb "$data" "$dir/mariadb.log" mariadbd --no-defaults --user="$user" --datadir="$data" \
    --socket="$sock" --bind-address=127.0.0.1 --port="$dbport" --skip-log-bin --innodb-buffer-pool-size=16M \
    --pid-file="$dir/mariadb.pidfile"
  for _ in $(seq 300); do
    [ -S "$sock" ] && mariadb --no-defaults --socket="$sock" -u "$user" -e 'select 1' >/dev/null 2>&1 && break
    kill -0 "$(cat "$run/mariadb.pid")" 2>/dev/null || die "mariadbd ended (see $dir/mariadb.log)"
    sleep 0.1
  done
  if [ "${fresh:-0}" = 1 ]; then
    mariadb --no-defaults --socket="$sock" -u "$user" <<SQL
CREATE DATABASE tango;
CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY 'tango';
GRANT ALL PRIVILEGES ON tango.* TO 'tango'@'127.0.0.1';
SQL
    (cd /usr/share/tango-db && mariadb --no-defaults --socket="$sock" -u "$user" tango <"$schema") \
      || die "loading the TANGO schema failed"
  fi
  echo "$port" >"$run/tango.port"
  echo "$dbport" >"$run/mariadb.port"
  echo "${bind:-127.0.0.1}" >"$run/bind"
  start_database
  trap - EXIT
  echo "TANGO_HOST=$(tango_host)"
}

start_database() {
  [ ! -f "$run/databaseds.pid" ] || die "DataBaseds already runs in $dir"
  start databaseds "$databaseds" "$dir/databaseds.log" \
    env MYSQL_USER=tango MYSQL_PASSWORD=tango MYSQL_HOST="127.0.0.1:$(cat "$run/mariadb.port")" \
    MYSQL_DATABASE=tango "$databaseds" 2 -ORBendPoint "giop:tcp:$(bound):$(cat "$run/tango.port")"
  TANGO_HOST=$(tango_host) tango_admin --ping-database 30 \
    || die "DataBaseds does not answer on $(tango_host) (see $dir/databaseds.log)"
}

cmd_server() {
  local inst=$1 crate dev devs=()
  shift
  [ -x "$camacds" ] || die "no server binary at $camacds (build it, or set CAMACDS)"
  [ -f "$run/tango.port" ] || die "no database server in $dir (tangoctl.sh up $dir first)"
  export TANGO_HOST; TANGO_HOST=$(tango_host)
  while [ $# -ge 2 ]; do
    crate=$1 dev=$2; shift 2
    tango_admin --add-server "CamacDS/$inst" CamacCrate "$dev" || die "registering $dev in CamacDS/$inst failed"
    tango_admin --add-property "$dev" Crate "$crate" || die "setting the property Crate of $dev failed"
    devs+=("$dev")
  done
  stop_pid "camacds-$inst"
  start "camacds-$inst" "$camacds" "$dir/camacds-$inst.log" \
    "$camacds" "$inst" -ORBendPoint "giop:tcp:${bind:-$(bound)}:${CAMACDS_PORT:-0}"
  for dev in "${devs[@]}"; do
    for _ in $(seq 300); do
      tango_admin --ping-device "$dev" 1 >/dev/null 2>&1 && continue 2
      kill -0 "$(cat "$run/camacds-$inst.pid")" 2>/dev/null || die "CamacDS/$inst ended (see $dir/camacds-$inst.log)"
      sleep 0.1
    done
    stop_pid "camacds-$inst"
    die "CamacDS/$inst does not answer for $dev (see $dir/camacds-$inst.log)"
  done
}

cmd_down() {
  local f
  for f in "$run"/camacds-*.pid; do [ -e "$f" ] && stop_pid "$(basename "$f" .pid)"; done
  stop_pid databaseds
  stop_pid mariadb
  rm -f "$run/tango.port"
}

# A whole private system for one command (tests, benchmarks).
if [ "${1:-}" = run ]; then
  shift
  [ $# -ge 1 ] || die "usage: tangoctl.sh run CMD [ARG...]"
  self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/camacds.XXXXXX")
  trap '"$self" down "$tmp" || true; rm -rf "$tmp"' EXIT
  trap 'exit 130' INT TERM
  "$self" ${bind:+--bind "$bind"} up "$tmp" "$(free_port)" >/dev/null
  TANGO_HOST=127.0.0.1:$(cat "$tmp/run/tango.port") TANGO_TEST_DIR=$tmp "$@"
  exit
fi

[ $# -ge 2 ] || die "usage: tangoctl.sh [--bind ADDRESS] up|server|stop-server|stop-database|start-database|down|env DIR ... | run CMD ..."
what=$1; setup_dirs "$2"; shift 2
case "$what" in
  up) cmd_up "$@" ;;
  server) [ $# -ge 3 ] && [ $(( $# % 2 )) -eq 1 ] || die "usage: tangoctl.sh server DIR INST CRATE DEVICE [CRATE DEVICE ...]"
    cmd_server "$@" ;;
  stop-server) [ $# -eq 1 ] || die "usage: tangoctl.sh stop-server DIR INST"; stop_pid "camacds-$1" ;;
  stop-database) stop_pid databaseds ;;
  start-database) [ -f "$run/mariadb.port" ] || die "no database in $dir (tangoctl.sh up $dir first)"; start_database ;;
  down) cmd_down ;;
  env) echo "export TANGO_HOST=$(tango_host)" ;;
  *) die "unknown command '$what'" ;;
esac
