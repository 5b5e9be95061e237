#!/bin/sh
# The program started with no display: --help and --version answered, an unknown option refused
# with status 2; otherwise one line on stderr that says what it needs and how to run it on a
# server, and status 1. A chosen platform (offscreen, as the tests use) still starts.
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

# The options are answered without a display: help and version on standard output, an unknown
# option with the usage on standard error and status 2.
expect_answer() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" "$1" >"$home/out" 2>"$home/err"
    status=$?
    if [ "$status" -ne "$2" ] || ! grep -qxF "$4" "$home/$3"; then
        echo "FAIL ($1): status $status, output:"
        cat "$home/out" "$home/err"
        failures=$((failures + 1))
    fi
}
expect_answer --help 0 out 'Usage: ferrovane [OPTION]...'
expect_answer --version 0 out 'ferrovane 1.4'
expect_answer --no-such-option 2 err 'Usage: ferrovane [OPTION]...'

# With the offscreen platform chosen the program starts its window instead of refusing, the
# toolkit's own options passed on: it is still there a second later, and has said nothing about a
# graphical session.
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$program" -style Fusion -reverse \
    >/dev/null 2>"$home/err" </dev/null &
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
