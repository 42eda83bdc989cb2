# The hidden test mode switched on, then an update that finishes it.
# variant default: VERSION=2.0.0 MAX_RETRY=3

setup() { first_start; }

on() { [ -e "$APP/data/hidden_mode" ]; }

play() {
    start_service
    tv launch $SERVICE LaunchReason=Hidden_Key
    wait_until on
    update_answered 2
    tv stop $SERVICE
}
