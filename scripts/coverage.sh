#!/usr/bin/env bash
# Line and branch coverage of the service (source/ and include_internal/) by its own tests: builds
# with --coverage into build-coverage/ (or COVERAGE_BUILD), runs ctest and the fault sweep there and
# prints gcovr's figures per file and in total. Branches that only exceptions take are left out
# (--exclude-throw-branches). It fails when a figure falls below its floor (below).
#
#   scripts/coverage.sh                 (CI runs it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COVERAGE_BUILD:-build-coverage}

# The floors, in per cent. Branches are counted twice: all of them, and those outside the type
# tests of exception handlers and the entries' last-line handler (EntryGuard.h), which only an
# exception that no test can raise (an allocation failing, a fault of the standard library)
# reaches. The floors sit just under what the tests reach today.
MIN_LINES=94
MIN_BRANCHES=85
MIN_BRANCHES_OUTSIDE_HANDLERS=90

scripts/setup.sh
# BRENWICK_COVERAGE: forked test children write their counts before they _exit.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="--coverage -DBRENWICK_COVERAGE" -DCMAKE_C_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
ninja -C "$build" -j2 >/dev/null
find "$build" -name '*.gcda' -delete
# A test that fails still counts towards coverage; its failure shows in the test step of CI.
# The page's tests in a browser are left out: they drive tvctl's screen, not the service.
ctest --test-dir "$build" -j2 --timeout 300 -E '^Screen[.]' >"$build/ctest.log" 2>&1 ||
    echo "coverage: some tests failed, see $build/ctest.log"
grep -E 'tests passed|[*]{3}' "$build/ctest.log" || true
# The sweep makes every platform call fail, once and for ever, during whole sessions: the failure
# paths of the platform calls that no other test takes. About two minutes.
timeout 900 "$build/tests/FaultSweep" --jobs 2 >"$build/sweep.log" 2>&1 ||
    echo "coverage: the fault sweep failed, see $build/sweep.log"
tail -n 1 "$build/sweep.log"

gcovr_of_service() {
    # CMake's compiler checks leave coverage notes of their own behind, without data.
    gcovr --root . --object-directory "$build" --filter 'source/' --filter 'include_internal/' \
        --exclude-directories "$build/CMakeFiles" --exclude-throw-branches --sort-percentage \
        -j2 "$@"
}
echo "== coverage of the service by its tests: lines"
gcovr_of_service --fail-under-line "$MIN_LINES"
echo "== coverage of the service by its tests: branches, without those only exceptions take"
gcovr_of_service --branches --print-summary --fail-under-branch "$MIN_BRANCHES"
echo "== the same branches outside exception handlers' type tests and EntryGuard.h's handler"
gcovr_of_service --branches --print-summary --fail-under-branch "$MIN_BRANCHES_OUTSIDE_HANDLERS" \
    --exclude-branches-by-pattern '.*(\bcatch \(|LOG_ESCAPED_EXCEPTION\(\)).*' | tail -n 1
echo "coverage: lines >= $MIN_LINES %, branches >= $MIN_BRANCHES %," \
    "outside handlers >= $MIN_BRANCHES_OUTSIDE_HANDLERS %: held"
