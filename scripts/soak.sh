#!/usr/bin/env bash
# The long kill soak: builds, then kills the service with SIGKILL at random moments during
# updates, requests and reset wipes, checking after every kill that each state file is absent
# or whole and that a wipe cut short completes at the next start. Prints its figures.
#
#   scripts/soak.sh [KILLS] [--seed S]      (default 600 kills, about five minutes)
#   BUILD=build-asan scripts/soak.sh ...    (a build directory of your choice, e.g. the sanitizers')
set -euo pipefail
cd "$(dirname "$0")/.."
kills=600
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
    kills=$1
    shift
fi
build=${BUILD:-build}

scripts/setup.sh
if [ "$build" = build ]; then
    scripts/build.sh build >/dev/null
else
    ninja -C "$build" KillSoak brenwick tvctl >/dev/null
fi
nice "$build/tests/KillSoak" --kills "$kills" "$@"
