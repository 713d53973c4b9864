#!/usr/bin/env bash
# Runs every benchmark binary of a benchmark build and keeps the JSON output
# under <build>/results/ for docs/performance.md.
set -euo pipefail
build=${1:-build-bench}
mkdir -p "$build/results"
for b in $(find "$build/bench" -maxdepth 2 -type f -executable -name 'bench_*' | sort); do
  name=$(basename "$b")
  echo "== $name"
  "$b" --benchmark_out="$build/results/$name.json" --benchmark_out_format=json
done
