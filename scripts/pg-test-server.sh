#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests and benchmarks that need a
# server database. It lives in a fresh temporary folder, listens on
# 127.0.0.1 only, on a private port, and trusts local logins.
#
#   scripts/pg-test-server.sh start [STATE]   start; prints KVDN_PG_DSN=...
#   scripts/pg-test-server.sh dsn [STATE]     the ODBC connection string
#   scripts/pg-test-server.sh stop [STATE]    stop and remove the folder
#   scripts/pg-test-server.sh run CMD ARGS..  start, run CMD with KVDN_PG_DSN
#                                             set (and the driver's logs off),
#                                             always stop; CMD's status
#
# STATE is the file that remembers the folder and port between start and
# stop (default: /tmp/kvdn-pg-$USER.state). KVDN_PG_PORT picks the first port
# to try (default 55432); a busy port moves on to the next one.
# PostgreSQL refuses to run as root: as root the server runs as the user
# "postgres" (created by Debian's package).
set -euo pipefail

PORT_FIRST=${KVDN_PG_PORT:-55432}
DEFAULT_STATE=/tmp/kvdn-pg-$(id -un).state

die() {
  echo "pg-test-server: $*" >&2
  exit 1
}

pg_bin() {
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [[ -n "$dir" && -x "$dir/initdb" ]] || die "PostgreSQL is not installed (run scripts/install-deps.sh)"
  echo "$dir"
}

# Runs a command as the server's owner.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# A port is free when it can be bound as the server binds it: a listener
# that ss does not show (another namespace) still holds it.
port_busy() {
  local port=$1
  if command -v python3 >/dev/null 2>&1; then
    ! python3 -c 'import socket,sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null
  else
    ss -ltn "sport = :$port" 2>/dev/null | grep -q LISTEN
  fi
}

# The driver file of the Unicode PostgreSQL ODBC driver: by its registered
# name when odbcinst knows it, else by the Debian path.
odbc_driver() {
  if odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1; then
    echo "{PostgreSQL Unicode}"
  else
    local f
    f=$(ls /usr/lib/*/odbc/psqlodbcw.so 2>/dev/null | head -n 1)
    [[ -n "$f" ]] || die "the PostgreSQL ODBC driver is not installed (odbc-postgresql)"
    echo "$f"
  fi
}

dsn_of() {
  local port=$1
  echo "Driver=$(odbc_driver);Server=127.0.0.1;Port=$port;Database=kvdn;Uid=postgres;Pwd=;CommLog=0;Debug=0"
}

cmd_start() {
  local state=${1:-$DEFAULT_STATE}
  if [[ -f "$state" ]]; then
    echo "pg-test-server: a previous server is still recorded in $state; stopping it first" >&2
    cmd_stop "$state" || true
  fi
  local bin dir port
  bin=$(pg_bin)
  dir=$(mktemp -d /tmp/kvdn-pg.XXXXXXXX)
  chmod 755 "$dir"
  if [[ $(id -u) -eq 0 ]]; then
    id postgres >/dev/null 2>&1 || die "no user 'postgres' to run the server as"
    chown postgres: "$dir"
  fi
  port=$PORT_FIRST
  while port_busy "$port"; do
    port=$((port + 1))
    ((port < PORT_FIRST + 50)) || die "no free port from $PORT_FIRST on"
  done
  # Recorded before anything can fail, so that stop always finds the folder.
  printf 'dir=%s\nport=%s\n' "$dir" "$port" >"$state"

  as_owner "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 --no-sync \
    >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    die "initdb failed"
  }
  # Durability is not wanted here: the data dies with the folder.
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=100" \
    start >/dev/null || {
    cat "$dir/server.log" >&2 || true
    die "the server did not start"
  }
  local i
  for ((i = 0; i < 120; i++)); do
    if "$bin/pg_isready" -q -h 127.0.0.1 -p "$port"; then break; fi
    sleep 0.5
  done
  "$bin/pg_isready" -q -h 127.0.0.1 -p "$port" || die "the server is not ready on port $port"
  "$bin/psql" -q -h 127.0.0.1 -p "$port" -U postgres -d postgres -c "CREATE DATABASE kvdn" >/dev/null ||
    die "could not create the test database"
  echo "KVDN_PG_DSN=$(dsn_of "$port")"
}

read_state() {
  local state=$1
  [[ -f "$state" ]] || return 1
  dir=$(sed -n 's/^dir=//p' "$state")
  port=$(sed -n 's/^port=//p' "$state")
  [[ -n "$dir" && -n "$port" ]]
}

cmd_dsn() {
  local state=${1:-$DEFAULT_STATE} dir port
  read_state "$state" || die "no server recorded in $state"
  dsn_of "$port"
}

cmd_stop() {
  local state=${1:-$DEFAULT_STATE} dir port
  read_state "$state" || {
    rm -f "$state"
    return 0
  }
  if [[ -f "$dir/data/postmaster.pid" ]]; then
    local bin
    bin=$(pg_bin)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 ||
      as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  fi
  case "$dir" in
    /tmp/kvdn-pg.*) rm -rf -- "$dir" ;;
  esac
  rm -f "$state"
}

# The PostgreSQL driver reads its communication log and debug switches from
# its odbcinst.ini section when it is loaded, whatever the connection string
# says, and Debian registers it with CommLog=1: every process that used it
# would leave a psqlodbc_*.log in /tmp. For the commands it runs, point
# unixODBC at a copy of the system's driver list with both switched off.
quiet_driver_config() {
  local folder=$1 system
  system=$(odbcinst -j 2>/dev/null | sed -n 's/^DRIVERS[. ]*: *//p')
  mkdir -p "$folder"
  if [[ -n "$system" && -f "$system" ]]; then
    sed -E 's/^[[:space:]]*(CommLog|Debug)[[:space:]]*=.*/\1=0/I' "$system" >"$folder/odbcinst.ini"
  else
    : >"$folder/odbcinst.ini"
  fi
  : >"$folder/odbc.ini"
  export ODBCSYSINI=$folder
}

RUN_STATE=""

cmd_run() {
  (($# > 0)) || die "run needs a command"
  RUN_STATE=$(mktemp /tmp/kvdn-pg-run.XXXXXXXX)
  rm -f "$RUN_STATE"
  trap 'cmd_stop "$RUN_STATE"' EXIT
  trap 'exit 130' INT TERM
  local line
  line=$(cmd_start "$RUN_STATE")
  export KVDN_PG_DSN=${line#KVDN_PG_DSN=}
  quiet_driver_config "$(sed -n 's/^dir=//p' "$RUN_STATE")/odbc"
  echo "PostgreSQL test server on port $(sed -n 's/^port=//p' "$RUN_STATE")"
  local rc=0
  "$@" || rc=$?
  return "$rc"
}

case "${1:-}" in
  start) shift; cmd_start "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  dsn) shift; cmd_dsn "$@" ;;
  run) shift; cmd_run "$@" ;;
  *) die "usage: $0 start|stop|dsn [STATE] | run CMD [ARGS...]" ;;
esac
