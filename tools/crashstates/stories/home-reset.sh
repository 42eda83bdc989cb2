# A Home reset: the flag file, the tracking file, the A/B-test flag removed, the reboot.
# variant default: HOME_VERSION=1.5.0 TRACKED=1.1.0

setup() {
    first_start
    tv pkg set com.talvoro.tv.zefo.homeversion "$HOME_VERSION"
    printf '%s\n' "$TRACKED" >"$APP/shared/trusted/.home_version_tracker"
    printf '{"id":"x","version":"%s","targetGroupType":"abtest"}' "$HOME_VERSION" \
        >"$APP/shared/trusted/abtest"
}

play() {
    start_service
    tv set db/home/reset_status start
    wait_until service_gone
}
