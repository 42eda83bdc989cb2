#!/usr/bin/env bash
# Installs what is missing, builds, provisions a fresh television under build/demo-device,
# starts the service and plays one priority update end to end, telling the story as it goes.
#
#   scripts/demo.sh [accept|request|decline|failures]
#   scripts/demo.sh screen [--port N] [--bind ADDR]
#     accept    the user presses "Update now" on the notification (default)
#     request   an application asks for the update ("CheckUpdateValidation")
#     decline   the user opens the details page and declines this version
#     failures  downloads fail until the retry limit stops the version
#     screen    serves the television's screen as a web page and prints its address: play,
#               watch and press the update in a browser until Ctrl-C
set -euo pipefail
cd "$(dirname "$0")/.."
scenario=${1:-accept}
case "$scenario" in accept | request | decline | failures | screen) ;; *)
    echo "usage: $0 [accept|request|decline|failures] | $0 screen [--port N] [--bind ADDR]" >&2
    exit 2
    ;;
esac
shift || true

scripts/setup.sh
scripts/build.sh build >/dev/null

export TV_DEVICE_ROOT=${TV_DEVICE_ROOT:-$PWD/build/demo-device}
export TV_LOG_STDERR=0
tvctl=build/tools/tvctl/tvctl
service_pid=""
store_pid=""
cleanup() {
    [ -n "$store_pid" ] && kill "$store_pid" 2>/dev/null || true
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

# Waits until `tvctl notifications` shows a posted notification; prints its id.
wait_for_notification() {
    for _ in $(seq 1 200); do
        id=$("$tvctl" notifications | sed -n 's/.*"op":"post","id":\([0-9]*\).*/\1/p' | tail -n 1)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.05
    done
    echo "no notification was posted" >&2
    return 1
}

say "A factory-fresh television at $TV_DEVICE_ROOT"
"$tvctl" init --force
echo "Home version $("$tvctl" pkg get com.talvoro.tv.zefo.homeversion)"

say "Starting the service"
build/source/brenwick &
service_pid=$!
for _ in $(seq 1 100); do
    [ -S "$TV_DEVICE_ROOT/run/com.talvoro.tv.brenwick.sock" ] && break
    sleep 0.05
done
"$tvctl" ps

# Plays an update in the background until the notification is up, then the user presses BUTTON;
# the rest of the scenario runs before the play is waited for.
play_and_press() {
    "$tvctl" store play --narrate --step-delay 0.4 &
    play_pid=$!
    id=$(wait_for_notification)
    sleep 1
    "$tvctl" press "$id" "$1" >/dev/null
}

case "$scenario" in
accept)
    say "The store service plays a priority update; the user presses \"Update now\""
    play_and_press 2
    wait "$play_pid"
    ;;
request)
    say "The store service waits for requests; an application asks for the update"
    "$tvctl" store serve --narrate --step-delay 0.4 &
    store_pid=$!
    sleep 0.5
    "$tvctl" launch com.talvoro.tv.brenwick LaunchReason=CheckUpdateValidation
    for _ in $(seq 1 200); do
        [ "$("$tvctl" get memory/home/priority_update_status)" = done ] && break
        sleep 0.05
    done
    sleep 0.5
    kill "$store_pid" && wait "$store_pid" || true
    store_pid=""
    ;;
decline)
    say "The store service plays a priority update; the user opens the details and declines"
    play_and_press 3
    sleep 1
    "$tvctl" launch com.talvoro.tv.brenwick LaunchReason=DetailPopup RequestStatus=3 >/dev/null
    wait "$play_pid"
    ;;
failures)
    say "The store service tries the download three times; every try fails"
    "$tvctl" store play --narrate --step-delay 0.4 --max-retry 1 --fail download --attempts 3
    ;;
screen)
    say "The television's screen: open the address below; Ctrl-C stops the screen and the service"
    screen_status=0
    "$tvctl" screen "$@" || screen_status=$?
    # A Ctrl-C in the terminal has ended the service as well, or it is stopped now.
    "$tvctl" stop com.talvoro.tv.brenwick >/dev/null 2>&1 || true
    wait "$service_pid" || true
    exit "$screen_status"
    ;;
esac

say "Stopping the service"
"$tvctl" stop com.talvoro.tv.brenwick
status=0
wait "$service_pid" || status=$?
service_pid=""
echo "brenwick exited with status $status"
echo "The service's log: $TV_DEVICE_ROOT/log/dlog.log ($(wc -l <"$TV_DEVICE_ROOT/log/dlog.log") lines)"
exit "$status"
