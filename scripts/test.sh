#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, host device and end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j2 --timeout 300
