#!/usr/bin/env bash
# Fuzzes every parser of outside data: builds the libFuzzer targets of fuzz/ with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer (build-fuzz/), then runs each target, or
# TARGET alone, one after the other (FUZZ_JOBS side by side), for SECONDS or 10 million
# executions, whichever comes first (FUZZ_RUNS changes the count). Each starts from its seeds, its past findings and what earlier
# runs here found (build-fuzz/corpus/TARGET), and prints its executions, coverage (libFuzzer's
# cov: and ft:) and findings. A finding's input is kept under build-fuzz/findings/TARGET/ and
# printed; once fixed it belongs in fuzz/regressions/TARGET/. Exit status 1 after any finding.
# The executions of every run are added to a tally per target (fuzz/tally, committed, so that the
# long run can be done over several sessions; FUZZ_TALLY names another file), printed at the end.
#
#   scripts/fuzz.sh [TARGET] [SECONDS]       (default: every target, an hour each)
#   FUZZ_JOBS=2 scripts/fuzz.sh 20           (CI: every target 20 s, two side by side)
#   FUZZ_BUILD=DIR scripts/fuzz.sh ...       (another build directory than build-fuzz/)
set -euo pipefail
cd "$(dirname "$0")/.."
# Every target has its seeds in fuzz/corpus/TARGET.
targets=$(echo $(ls fuzz/corpus))
if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then
    if ! [[ " $targets " == *" $1 "* ]]; then
        echo "usage: $0 [TARGET] [SECONDS]; targets:" $targets >&2
        exit 2
    fi
    targets=$1
    shift
fi
seconds=${1:-3600}
runs=${FUZZ_RUNS:-10000000}
build=${FUZZ_BUILD:-build-fuzz}
tally=${FUZZ_TALLY:-fuzz/tally}

scripts/setup.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DBRENWICK_FUZZ=ON -DBRENWICK_SANITIZE=address,undefined -DBUILD_TESTING=OFF >/dev/null
fi
ninja -C "$build" fuzz_targets >/dev/null

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Fuzzes one target; its report goes to $build/report-TARGET: the summary line first, then what a
# finding needs to be reproduced.
fuzz_one() {
    local target=$1 work=$build/corpus/$1 findings=$build/findings/$1 log=$build/fuzz-$1.log
    local report=$build/report-$1
    mkdir -p "$work" "$findings"
    local options=(-max_total_time="$seconds" -runs="$runs" -timeout=10 -print_final_stats=1
                   -dict=fuzz/dict/$target.dict -artifact_prefix="$findings/")
    # The host reports each bad rule line once, remembering it for good: libFuzzer would take that
    # for a leak on nearly every input and stop to scan for one. Leaks are still looked for when
    # the run ends.
    [ "$target" = fault_rules ] && options+=(-detect_leaks=0)
    local before status=0
    before=$(ls "$findings" | wc -l)
    "$build/fuzz/fuzz_$target" "${options[@]}" "$work" "fuzz/corpus/$target" \
        $(ls -d "fuzz/regressions/$target" 2>/dev/null) >"$log" 2>&1 || status=$?
    local execs coverage found outcome
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "${execs:-?} $(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")" \
        >"$build/count-$target"
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
    found=$(($(ls "$findings" | wc -l) - before))
    outcome="$found finding(s)"
    [ "$status" -ne 0 ] && [ "$found" -eq 0 ] && outcome="failed (exit status $status), see $log"
    printf '%-14s %12s execs  %-20s %s\n' "$target" "${execs:-?}" "${coverage:-cov: ?}" \
        "$outcome" >"$report"
    [ "$status" -eq 0 ] && return
    {
        grep -E 'ERROR|error|property does not hold|SUMMARY|^ +#[0-9]+ 0x' "$log" | head -n 30 || true
        for input in $(ls -t "$findings" | head -n "$found"); do
            echo "reproducer: $build/fuzz/fuzz_$target $findings/$input"
            od -A d -c "$findings/$input" | head -n 20 || true
        done
    } >>"$report"
}

# FUZZ_JOBS targets side by side (one by default, leaving the other cores alone).
jobs=${FUZZ_JOBS:-1}
rm -f "$build"/report-* "$build"/count-*
for target in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    echo "== fuzz $target (${seconds} s)"
    fuzz_one "$target" &
done
wait
failed=0
for target in $targets; do
    [ -f "$build/report-$target" ] || echo "$target: no report" >"$build/report-$target"
    tail -n +2 "$build/report-$target"
    head -n 1 "$build/report-$target" | grep -q ' 0 finding(s)$' || failed=1
done
echo "== fuzz summary"
for target in $targets; do
    head -n 1 "$build/report-$target"
done

# The tally: "TARGET EXECUTIONS RUNS SECONDS" per line, this run's executions added to the earlier.
add_to_tally() {
    local target=$1 execs=$2 took=$3 line old_execs=0 old_runs=0 old_seconds=0
    [[ $execs =~ ^[0-9]+$ ]] || return 0
    [[ $took =~ ^[0-9]+$ ]] || took=$seconds
    line=$(grep "^$target " "$tally" 2>/dev/null || true)
    [ -n "$line" ] && read -r _ old_execs old_runs old_seconds <<<"$line"
    { grep -v "^$target " "$tally" 2>/dev/null || true
      echo "$target $((old_execs + execs)) $((old_runs + 1)) $((old_seconds + took))"
    } | sort >"$tally.new"
    mv "$tally.new" "$tally"
}
touch "$tally"
for target in $targets; do
    if [ -f "$build/count-$target" ]; then
        add_to_tally "$target" $(cat "$build/count-$target")
    fi
done
echo "== fuzz tally, every run so far ($tally)"
awk '{printf "%-14s %14s execs in %4d runs, %8d s\n", $1, $2, $3, $4}' "$tally"
exit $failed
