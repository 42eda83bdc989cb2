#!/usr/bin/env bash
# Installs what building and testing need, when it is missing. Safe to rerun.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libjsoncpp-dev libglib2.0-dev libcurl4-openssl-dev
          libssl-dev openssl ca-certificates libgtest-dev libgmock-dev clang-format procps
          # tvctl screen: its HTTP server and the resource compiler that builds its page in
          libsoup-3.0-dev libglib2.0-dev-bin
          # the screen's tests in a real browser
          chromium chromium-driver python3-selenium
          # the fuzz targets: clang and its libFuzzer runtime
          clang libclang-rt-14-dev
          # static analysis in CI, and the service's coverage by its tests
          clang-tidy gcovr
          # the Debian package (CPack finds its dependencies with dpkg-shlibdeps and file), its
          # manual and completion, and the test that unpacks and uses it
          dpkg-dev file gzip man-db bash-completion
          # the crash-state explorer records the service's file-system calls
          strace)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
