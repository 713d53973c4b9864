#!/usr/bin/env bash
# Control-point files cross between Linux and Windows unchanged:
#   1. morvane.exe (under wine) reads a file the Linux tool wrote
#      (tests/data/exchange/avon-linux.gcp) and tells what the Linux tool
#      tells of it (avon-linux.info.txt, the Linux tool's output);
#   2. morvane.exe writes the same import, and the file has exactly the
#      bytes of the Linux tool's;
#   3. with a Linux tool at hand, that one reads the Windows file back.
#   scripts/windows-roundtrip.sh MORVANE_EXE [LINUX_TOOL]
# Expects the wine environment (scripts/wine-env.sh).
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
linux_tool=${2:-}
[ -z "$linux_tool" ] || linux_tool=$(cd "$(dirname "$linux_tool")" && pwd)/$(basename "$linux_tool")
root=$(cd "$(dirname "$0")/.." && pwd)
data=$root/tests/data/exchange
wine=${MORVANE_WINE:-wine64}
work=$(mktemp -d /tmp/morvane-exchange.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"   # wine sees it as Z:\tmp\...; relative names keep the paths simple
fail() { echo "exchange: $*" >&2; exit 1; }

cp "$data/avon-linux.gcp" linux.gcp
cp "$root/examples/gcp/avon-1954-zoning.tif.points" avon.points
"$wine" "$exe" info linux.gcp | tr -d '\r' | sed 's/linux\.gcp/FILE/g' > windows-info.txt
diff -u "$data/avon-linux.info.txt" windows-info.txt || fail "morvane.exe tells another story of the Linux file"
cmp linux.gcp "$data/avon-linux.gcp" || fail "reading changed the Linux file"

"$wine" "$exe" import windows.gcp -g 1 --type poly2 avon.points
cmp windows.gcp "$data/avon-linux.gcp" || fail "morvane.exe wrote other bytes than the Linux tool"

# Through SQLite (compiled into lodestor.dll) on the wine file system, in a
# database and a file whose names are not ASCII: the same bytes again.
"$wine" "$exe" import "sqlite:Ærø-areas.db#avon:1" -g 1 --type poly2 avon.points
"$wine" "$exe" copy "sqlite:Ærø-areas.db#avon:1" "København.gcp"
[ -f "Ærø-areas.db" ] || fail "the database did not get its UTF-8 name"
cmp "København.gcp" "$data/avon-linux.gcp" || fail "the copy through SQLite has other bytes"

if [ -n "$linux_tool" ]; then
  "$linux_tool" info windows.gcp | sed 's/windows\.gcp/FILE/g' > linux-info.txt
  diff -u "$data/avon-linux.info.txt" linux-info.txt || fail "the Linux tool reads the Windows file differently"
fi
echo "exchange: morvane.exe read the Linux file and wrote the same bytes${linux_tool:+; the Linux tool read them back}"
