#!/usr/bin/env bash
# Both programs as a shell starts them: the answers to their command line, and a start without a
# window that maps no GTK or WebKit object. Usage: programs_test.sh KORVALINE KORVALINE_DEMO
set -euo pipefail
pid= log=$(mktemp)
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -f "$log" "$log.out" "$log.err"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for program in "$@"; do
    name=$(basename "$program")
    # arguments | exit status | what standard output starts with | what standard error starts with
    while IFS='|' read -r arguments status out err; do
        got=0
        # shellcheck disable=SC2086 # the arguments are words
        "$program" $arguments >"$log.out" 2>"$log.err" || got=$?
        [[ "$got" == "$status" && "$(cat "$log.out")" == "$out"* && "$(cat "$log.err")" == "$err"* ]] ||
            fail "$name $arguments: status $got, printed $(cat "$log.out" "$log.err")"
    done <<TABLE
--help|0|Usage: $name [--headless]|
--version|0|$name 1.|
--headless --version|0|$name 1.|
--frobnicate|2||$name: unrecognised argument '--frobnicate'; try --help
--headless stray|2||$name: unrecognised argument 'stray'; try --help
TABLE

    # Started without a window twice: --headless with a display named, and no display at all.
    for how in "env DISPLAY=:97 $program --headless" "env -u DISPLAY -u WAYLAND_DISPLAY $program"; do
        # Emptied here, not by the background job: a job slow to start would leave the last
        # program's "serving" line in the log for the wait below to find.
        : >"$log"
        $how >"$log" 2>&1 &
        pid=$!
        timeout 60 bash -c "until grep -q 'serving the Korvaline pages' '$log'; do sleep 0.1; done" ||
            fail "$how did not serve: $(cat "$log")"
        ! grep -Ei 'gtk|webkit|javascriptcore|gdk|korvaline-window' "/proc/$pid/maps" || fail "$how maps GTK or WebKit"
        kill -TERM "$pid"
        wait "$pid" || fail "$how: exit status $? after SIGTERM"
        pid=
    done
done
