#!/usr/bin/env bash
# The demo's window under Xvfb: its title, which the desktop's task bar shows, marks the module's
# unsaved changes as "• Korvaline" from an edit until the save.
# Usage: window_title_test.sh DEMO
set -euo pipefail
home=$(mktemp -d) pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$home"' EXIT
export XDG_DATA_HOME=$home XDG_CACHE_HOME=$home XDG_CONFIG_HOME=$home
fail() { echo "FAIL: $*" >&2; cat "$home/demo.log" >&2; exit 1; }
get() { python3 -c 'import sys, urllib.request; urllib.request.urlopen("http://127.0.0.1:5000" + sys.argv[1], timeout=5)' "$1" 2>/dev/null; }
titled() { timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" >/dev/null || fail "no window titled $1"; }

"$1" >"$home/demo.log" 2>&1 &
pid=$!
titled Korvaline
# An edit marks the module unsaved once the module is open; until then it is refused.
marked=
for _ in $(seq 1 300); do
    get /set/kick/note/40 && xdotool search --onlyvisible --name '^• Korvaline$' >/dev/null && marked=1 && break
    sleep 0.2
done
[ -n "$marked" ] || fail "no window titled • Korvaline after an edit"
get /save_params_all || fail "the save was refused"
titled Korvaline
kill -TERM $pid
wait $pid
pid=
echo "the title follows the unsaved changes"
