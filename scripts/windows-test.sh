#!/usr/bin/env bash
# Runs the Windows build's suite under wine: the import check, every test
# program (ctest, through CMAKE_CROSSCOMPILING_EMULATOR), and the exchange
# of control-point files with Linux.  Prints the counts of the test cases.
#   scripts/windows-test.sh BUILD_DIR [LINUX_TOOL]
# LINUX_TOOL: a Linux build's morvane, to read back what morvane.exe wrote.
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [LINUX_TOOL]}
linux_tool=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
source "$here/wine-env.sh" "$build"

triple=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=.*\/\(.*\)-g++.*/\1/p' "$build/CMakeCache.txt")
"$here/check-windows-imports.sh" "${triple:-x86_64-w64-mingw32}-objdump" "$build/bin"

start=$(date +%s)
rm -rf "$build/gtest-results"
status=0
ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}" || status=$?
"$here/windows-roundtrip.sh" "$build/bin/morvane.exe" "$linux_tool" || status=$?
echo "wine suite: $(( $(date +%s) - start )) s"

# The counts of the cases, from the programs' JUnit reports.
python3 - "$build/gtest-results" <<'PY'
import glob, sys, xml.etree.ElementTree as ET
tests = failures = errors = skipped = 0
for path in sorted(glob.glob(sys.argv[1] + "/*.xml")):
    root = ET.parse(path).getroot()
    cases = root.iter("testcase")
    for case in cases:
        tests += 1
        if case.find("failure") is not None: failures += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped": skipped += 1
print(f"test cases: {tests}, passed {tests - failures - skipped}, skipped {skipped}, failed {failures}")
PY
exit $status
