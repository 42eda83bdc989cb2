# The details page, and the version declined there.
# variant default: VERSION=2.0.0 MAX_RETRY=3

setup() { first_start; }

play() {
    local seen id
    start_service
    seen=$(notifications)
    store_play
    id=$(next_notification "$seen")
    tv press "$id" 3
    tv launch $SERVICE LaunchReason=DetailPopup RequestStatus=3
    wait "$STORE"
    tv stop $SERVICE
}
