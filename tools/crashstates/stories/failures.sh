# Downloads (installs, space) that fail up to the retry limit and past it: the recovery action.
# grid: FAIL=download,install,space MAX_RETRY=1,2,3 ATTEMPTS=3,1,2,6 GROUP=normal,abtest HIDDEN=0,1

setup() { prepare; }

play() {
    start_service
    if [ "$FAIL" != install ]; then
        store_play --fail "$FAIL" --attempts "$ATTEMPTS"
    else
        # An install fails after the user's answer.
        local seen id
        seen=$(notifications)
        store_play --fail "$FAIL" --attempts "$ATTEMPTS"
        id=$(next_notification "$seen")
        tv press "$id" 2
    fi
    wait "$STORE"
    tv stop $SERVICE
}
