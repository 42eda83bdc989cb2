# An update an application asks for: the store service serves it, the service answers itself.
# grid: FAIL=none,download,install MAX_RETRY=3,1 GROUP=normal,abtest VERSION=2.0.0,2.2.0 HIDDEN=0,1

setup() { prepare; }

serving() { grep -q 'store: serving' "$TV_DEVICE_ROOT/serve.out"; }
requested_done() { [ "$("$TVCTL" get memory/home/priority_update_status)" = done ]; }

play() {
    local fail=()
    [ "$FAIL" = none ] || fail=(--fail "$FAIL")
    start_service
    "$TVCTL" store serve --step-delay 0.05 --version "$VERSION" --group "$GROUP" \
        --max-retry "$MAX_RETRY" "${fail[@]}" >"$TV_DEVICE_ROOT/serve.out" &
    local serve=$!
    wait_until serving
    tv launch $SERVICE LaunchReason=CheckUpdateValidation
    wait_until requested_done
    kill "$serve"
    wait "$serve"
    tv stop $SERVICE
}
