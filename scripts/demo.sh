#!/usr/bin/env bash
# The demo: fits a group of control points and converts coordinates with it.
set -euo pipefail
build=${1:-build}
"$build/examples/fit_demo"
