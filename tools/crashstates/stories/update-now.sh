# "Update now" to the end: the notification's second button, the install, the end.
# variant default: VERSION=2.0.0 MAX_RETRY=3
# variant abtest: VERSION=2.1.0 GROUP=abtest MAX_RETRY=2

setup() { first_start; }

play() {
    start_service
    update_answered 2
    tv stop $SERVICE
}
