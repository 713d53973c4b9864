#!/usr/bin/env bash
# Writes docs/performance.md: one document with every measured figure, made
# from the per-component pages docs/perf-*.md (the GDAL comparison and the
# Python pages are rewritten by each `make bench`; the others record the
# runs named in them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/performance.md"
parts=(perf-tiemark perf-grouplist perf-area perf-lodestor perf-gdal perf-warp perf-python)
{
  echo "# Performance"
  echo
  echo "Every figure here was measured with Google Benchmark on this project's"
  echo "machine (2 cores, Debian 12, g++ 12, Release -O3); each section names the"
  echo "command that reproduces it.  \`make bench\` runs every benchmark, rewrites"
  echo "the comparison with GDAL and then this page."
  echo
  echo "Contents:"
  for p in "${parts[@]}"; do
    [ -f "$root/docs/$p.md" ] || continue
    title=$(grep -m1 '^# ' "$root/docs/$p.md" | sed 's/^# //')
    echo "- $title (\`docs/$p.md\`)"
  done
  for p in "${parts[@]}"; do
    [ -f "$root/docs/$p.md" ] || continue
    echo
    # Each page's headings move one level down under this page's title.
    sed 's/^#/##/' "$root/docs/$p.md"
  done
} > "$out"
echo "wrote $out"
