# A story whose store service is asked for a failure it does not know: it must be reported as a
# story that did not play, and none of it checked.
# expect-failure: did not play: its play() ended with status 2

setup() { first_start; }

play() {
    tv start
    "$TVCTL" store play --fail power >/dev/null
    tv stop $SERVICE
}
