# A reset wipe of the data and shared trusted folders, with FILES files in each and in a
# sub-folder DEPTH deep, the reset flag and the Home version list kept: found at start after a
# factory, service or portal reset, or while running after a portal reset.
# expect: wipe
# grid: RESET=factory,service,portal,running FILES=3,1,6,10,15 DEPTH=1,2

setup() {
    first_start
    local dir i sub
    for dir in "$APP/data" "$APP/shared/trusted"; do
        sub=$dir/cache
        [ "$DEPTH" = 1 ] || sub=$sub/pages
        mkdir -p "$sub"
        for i in $(seq "$FILES"); do
            printf 'old user data %s\n' "$i" >"$dir/old-$i"
            printf 'old cache %s\n' "$i" >"$sub/page-$i"
        done
    done
    printf '1\n3\n1.5.0|normal\n' >"$APP/data/request_retry.txt"
    : >"$APP/data/hidden_mode"
    printf '{"id":"x","version":"1.5.0"}' >"$APP/shared/trusted/abtest"
    printf '1.1.0\n' >"$APP/shared/trusted/.home_version_tracker"
    case $RESET in
    factory) tv set -t int db/factory/factory_reset_count 1 ;;
    service) tv set -t int db/factory/service_reset_count 1 ;;
    portal) tv set -t int db/lumaport/reset_count 1 ;;
    esac
}

wiped() { has_log '> Done: .*/shared/trusted/$'; }

play() {
    start_service
    if [ "$RESET" = running ]; then
        tv set -t int db/lumaport/reset_count 1
        tv set -t int memory/kesh/lumaport_reset_state 1
        wait_until wiped
    fi
    tv stop $SERVICE
}
