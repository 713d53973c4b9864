#!/usr/bin/env bash
# Runs the comparison with GDAL of a benchmark build and writes
# docs/perf-gdal.md: the speed table (bench_vs_gdal, paired by
# perf_table_vs_gdal), the agreement tables (agree_vs_gdal), the machine and
# the command.
#   Usage: scripts/perf-report.sh [build-dir [--reuse-results] [bench args...]]
# build-dir defaults to build-bench.  --reuse-results takes bench_vs_gdal's
# JSON from <build>/results/ when a run newer than the binary left it there
# (scripts/run-bench.sh writes it), instead of running the benchmark again.
# Further arguments go to bench_vs_gdal, e.g. --benchmark_filter=fit/ for a
# partial run (the document then shows the command).
set -euo pipefail
build=${1:-build-bench}
shift || true
reuse=0
if [ "${1:-}" = "--reuse-results" ]; then
  reuse=1
  shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/bench/gdal"
out="$root/docs/perf-gdal.md"

for exe in bench_vs_gdal agree_vs_gdal perf_table_vs_gdal; do
  if [ ! -x "$bin/$exe" ]; then
    echo "perf-report: $bin/$exe is missing (GDAL not found at configure time?); skipped" >&2
    exit 0
  fi
done

mkdir -p "$build/results"
json="$build/results/bench_vs_gdal.json"
agreement="$build/results/agree_vs_gdal.md"

if [ "$reuse" = 1 ] && [ -s "$json" ] && [ "$json" -nt "$bin/bench_vs_gdal" ]; then
  echo "== bench_vs_gdal: reusing $json"
else
  echo "== bench_vs_gdal"
  "$bin/bench_vs_gdal" --benchmark_out="$json" --benchmark_out_format=json "$@"
fi
echo "== agree_vs_gdal"
"$bin/agree_vs_gdal" | tee "$agreement"

cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
cores=$(nproc)
memory=$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
compiler=$(${CXX:-c++} --version 2>/dev/null | head -n1 || echo unknown)
command="scripts/perf-report.sh $build${*:+ $*}"
source_line="unknown (not a git checkout)"
if commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null); then
  source_line="commit $commit"
  # Pages under docs/ (this one, and those make bench rewrites before it)
  # do not change what was measured.
  git -C "$root" diff --quiet HEAD -- . ':(exclude)docs' 2>/dev/null ||
    source_line="$source_line with uncommitted changes"
fi

{
  echo "# Speed and agreement against GDAL"
  echo
  echo "Our control-point library (CCtrlPntSet) against GDAL's GCP transformers"
  echo "(GDALCreateGCPTransformer for polynomial orders 1 to 3, GDALCreateTPSTransformer"
  echo "for the thin plate spline), on the same control points in the same run."
  echo
  echo "- Machine: $cpu, $cores cores, $memory memory"
  echo "- Compiler: $compiler, Release build (-O3)"
  echo "- Measured: $(date -u '+%Y-%m-%d %H:%M UTC'), source $source_line"
  echo "- Command: \`make bench\` (this part: \`$command\`)"
  echo
  echo "Control points: random over a 10,000 x 8,000 pixel image, map coordinates"
  echo "near X = 500,000 m, Y = 4,000,000 m from a smooth non-linear mapping plus"
  echo "0.5 m of noise, from a fixed seed. Fits start from a ready list of points"
  echo "(ours: filling a CCtrlPntSet and BeginTransform; GDAL: creating the"
  echo "transformer, which fits both directions). Conversions go through a"
  echo "transformation fitted to 1,000 points: one call per point (our"
  echo "PointTransform, GDAL's transformer with a count of 1), or one call for"
  echo "1,000,000 points (our BatchTransform, GDAL's transformer with the whole"
  echo "count). Times are the CPU time of the whole process (all threads of either"
  echo "side), which other jobs on a shared machine disturb far less than wall-clock"
  echo "time (both are kept in $json); fast cases are the median of three"
  echo "repetitions, slow ones (seconds) a single iteration."
  echo
  echo "## Speed"
  echo
  "$bin/perf_table_vs_gdal" "$json"
  echo
  echo "How the backward direction is computed: GDAL evaluates a second polynomial"
  echo "fitted separately to the points in the other direction, which is off the"
  echo "exact inverse of its forward fit by up to 0.7 px (see the agreement table)."
  echo "Ours is the inverse of the forward model itself. Preparing it"
  echo "(BeginTransform(false)) tabulates the exact inverse over the points' frame"
  echo "in cubic cells, each checked against the exact inverse when it is built;"
  echo "a point in a checked cell costs one cubic per axis, within 1e-6 px of the"
  echo "exact inverse. Outside the frame, in cells whose check fails (strong"
  echo "curvature: the order-3 set here has few checked cells), and for the"
  echo "spline, the cell's cubic seeds Newton iteration (polynomials: usually one"
  echo "step, its remaining misfit known exactly; spline: one or two kernel"
  echo "passes, stopped by a bound on the step's remainder). docs/tiemark.md"
  echo "describes the checks. The row prepare/<type>/N=1000/backward/ours gives"
  echo "the preparation's cost, to be read beside fit/<type>/N=1000/ours: the"
  echo "table covers only the points' extent, is built with FMA where the"
  echo "processor has it, and costs less than the fit (order 2: 20 x 17 cells,"
  echo "0.67-0.89 of the fit; order 3: the probe only, about 0.15 of the fit)."
  echo "A point in a checked cell still costs about 2.5 times GDAL's second"
  echo "polynomial (a cell lookup and two cubics against two quadratics), and the"
  echo "order-3 set's inverse would need some 70 cells a side to verify."
  echo
  # The notes (single rows, profiles, the outlier comparison) stay in their
  # own page: this one holds the figures of the latest run only.
  echo "Notes on these figures (profiles, the planted outliers beside GDAL's"
  echo "refining transformer): docs/perf-gdal-notes.md."
  echo
  echo "## Agreement"
  echo
  cat "$agreement"
} > "$out"
echo "wrote $out"
