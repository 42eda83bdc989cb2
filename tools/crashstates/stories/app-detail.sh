# The release notes fetched and saved in the app-detail cache, then those of a newer version
# replacing them.
# grid: SIZE=200,3000,9000,30000,60000 VERSION=2.0.0,2.3.0 NEXT=3.0.0

setup() { first_start; }

reply() {
    local notes
    notes=$(head -c "$SIZE" /dev/zero | tr '\0' 'n')
    printf '{"status":200,"delayMs":0,"body":"{\\"rsp\\":{\\"stat\\":\\"ok\\",\\"app\\":{\\"version\\":\\"%s\\",\\"description\\":\\"%s %s\\"}}}"}' \
        "$1" "$1" "$notes" >"$SERVER/reply.json"
}

port_known() { [ -e "$SERVER/port" ]; }
both_saved() { [ "$(log_count 'appDetail is generated')" -ge 2 ]; }

play() {
    SERVER=$(mktemp -d)
    reply "$VERSION"
    /usr/bin/python3 "$SOURCE/tests/support/local_http_server.py" "$SERVER" &
    local server=$!
    wait_until port_known
    echo "http://127.0.0.1:$(cat "$SERVER/port")" >"$TV_DEVICE_ROOT/config/server_url"
    start_service
    update_answered 1
    wait_until has_log 'appDetail is generated'
    reply "$NEXT"
    VERSION=$NEXT update_answered 1
    wait_until both_saved
    tv stop $SERVICE
    kill "$server"
    rm -rf "$SERVER"
}
