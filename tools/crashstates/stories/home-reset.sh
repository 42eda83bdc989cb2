# A Home reset: the flag file, the tracking file (missing, holding another version, the version,
# a part of it, or several lines), the A/B-test flag removed when there is one, the reboot.
# grid: TRACKED=1.1.0,none,1.5.0,1.5,several ABTEST=1,0 HOME_VERSION=1.5.0,2.0.0

setup() {
    first_start
    tv pkg set com.talvoro.tv.zefo.homeversion "$HOME_VERSION"
    local tracker=$APP/shared/trusted/.home_version_tracker
    case $TRACKED in
    none) ;;
    several) printf '1.0.0\n1.1.0\n1.2.0\n' >"$tracker" ;;
    *) printf '%s\n' "$TRACKED" >"$tracker" ;;
    esac
    if [ "$ABTEST" = 1 ]; then
        printf '{"id":"x","version":"%s","targetGroupType":"abtest"}' "$HOME_VERSION" \
            >"$APP/shared/trusted/abtest"
    fi
}

play() {
    start_service
    tv set db/home/reset_status start
    wait_until service_gone
}
