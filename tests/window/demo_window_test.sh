#!/usr/bin/env bash
# The demo program as a drummer sees it, under Xvfb: its window opens at 1280x720 with the editor
# painted, SIGTERM ends it with status 0, and so does the window manager's close message
# (WM_DELETE_WINDOW, sent from another X client). Usage: demo_window_test.sh DEMO X11_PROBE OUTDIR
set -euo pipefail
demo=$1
probe=$2
out=$3
home=$(mktemp -d)
pid=
taker=
cleanup() {
    if [ -n "$taker" ]; then
        kill "$taker" 2>/dev/null || true
    fi
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid"
    fi
    rm -rf "$home"
}
trap cleanup EXIT
export XDG_DATA_HOME=$home/data XDG_CACHE_HOME=$home/cache XDG_CONFIG_HOME=$home/config
mkdir -p "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_CONFIG_HOME"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Starts the demo and waits for its window; prints nothing, sets pid.
start() {
    "$demo" >"$home/demo-$1.log" 2>&1 &
    pid=$!
    size=$("$probe" wait Korvaline 60) || fail "no window titled Korvaline within 60 s"
    [ "$size" = "1280x720" ] || fail "the window is $size, not 1280x720"
}

# Waits for the demo to end (bounded) and checks that its exit status is at most $2 (default 0).
expect_exit() {
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "the demo did not end within 30 s after $1"
    status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -le "${2:-0}" ] || { cat "$home"/demo-*.log; fail "exit status $status after $1"; }
}

# Takes screenshots until the screen holds more than $1 colours, within a generous bound on a
# loaded machine; each screenshot takes a second or more there.
screenshot_until_colours() {
    local deadline=$((SECONDS + 90))
    colours=0
    while [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.5
        import -window root "$shot"
        colours=$(identify -format '%k' "$shot")
        [ "$colours" -gt "$1" ] && return 0
    done
    return 1
}

# The editor (text, widgets, the velocity curve) paints thousands of colours; a blank window has
# one, and the error page a few hundred.
start sigterm
# The program reports a taken port before it opens its window.
if grep -q "Cannot listen" "$home/demo-sigterm.log"; then
    ss -ltnp 'sport = :5000' || true
    fail "port 5000 is taken by another program; this test needs it"
fi
shot=$out/demo-window.png
screenshot_until_colours 1000 || fail "the window shows only $colours colours: no editor"
sleep 2 # the page's first API answers arrive 250 ms after load; show them in the screenshot
import -window root "$shot"
echo "screenshot: $shot ($(identify -format '%k' "$shot") colours)"
kill -TERM "$pid"
expect_exit SIGTERM
# The web engine's signal is set without its environment variable, which each of the engine's
# processes would report as an "invalid option" on every start.
if grep -q "ERROR" "$home/demo-sigterm.log"; then
    cat "$home/demo-sigterm.log"
    fail "the demo printed errors"
fi

start wm-delete
"$probe" close Korvaline || fail "could not send WM_DELETE_WINDOW"
expect_exit WM_DELETE_WINDOW
echo "closed with status 0 by SIGTERM and by WM_DELETE_WINDOW"

# With the port taken by another program the window opens all the same, on the local error page,
# and still closes on Ctrl+C (SIGINT), with the status that says the server never ran.
python3 -c '
import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # earlier runs leave TIME_WAIT behind
s.bind(("127.0.0.1", 5000))
s.listen()
print("taken", flush=True)
time.sleep(600)
' >"$home/taker.log" 2>&1 &
taker=$!
for _ in $(seq 1 100); do
    grep -q taken "$home/taker.log" && break
    sleep 0.1
done
if ! grep -q taken "$home/taker.log"; then
    cat "$home/taker.log"
    ss -ltnp 'sport = :5000' || true
    fail "could not take port 5000"
fi
start port-taken
shot=$out/demo-port-taken.png
screenshot_until_colours 16 || fail "the window stays blank when the port is taken"
grep -q "Cannot listen" "$home/demo-port-taken.log" || fail "no diagnostic line for the taken port"
kill -INT "$pid"
expect_exit "SIGINT with the port taken" 1
kill "$taker"
taker=
echo "port taken: error page shown ($shot), closed with status $status"
