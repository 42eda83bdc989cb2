# What the stories share. The explorer sets TVCTL, TV_DEVICE_ROOT and each variant's settings,
# runs a story's setup() as it is, then its play() with the service under strace.
set -euo pipefail

SERVICE=com.talvoro.tv.brenwick
APP=$TV_DEVICE_ROOT/fs/home/owner/apps_rw/$SERVICE
VERSION=${VERSION:-2.0.0}
GROUP=${GROUP:-normal}
MAX_RETRY=${MAX_RETRY:-3}

tv() { "$TVCTL" "$@" >/dev/null; }

# A story that stops half-way leaves no service running behind it.
trap '"$TVCTL" stop $SERVICE >/dev/null 2>&1 || true' EXIT

# Waits (at most 20 s) until CHECK succeeds.
wait_until() {
    for _ in $(seq 1000); do
        if "$@"; then return 0; fi
        sleep 0.02
    done
    echo "story: gave up waiting for: $*" >&2
    return 1
}

has_log() { grep -q -- "$1" "$TV_DEVICE_ROOT/log/dlog.log"; }
log_count() { cat "$TV_DEVICE_ROOT/log/dlog.log" 2>/dev/null | grep -c -- "$1" || true; }
more_logs() { [ "$(log_count "$1")" -gt "$2" ]; }

# Starts the service and waits for the end of its start-up: it listens a little before its
# managers watch their keys.
start_service() {
    local before
    before=$(log_count '> brenwick [0-9]')
    tv start
    wait_until more_logs '> brenwick [0-9]' "$before"
}

# The service's first start on this television (its first reset check and wipe), so that a
# story begins from a set that has run it before.
first_start() { start_service; tv stop $SERVICE; }

hidden_on() { [ -e "$APP/data/hidden_mode" ]; }

# The first start, and with HIDDEN=1 the test mode switched on before the story.
prepare() {
    first_start
    if [ "${HIDDEN:-0}" = 1 ]; then
        start_service
        tv launch $SERVICE LaunchReason=Hidden_Key
        wait_until hidden_on
        tv stop $SERVICE
    fi
}
notifications() { cat "$TV_DEVICE_ROOT/log/notification.jsonl" 2>/dev/null | grep -c '"buttons":\[1,2,3\]' || true; }
more_notifications() { [ "$(notifications)" -gt "$1" ]; }

# Prints the id of the next update notification, once there are more than $1.
next_notification() {
    wait_until more_notifications "$1"
    grep '"buttons":\[1,2,3\]' "$TV_DEVICE_ROOT/log/notification.jsonl" | tail -n 1 |
        sed 's/.*"id":\([0-9]*\).*/\1/'
}

# Plays one update in the background; STORE holds its process id.
store_play() {
    "$TVCTL" store play --step-delay 0.05 --version "$VERSION" --group "$GROUP" \
        --max-retry "$MAX_RETRY" "$@" >/dev/null &
    STORE=$!
}

# One update whose notification the user answers with button $1.
update_answered() {
    local seen id
    seen=$(notifications)
    store_play
    id=$(next_notification "$seen")
    tv press "$id" "$1"
    wait "$STORE"
}

service_gone() { ! "$TVCTL" ps | grep -q "^$SERVICE "; }
