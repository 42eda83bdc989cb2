#!/usr/bin/env bash
# The Debian package as a QA machine gets it: unpacked into a scratch directory, its declared
# dependencies checked, then its own tvctl provisions a device root, starts its own service and
# plays a priority update to the end. Prints the service's log when a step fails.
#
#   tests/package_test.sh out/brenwick_VERSION_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
version=$(sed -n 's/^project(brenwick VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
scratch=$(mktemp -d /tmp/package16-test.XXXXXX)
export TV_DEVICE_ROOT=$scratch/tv TV_LOG_STDERR=0
usr=$scratch/unpacked/usr
tvctl=$usr/bin/tvctl
service_started=""
finish() {
    status=$?
    if [ "$status" -ne 0 ]; then
        echo "package test: FAILED (status $status); the platform log:" >&2
        cat "$TV_DEVICE_ROOT/log/dlog.log" >&2 2>/dev/null || true
    fi
    [ -n "$service_started" ] && "$tvctl" stop com.talvoro.tv.brenwick >/dev/null 2>&1 || true
    rm -rf "$scratch"
    exit "$status"
}
trap finish EXIT
fail() {
    echo "package test: $*" >&2
    exit 1
}
expect_in() {  # TEXT WANTED WHAT
    [[ $1 == *"$2"* ]] || fail "$3: wanted '$2' in: $1"
}

echo "== the package's name and declared dependencies"
[ "$(basename "$deb")" = "brenwick_${version}_amd64.deb" ] || fail "named $(basename "$deb")"
info=$(dpkg-deb -I "$deb")
expect_in "$info" "Version: $version" "control"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libjsoncpp25 libglib2.0-0 libcurl4 libsoup-3.0-0; do
    expect_in "$depends" "$library (>= " "Depends"
done
echo "Depends: $depends"

echo "== unpacked"
dpkg -x "$deb" "$scratch/unpacked"
for file in bin/tvctl libexec/brenwick/brenwick share/brenwick/lang/language/en_US.json \
    share/man/man1/tvctl.1.gz share/bash-completion/completions/tvctl share/doc/brenwick/copyright; do
    [ -f "$usr/$file" ] || fail "the package lacks /usr/$file"
done
expect_in "$("$tvctl" --version)" "tvctl (brenwick) $version" "tvctl --version"
expect_in "$(MANWIDTH=100 man -l "$usr/share/man/man1/tvctl.1.gz" 2>&1)" "store play [OPTIONS]" "man"
completion=$(bash -c "source '$usr/share/bash-completion/completions/tvctl'; COMP_WORDS=(tvctl store p);
    COMP_CWORD=2; _tvctl; echo \"\${COMPREPLY[*]}\"")
[ "$completion" = play ] || fail "completion of 'tvctl store p' gave '$completion'"

echo "== a device root from the installed language files, the installed service started"
# A file only the unpacked tree has: init must take the installed files, not a source tree's.
echo '{}' >"$usr/share/brenwick/lang/language/xx_XX.json"
"$tvctl" init >/dev/null
[ -f "$TV_DEVICE_ROOT/fs/usr/apps/com.talvoro.tv.brenwick/shared/lang/language/xx_XX.json" ] ||
    fail "init did not copy the installed language files"
started=$("$tvctl" start)
service_started=1
expect_in "$started" ": $usr/libexec/brenwick/brenwick" "tvctl start"
echo "$started"

echo "== a priority update played to the end"
"$tvctl" store play --step-delay 0.2 >"$scratch/play.out" 2>&1 &
play=$!
id=""
for _ in $(seq 1 300); do
    id=$("$tvctl" notifications | sed -n 's/.*"op":"post","id":\([0-9]*\).*/\1/p' | tail -n 1)
    [ -n "$id" ] && break
    sleep 0.05
done
[ -n "$id" ] || fail "no notification was posted"
"$tvctl" press "$id" 2 >/dev/null
wait "$play" || fail "store play: $(cat "$scratch/play.out")"
expect_in "$(cat "$scratch/play.out")" "priority0_end" "store play"
[ "$("$tvctl" pkg get com.talvoro.tv.zefo.homeversion)" = 2.0.0 ] || fail "Home not updated"
expect_in "$("$tvctl" launches)" '["LaunchReason","LoadingUI"]' "launches"
"$tvctl" stop com.talvoro.tv.brenwick >/dev/null
service_started=""
version_line=$(grep -n " I/BRENWICK([0-9]*): BrenwickMain.cpp: OnCreate([0-9]*) > brenwick $version\$" "$TV_DEVICE_ROOT/log/dlog.log" | cut -d: -f1)
create_line=$(grep -n "> Create BrenwickMain\$" "$TV_DEVICE_ROOT/log/dlog.log" | cut -d: -f1)
[ -n "$version_line" ] && [ "$version_line" -gt "$create_line" ] ||
    fail "no info line 'brenwick $version' after the start-up lines"
echo "package test: passed ($(basename "$deb"))"
