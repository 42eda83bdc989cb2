# "Update later", then an update nobody answers: the store service's time-out.
# variant default: VERSION=2.0.0 MAX_RETRY=2

setup() { first_start; }

play() {
    start_service
    update_answered 1
    store_play --answer-timeout 0.5
    wait "$STORE"
    tv stop $SERVICE
}
