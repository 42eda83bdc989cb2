#!/usr/bin/env bash
# Installs what is missing, builds the service, tvctl, its manual and completion without the
# tests (build-package/), and makes the Debian package out/brenwick_VERSION_amd64.deb with CPack,
# its dependencies taken from the shared libraries the programs link. Prints the package's path.
#
#   scripts/package.sh                   then, as root: apt-get install ./out/brenwick_*.deb
#   PACKAGE_BUILD=DIR scripts/package.sh (another build directory than build-package/; one
#                                         configured already keeps its settings)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PACKAGE_BUILD:-build-package}

scripts/setup.sh
# A build directory configured already (CI packages its test build) keeps its settings.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
fi
ninja -C "$build" >/dev/null
rm -f "$build"/*.deb
if ! (cd "$build" && cpack) >"$build/cpack.log" 2>&1; then
    cat "$build/cpack.log" >&2
    exit 1
fi
mkdir -p out
deb=$(ls "$build"/brenwick_*.deb)
cp "$deb" out/
echo "out/$(basename "$deb")"
