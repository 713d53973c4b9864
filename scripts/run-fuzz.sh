#!/usr/bin/env bash
# Runs every libFuzzer executable of a fuzzing build for a while (default 30 s
# each), starting from the committed seed corpus.  New inputs go to a working
# corpus under <build>/fuzz-corpus/, never into the repository; a crash, a
# leak or an input slower than the timeout leaves its input in
# <build>/fuzz-artifacts/ (add it to fuzz/corpus/ to keep it as a regression
# input for fuzz_replay).  Every fuzzer runs even after one fails; the script
# fails if any did.
#
#   scripts/run-fuzz.sh [build dir] [seconds per fuzzer] [seconds per input]
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-30}
# libFuzzer's own default (1200 s) would let one slow input outlast the run.
timeout=${3:-25}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
fuzzers=("$build"/fuzz/fuzz_*)
found=0
failed=()
for fuzzer in "${fuzzers[@]}"; do
  [[ -x $fuzzer && $(basename "$fuzzer") != fuzz_replay ]] || continue
  found=1
  name=$(basename "$fuzzer")
  harness=${name#fuzz_}
  work="$build/fuzz-corpus/$harness"
  artifacts="$build/fuzz-artifacts/$harness/"
  mkdir -p "$work" "$artifacts"
  echo "== $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout="$timeout" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "$root/fuzz/corpus/$harness"; then
    failed+=("$name")
  fi
done
if [[ $found == 0 ]]; then
  echo "no fuzzers in $build/fuzz; configure with CXX=clang++ -DMORVANE_LIBFUZZER=ON" >&2
  exit 1
fi
if (( ${#failed[@]} )); then
  echo "fuzzing failed: ${failed[*]} (inputs in $build/fuzz-artifacts/)" >&2
  exit 1
fi
