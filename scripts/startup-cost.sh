#!/usr/bin/env bash
# What starting the morvane tool costs, as a ratio to starting sqlite3.
#
# Usage: scripts/startup-cost.sh [BUILD_DIR] [RUNS]     (defaults: build, 20)
#
# Runs, interleaved, RUNS rounds of three commands (after two rounds that
# only warm the page cache), rotating their order from round to round:
#   sqlite3 --version
#   morvane --version
#   echo "10 20" | morvane transform SAMPLE -g 1     (one pair)
# where SAMPLE is a control-point file made first from
# examples/gcp/gdal-utmsmall-gcps.vrt.  Each run's wall time (spawn to
# exit) and CPU time (user + system, from wait4) are taken; the table gives
# the medians and each morvane command's median as a ratio to sqlite3's of
# the same run.  The peak resident set comes from five more runs of each
# under GNU time (package time; wait4 here would count this script's own
# memory, which a spawned child shares until its exec).  It also counts the shared objects
# `morvane --version` loads (LD_DEBUG=libs), and whether libgdal is one.
#
# Scripts call the tool in loops: the ratios are the figures to watch.
# Absolute times depend on the machine and its load; run it on a quiet one.
set -euo pipefail

build=${1:-build}
runs=${2:-20}
here=$(cd "$(dirname "$0")/.." && pwd)
morvane="$build/tools/morvane"
[ -x "$morvane" ] || { echo "startup-cost: $morvane not found; build first (make build)" >&2; exit 1; }
morvane=$(cd "$(dirname "$morvane")" && pwd)/morvane
sqlite=$(command -v sqlite3) || { echo "startup-cost: needs the sqlite3 program (Debian: sqlite3)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "startup-cost: needs python3" >&2; exit 1; }

work=$(mktemp -d /tmp/morvane-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT
sample="$work/sample.gcp"
"$morvane" import "$sample" -g 1 "$here/examples/gcp/gdal-utmsmall-gcps.vrt" 2>/dev/null
printf '10 20\n' > "$work/pair.txt"

# Every shared object the loader maps is initialised once: one "calling
# init" line each.
loaded=$(LD_DEBUG=libs "$morvane" --version 2>&1 >/dev/null | grep 'calling init:' || true)
objects=$(printf '%s\n' "$loaded" | grep -c 'calling init:' || true)
gdal=$(printf '%s\n' "$loaded" | grep -c '/libgdal\.so' || true)

echo "morvane: $("$morvane" --version)   ($morvane)"
echo "sqlite3: $("$sqlite" --version | cut -d' ' -f1)   ($sqlite)"
echo "host: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "morvane --version maps $objects shared objects; libgdal among them: $([ "$gdal" -gt 0 ] && echo yes || echo no)"
echo

python3 - "$runs" "$sqlite" "$morvane" "$sample" "$work/pair.txt" "$work/rss" <<'EOF'
import os, statistics, sys, time

runs = int(sys.argv[1])
sqlite, morvane, sample, pair, rss_file = sys.argv[2:7]
gnu_time = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
commands = [
    ("sqlite3 --version", [sqlite, "--version"], None),
    ("morvane --version", [morvane, "--version"], None),
    ("morvane transform (1 pair)", [morvane, "transform", sample, "-g", "1"], pair),
]

def run(argv, stdin_path):
    devnull = os.open(os.devnull, os.O_WRONLY)
    stdin = os.open(stdin_path or os.devnull, os.O_RDONLY)
    actions = [(os.POSIX_SPAWN_DUP2, stdin, 0), (os.POSIX_SPAWN_DUP2, devnull, 1), (os.POSIX_SPAWN_DUP2, devnull, 2)]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    os.close(devnull)
    os.close(stdin)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"startup-cost: {' '.join(argv)} failed")
    return wall, usage.ru_utime + usage.ru_stime

def peak_rss(argv, stdin_path):
    if gnu_time is None:
        return float("nan")
    values = []
    for _ in range(5):
        run([gnu_time, "-f", "%M", "-o", rss_file, *argv], stdin_path)
        with open(rss_file) as f:
            values.append(int(f.read().split()[-1]) / 1024.0)
    return statistics.median(values)

samples = {name: [] for name, _, _ in commands}
for round_ in range(runs + 2):
    k = round_ % len(commands)
    for name, argv, stdin_path in commands[k:] + commands[:k]:
        result = run(argv, stdin_path)
        if round_ >= 2:  # the first two rounds warm the page cache
            samples[name].append(result)

def median(name, i):
    return statistics.median(s[i] for s in samples[name])

base_wall, base_cpu = median(commands[0][0], 0), median(commands[0][0], 1)
print(f"median of {runs} interleaved runs     wall ms   CPU ms   max RSS MiB   wall ratio   CPU ratio")
for name, argv, stdin_path in commands:
    wall, cpu, rss = median(name, 0), median(name, 1), peak_rss(argv, stdin_path)
    print(f"{name:<32} {wall * 1e3:8.2f} {cpu * 1e3:8.2f} {rss:12.1f} {wall / base_wall:12.2f} {cpu / base_cpu:11.2f}")
EOF
