# The hidden test mode switched on (after TOGGLES presses of the hidden key), then an update that
# finishes it: installed, failed, or put off.
# grid: END=install,fail,later TOGGLES=1,3 MAX_RETRY=3,1 GROUP=normal,abtest

setup() { first_start; }

off() { ! hidden_on; }

play() {
    start_service
    for i in $(seq "$TOGGLES"); do
        tv launch $SERVICE LaunchReason=Hidden_Key
        if [ $((i % 2)) = 1 ]; then wait_until hidden_on; else wait_until off; fi
    done
    case $END in
    install) update_answered 2 ;;
    later) update_answered 1 ;;
    fail)
        store_play --fail download
        wait "$STORE"
        ;;
    esac
    tv stop $SERVICE
}
