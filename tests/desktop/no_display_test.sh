#!/bin/sh
# The program started with no display: one line on stderr that says what it needs and how to run
# it on a server, and status 1. A chosen platform (offscreen, as the tests use) still starts.
# Usage: no_display_test.sh <program>
set -u
program=$1
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"
failures=0

expect_refusal() {
    what=$1
    shift
    env "$@" "$program" >"$home/out" 2>"$home/err" </dev/null
    status=$?
    lines=$(wc -l <"$home/err")
    if [ "$status" -ne 1 ] || [ "$lines" -ne 1 ] || ! grep -q 'needs a graphical session' "$home/err" ||
        ! grep -q 'xvfb-run' "$home/err" || [ -s "$home/out" ]; then
        echo "FAIL ($what): status $status, stderr:"
        cat "$home/err"
        failures=$((failures + 1))
    fi
}

expect_refusal "both unset" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM
expect_refusal "both empty" -u QT_QPA_PLATFORM DISPLAY= WAYLAND_DISPLAY=
expect_refusal "empty platform" DISPLAY= WAYLAND_DISPLAY= QT_QPA_PLATFORM=
# A display that is named but not there: the toolkit's own failure becomes the same one line.
expect_refusal "no server on the display" -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:87

# With the offscreen platform chosen the program starts its window instead of refusing: it is
# still there a second later, and has said nothing about a graphical session.
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$program" >/dev/null 2>"$home/err" </dev/null &
child=$!
sleep 1
if ! kill -0 "$child" 2>/dev/null || grep -q 'graphical session' "$home/err"; then
    echo "FAIL (offscreen): the program did not start, stderr:"
    cat "$home/err"
    failures=$((failures + 1))
fi
kill -KILL "$child" 2>/dev/null
wait "$child" 2>/dev/null

[ "$failures" -eq 0 ] && echo "all passed"
exit "$failures"
