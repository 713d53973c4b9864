#!/usr/bin/env bash
# Rewrites the generated parts of docs/performance.md, the page of current
# figures: each part between
#   <!-- generated from docs/PAGE.md by make bench -->
#   <!-- end of generated part -->
# is replaced by that page (rewritten by the same make bench: the comparison
# with GDAL by scripts/perf-report.sh, the Python module by
# bench/python/bench_transform.py) without its title, its headings one level
# down.  The rest of the page is kept as it is.  The page holds one set of
# figures; earlier ones are in its git history, never appended here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/performance.md"
tmp="$out.tmp"
trap 'rm -f "$tmp"' EXIT

awk -v root="$root" '
  /^<!-- generated from docs\/[^ ]+ by make bench -->$/ {
    print
    page = $4
    path = root "/" page
    if ((getline line < path) <= 0) { print "assemble-performance: cannot read " page > "/dev/stderr"; exit 1 }
    # Drop the title and the blank lines after it.
    while (line ~ /^# / || line == "") { if ((getline line < path) <= 0) break }
    do {
      if (line ~ /^#/) line = "#" line
      print line
    } while ((getline line < path) > 0)
    close(path)
    skipping = 1
    parts++
    next
  }
  /^<!-- end of generated part -->$/ { skipping = 0 }
  !skipping { print }
  END {
    if (skipping) { print "assemble-performance: a generated part has no end marker" > "/dev/stderr"; exit 1 }
    if (parts == 0) { print "assemble-performance: no generated part in the page" > "/dev/stderr"; exit 1 }
  }
' "$out" > "$tmp"
mv "$tmp" "$out"
trap - EXIT
echo "wrote $out"
