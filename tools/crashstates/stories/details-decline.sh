# The details page, and the version declined there, after LATER updates put off.
# grid: MAX_RETRY=3,1,2,5 LATER=0,1,2,3 GROUP=normal,abtest HIDDEN=0,1

setup() { prepare; }

play() {
    local seen id
    start_service
    for _ in $(seq "$LATER"); do update_answered 1; done
    seen=$(notifications)
    store_play
    id=$(next_notification "$seen")
    tv press "$id" 3
    tv launch $SERVICE LaunchReason=DetailPopup RequestStatus=3
    wait "$STORE"
    tv stop $SERVICE
}
