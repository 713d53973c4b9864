#!/usr/bin/env bash
# The Python part of the tour: examples/python/residuals.py on the SQLite
# area that scripts/demo.sh wrote to ./demo-out/.  Usage:
# scripts/demo-python.sh BUILD_DIR   (make demo runs it after demo.sh).
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-/usr/bin/python3}
package=$(cd "$build" && pwd)/python
if [ ! -d "$package/morvane" ]; then
  echo "demo: the Python module is not built (configure with -DMORVANE_BUILD_PYTHON=ON); skipping its part"
  exit 0
fi
[ -f demo-out/demo.db ] || { echo "demo: demo-out/demo.db not found; run scripts/demo.sh first" >&2; exit 1; }
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
printf '\n%s== The same area from Python (examples/python/residuals.py)%s\n' "$bold" "$plain"
cd demo-out
printf '$ python3 examples/python/residuals.py "sqlite:demo.db#avon-1954:1" 1 residuals.png\n'
PYTHONPATH="$package${PYTHONPATH:+:$PYTHONPATH}" "$python" "$here/examples/python/residuals.py" \
  "sqlite:demo.db#avon-1954:1" 1 residuals.png
