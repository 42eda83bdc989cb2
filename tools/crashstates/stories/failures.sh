# Downloads that fail up to the retry limit and past it: the recovery action.
# variant default: VERSION=2.0.0 MAX_RETRY=1 FAIL=download ATTEMPTS=3

setup() { first_start; }

play() {
    start_service
    store_play --fail "$FAIL" --attempts "$ATTEMPTS"
    wait "$STORE"
    tv stop $SERVICE
}
