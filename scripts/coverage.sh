#!/usr/bin/env bash
# Line and branch coverage of the service (source/ and include_internal/) by its own tests: builds
# with --coverage into build-coverage/ (or COVERAGE_BUILD), runs ctest there and prints gcovr's
# figures per file and in total. Branches that only exceptions take are left out
# (--exclude-throw-branches). It prints; it does not fail on a threshold.
#
#   scripts/coverage.sh                 (CI runs it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COVERAGE_BUILD:-build-coverage}

scripts/setup.sh
# BRENWICK_COVERAGE: forked test children write their counts before they _exit.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="--coverage -DBRENWICK_COVERAGE" -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
ninja -C "$build" -j2 >/dev/null
find "$build" -name '*.gcda' -delete
# A test that fails still counts towards coverage; its failure shows in the test step of CI.
# The page's tests in a browser are left out: they drive tvctl's screen, not the service.
ctest --test-dir "$build" -j2 --timeout 300 -E '^Screen[.]' >"$build/ctest.log" 2>&1 ||
    echo "coverage: some tests failed, see $build/ctest.log"
grep -E 'tests passed|[*]{3}' "$build/ctest.log" || true
gcovr_of_service() {
    # CMake's compiler checks leave coverage notes of their own behind, without data.
    gcovr --root . --object-directory "$build" --filter 'source/' --filter 'include_internal/' \
        --exclude-directories "$build/CMakeFiles" --exclude-throw-branches --sort-percentage \
        -j2 "$@"
}
echo "== coverage of the service by its tests: lines"
gcovr_of_service
echo "== coverage of the service by its tests: branches, without those only exceptions take"
gcovr_of_service --branches --print-summary
