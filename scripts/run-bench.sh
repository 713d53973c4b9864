#!/usr/bin/env bash
# Runs every benchmark binary of a benchmark build and keeps the JSON output
# under <build>/results/ for docs/performance.md.
#
# The PostgreSQL cases of bench_lodestor need a server: unless
# MORVANE_BENCH_PG_URI names one, this starts a loopback server of its own
# with scripts/pg-test-server.sh (durable: fsync on, as a real server runs)
# and removes it at the end.  Without the PostgreSQL server binaries those
# cases are left out.
set -euo pipefail
build=${1:-build-bench}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/results"

if [ -z "${MORVANE_BENCH_PG_URI:-}" ] && ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  pgdir=$(mktemp -d /tmp/morvane-bench-pg.XXXXXX)
  trap '"$here/pg-test-server.sh" remove "$pgdir"' EXIT
  trap 'exit 130' INT TERM
  MORVANE_BENCH_PG_URI=$(MORVANE_PG_DURABLE=1 "$here/pg-test-server.sh" start "$pgdir")
  export MORVANE_BENCH_PG_URI
  echo "PostgreSQL benchmark server in $pgdir"
fi

for b in $(find "$build/bench" -maxdepth 2 -type f -executable -name 'bench_*' | sort); do
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_out="$build/results/$name.json" --benchmark_out_format=json
done

# The Python module against the C++ call it makes, when the build has it;
# it rewrites docs/perf-python.md.
if ls "$build"/python/morvane/_morvane*.so >/dev/null 2>&1; then
  echo "== bench_transform.py"
  "${PYTHON:-/usr/bin/python3}" "$here/../bench/python/bench_transform.py" "$build" \
    --doc "$here/../docs/perf-python.md"
fi
