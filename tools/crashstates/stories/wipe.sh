# A factory reset found at start: the wipe of the data and shared trusted folders, a sub-folder
# in each, the reset flag and the Home version list kept.
# expect: wipe
# variant default: FILES=3

setup() {
    first_start
    local dir i
    for dir in "$APP/data" "$APP/shared/trusted"; do
        mkdir -p "$dir/cache"
        for i in $(seq "$FILES"); do
            printf 'old user data %s\n' "$i" >"$dir/old-$i"
            printf 'old cache %s\n' "$i" >"$dir/cache/page-$i"
        done
    done
    printf '1\n3\n1.5.0|normal\n' >"$APP/data/request_retry.txt"
    : >"$APP/data/hidden_mode"
    printf '{"id":"x","version":"1.5.0"}' >"$APP/shared/trusted/abtest"
    printf '1.1.0\n' >"$APP/shared/trusted/.home_version_tracker"
    tv set -t int db/factory/factory_reset_count 1
}

play() {
    start_service
    tv stop $SERVICE
}
