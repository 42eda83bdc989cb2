#!/usr/bin/env bash
# The crash-state explorer (tools/crashstates/README.md): records each update story with the real
# service under strace, builds every state a power cut between two of its file-system calls may
# leave the disk in, and checks the service on each. Builds the sanitizer build's service and
# console first when they are missing or out of date. Exit status 1 on any violation.
#
#   scripts/crashstates.sh [--sample N] [--all-variants] [--jobs N] [STORY[:VARIANT]...]
#   BUILD=DIR scripts/crashstates.sh ...      (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-asan}

scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DBRENWICK_SANITIZE=address,undefined >/dev/null
fi
ninja -C "$build" brenwick tvctl >/dev/null
exec nice /usr/bin/python3 tools/crashstates/crashstates.py --build "$build" explore "$@"
