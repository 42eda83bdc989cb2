# "Update now" to the end: the notification's second button, the install, the end.
# grid: GROUP=normal,abtest MAX_RETRY=3,1,2,5 VERSION=2.0.0,2.4.0 HIDDEN=0,1

setup() { prepare; }

play() {
    start_service
    update_answered 2
    tv stop $SERVICE
}
