#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the units of the service, the host device and
# tvctl in BUILD's compile_commands.json (default build/), two at a time (TIDY_JOBS); exit 1 on any
# finding. FILE-REGEX picks other units ("$PWD/" for all, tests and harnesses included).
#
#   scripts/tidy.sh [BUILD] [FILE-REGEX]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# The tests, fuzz targets and benchmarks are left to the compiler's warnings: they would more than
# double the time (GoogleTest's expansions above all).
files=${2:-"$PWD/(source|platform|tools)/"}
[ -f "$build/compile_commands.json" ] || scripts/build.sh "$build" >/dev/null
log=$build/clang-tidy.log
start=$(date +%s)
status=0
# This run-clang-tidy colours its output whatever it is written to.
nice run-clang-tidy -p "$build" -j "${TIDY_JOBS:-2}" -quiet "$files" 2>&1 |
    sed 's/\x1b\[[0-9;]*m//g' >"$log" || status=$?
findings=$(grep -cE '^/.*: (warning|error): ' "$log" || true)
units=$(grep -c '^clang-tidy' "$log" || true)
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    grep -E -A3 '^/.*: (warning|error): ' "$log" >&2 || tail -n 40 "$log" >&2
    echo "clang-tidy: $findings finding(s) in $units units, see $log" >&2
    exit 1
fi
echo "clang-tidy: $units units clean in $(($(date +%s) - start)) s"
