#!/usr/bin/env bash
# The demo program under Xvfb: a 1280x720 window (at least 800x600) with its icon and the editor
# painted, ended with status 0 by SIGTERM or the close message; with port 5000 taken, an error
# page and 1 on SIGINT.
# Usage: demo_window_test.sh DEMO X11_CLOSE OUTDIR
set -euo pipefail
demo=$1 close=$2 out=$3 pid= taker=
home=$(mktemp -d)
trap 'kill $taker 2>/dev/null; [ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$home"' EXIT
export XDG_DATA_HOME=$home XDG_CACHE_HOME=$home XDG_CONFIG_HOME=$home
fail() { echo "FAIL: $*" >&2; cat "$home"/*.log >&2; exit 1; }

# Starts the demo and waits for its window; sets pid and window.
start() {
    "$demo" >"$home/$1.log" 2>&1 &
    pid=$!
    # All of xdotool's answer first, then its first line: under pipefail, head leaving early would
    # kill xdotool with SIGPIPE and fail the pipeline although the window was found.
    window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Korvaline$') ||
        fail "no window titled Korvaline within 60 s"
    window=${window%%$'\n'*}
    size=$(xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
    [ "$size" = 1280x720 ] || fail "the window is $size, not 1280x720"
    [[ "$(xprop -id "$window" WM_NORMAL_HINTS)" == *"minimum size: 800 by 600"* ]] ||
        fail "the window may shrink below 800x600"
}
# Takes screenshots until the screen holds more than $1 colours (the editor paints thousands, a
# blank window one, the error page a few hundred); generous, as each takes a second when loaded.
painted() {
    for _ in $(seq 1 90); do
        import -window root "$out/$2.png"
        [ "$(identify -format '%k' "$out/$2.png")" -gt "$1" ] && return 0
        sleep 0.5
    done
    fail "$2: the window stays blank"
}
# Waits, bounded, for the demo to end with status $2.
ends_with() {
    for _ in $(seq 1 300); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    status=0
    wait $pid || status=$?
    pid=
    [ "$status" = "$2" ] || fail "exit status $status after $1"
}

start sigterm
[[ "$(xprop -id "$window" WM_HINTS)" == *icon* ]] || fail "the window offers the desktop no icon"
painted 1000 demo-window
kill -TERM $pid
ends_with SIGTERM 0
# The web engine's signal is chosen without its environment variable, which each of the engine's
# processes would report as an "invalid option".
! grep -q ERROR "$home/sigterm.log" || fail "the demo printed errors"

start wm-delete
"$close" "$window" || fail "could not send WM_DELETE_WINDOW"
ends_with WM_DELETE_WINDOW 0

python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 5000)); s.listen(); print("taken", flush=True); time.sleep(600)' >"$home/taker.log" &
taker=$!
for _ in $(seq 1 600); do grep -q taken "$home/taker.log" && break; sleep 0.1; done
grep -q taken "$home/taker.log" || fail "could not take port 5000"
start port-taken
painted 16 demo-port-taken
grep -q "Cannot listen" "$home/port-taken.log" || fail "no diagnostic line for the taken port"
kill -INT $pid
ends_with "SIGINT with the port taken" 1
echo "window 1280x720 with icon and editor; closed by SIGTERM, WM_DELETE_WINDOW and, port taken, SIGINT"
