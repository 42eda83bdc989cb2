# What the stories share. The explorer sets TVCTL, TV_DEVICE_ROOT and each variant's settings,
# runs a story's setup() as it is, then its play() with the service under strace.
set -euo pipefail

SERVICE=com.talvoro.tv.brenwick
APP=$TV_DEVICE_ROOT/fs/home/owner/apps_rw/$SERVICE
VERSION=${VERSION:-2.0.0}
GROUP=${GROUP:-normal}
MAX_RETRY=${MAX_RETRY:-3}

tv() { "$TVCTL" "$@" >/dev/null; }

# Waits (at most 20 s) until CHECK succeeds.
wait_until() {
    for _ in $(seq 1000); do
        if "$@"; then return 0; fi
        sleep 0.02
    done
    echo "story: gave up waiting for: $*" >&2
    return 1
}

# The service's first start on this television (its first reset check and wipe), so that a
# story begins from a set that has run it before.
first_start() { tv start; tv stop $SERVICE; }

has_log() { grep -q -- "$1" "$TV_DEVICE_ROOT/log/dlog.log"; }
log_count() { grep -c -- "$1" "$TV_DEVICE_ROOT/log/dlog.log" || true; }
notifications() { grep -c '"buttons":\[1,2,3\]' "$TV_DEVICE_ROOT/log/notification.jsonl" 2>/dev/null || true; }
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
    local seen
    seen=$(notifications)
    store_play
    tv press "$(next_notification "$seen")" "$1"
    wait "$STORE"
}

service_gone() { ! "$TVCTL" ps | grep -q "^$SERVICE "; }
