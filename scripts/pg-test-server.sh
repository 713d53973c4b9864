#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and the benchmarks, kept whole
# in one folder: the cluster (DIR/data), its Unix socket, its log, and the
# loopback port it listens on.
#
#   scripts/pg-test-server.sh start DIR    make the cluster when DIR has none
#                                          (a free loopback port, a role
#                                          "morvane" with a random password,
#                                          a database "morvane_test"), start
#                                          it, write DIR/env, print the URI
#   scripts/pg-test-server.sh stop DIR     stop it (nothing to do when stopped)
#   scripts/pg-test-server.sh restart DIR  stop, then start on the same port
#   scripts/pg-test-server.sh remove DIR   stop it and delete DIR
#
# DIR/env sets MORVANE_TEST_PG_URI (the URI, password included),
# MORVANE_TEST_PG_CTL (this script) and MORVANE_TEST_PG_DIR, for
# `. DIR/env`.  The server runs as the user "postgres" when this script runs
# as root (PostgreSQL refuses to run as root), else as the caller.  It is a
# test server: fsync is off unless MORVANE_PG_DURABLE=1 (the benchmarks set
# it), and it listens on 127.0.0.1 only.
set -euo pipefail

usage() { echo "usage: $0 start|stop|restart|remove DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
command=$1
dir=${2:+$(realpath -m -- "$2")}
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

bindir=""
for candidate in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
  [ -x "$candidate/initdb" ] && { bindir=$candidate; break; }
done
[ -n "$bindir" ] || { echo "pg-test-server: no PostgreSQL server binaries in /usr/lib/postgresql (install postgresql)" >&2; exit 1; }

as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    # From /: the caller's folder may be closed to the server's user.
    (cd / && runuser -u postgres -- "$@")
  else
    "$@"
  fi
}

running() { [ -f "$dir/data/postmaster.pid" ] && as_server "$bindir/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; }

# A port nobody listens on now; start() tries again should another process
# take it first.
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "pg-test-server: no free loopback port found" >&2
  return 1
}

launch() {
  local fsync=off
  [ "${MORVANE_PG_DURABLE:-0}" = 1 ] && fsync=on
  as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-p $(cat "$dir/port") -k $dir -c listen_addresses=127.0.0.1 -c max_connections=200 -c fsync=$fsync" \
    start >/dev/null
}

make_cluster() {
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  chmod 700 "$dir"
  od -An -N12 -tx1 /dev/urandom | tr -d ' \n' > "$dir/password"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/password"
  as_server "$bindir/initdb" -D "$dir/data" -U morvane --pwfile="$dir/password" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --no-locale >"$dir/initdb.log" 2>&1 ||
    { echo "pg-test-server: initdb failed; see $dir/initdb.log" >&2; exit 1; }
  local tries=0
  until free_port > "$dir/port" && launch; do
    tries=$((tries + 1))
    [ $tries -lt 5 ] || { echo "pg-test-server: the server does not start; see $dir/server.log" >&2; exit 1; }
  done
  as_server "$bindir/createdb" -h "$dir" -p "$(cat "$dir/port")" -U morvane morvane_test
}

write_env() {
  local uri="postgresql://morvane:$(cat "$dir/password")@127.0.0.1:$(cat "$dir/port")/morvane_test"
  printf 'MORVANE_TEST_PG_URI=%s\nMORVANE_TEST_PG_CTL=%s\nMORVANE_TEST_PG_DIR=%s\n' "$uri" "$script" "$dir" > "$dir/env"
  echo "$uri"
}

case "$command" in
  start)
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      make_cluster
    elif ! running; then
      launch || { echo "pg-test-server: the server does not start; see $dir/server.log" >&2; exit 1; }
    fi
    write_env
    ;;
  stop)
    if running; then as_server "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null; fi
    ;;
  restart)
    "$script" stop "$dir"
    "$script" start "$dir" >/dev/null
    ;;
  remove)
    [ -d "$dir" ] || exit 0
    "$script" stop "$dir"
    rm -rf "$dir"
    ;;
  *) usage ;;
esac
