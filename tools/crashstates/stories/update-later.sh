# "Update later", then an update nobody answers (the store service's time-out), ROUNDS times.
# grid: MAX_RETRY=2,1,3,5 ROUNDS=1,2,3,4,5,6 GROUP=normal,abtest HIDDEN=0,1

setup() { prepare; }

play() {
    start_service
    for _ in $(seq "$ROUNDS"); do
        update_answered 1
        store_play --answer-timeout 0.3
        wait "$STORE"
    done
    tv stop $SERVICE
}
