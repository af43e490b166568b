#!/usr/bin/env bash
# End-to-end checks of the real program, each under a private X server.
# usage: shell_e2e.sh SCENARIO PROGRAM BITMAP_DIR CLOSE_HELPER
#   SCENARIO: escape | window-close | bitmap-missing | bitmap-unreadable | no-display
set -uo pipefail

scenario=$1
program=$(realpath "$2")
bitmapDir=$(realpath "$3")
closeHelper=$(realpath "$4")

captionPattern='^[0-9]+fps/[0-9]+\.[0-9][0-9]Mrays$'
work=$(mktemp -d)
xvfbPid=
programPid=

cleanup() {
    # Only what this script started, by pid.
    [ -n "$programPid" ] && kill "$programPid" 2>/dev/null
    [ -n "$xvfbPid" ] && kill "$xvfbPid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL ($scenario): $*"
    for f in out err; do
        [ -s "$work/$f" ] && { echo "--- program std$f:"; cat "$work/$f"; }
    done
    exit 1
}

# waitFor SECONDS COMMAND...: polls until the command succeeds.
waitFor() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

displayChosen() { grep -q '^[0-9]' "$work/display"; }
xvfbSettled() { displayChosen || ! kill -0 "$xvfbPid" 2>/dev/null; }
xvfbAnswers() { kill -0 "$xvfbPid" 2>/dev/null && xdpyinfo >/dev/null 2>&1; }

startX() {
    # -displayfd picks a free display, so parallel runs do not collide; other
    # servers come and go meanwhile, and one that lost that race is replaced.
    # -noreset: a reset after each probe's disconnect would refuse the
    # program's own connection.
    local attempt
    for attempt in 1 2 3 4 5; do
        : >"$work/display"
        Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
        xvfbPid=$!
        if waitFor 60 xvfbSettled && displayChosen; then
            export DISPLAY=":$(head -n 1 "$work/display")"
            waitFor 10 xvfbAnswers && return 0
        fi
        kill "$xvfbPid" 2>/dev/null
        wait "$xvfbPid" 2>/dev/null
        xvfbPid=
    done
    fail "Xvfb did not start: $(cat "$work/xvfb.log")"
}

# startProgram DIR: runs the program with DIR as working directory.
startProgram() {
    (cd "$1" && exec "$program" >"$work/out" 2>"$work/err" </dev/null) &
    programPid=$!
}

programGone() { ! kill -0 "$programPid" 2>/dev/null; }

# waitExit SECONDS: waits for the program to end and sets status.
waitExit() {
    waitFor "$1" programGone || fail "program still running after $1 s"
    wait "$programPid"
    status=$?
    programPid=
}

findWindow() { xdotool search --name "$1" 2>/dev/null | head -n 1; }

# waitForWindow SECONDS TITLE_PATTERN: sets window; fails at once if the
# program ends first.
waitForWindow() {
    local deadline=$((SECONDS + $1))
    while :; do
        window=$(findWindow "$2")
        [ -n "$window" ] && return 0
        programGone && fail "program ended before a window titled '$2' showed"
        [ "$SECONDS" -ge "$deadline" ] && fail "no window titled '$2' after $1 s"
        sleep 0.1
    done
}

expectWindowSize() {
    local geometry
    geometry=$(xwininfo -id "$window" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h}')
    [ "$geometry" = "512x384" ] || fail "window is $geometry, expected 512x384"
}

# Runs until the performance caption shows, then checks the window.
startAndWaitForCaption() {
    startX
    startProgram "$bitmapDir"
    # The scene build comes first; allow a slow machine plenty of time.
    waitForWindow 300 "$captionPattern"
    expectWindowSize
    local title
    title=$(xdotool getwindowname "$window")
    [[ "$title" =~ $captionPattern ]] || fail "caption '$title'"
}

expectCleanExit() {
    waitExit 60
    [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
    printf 'Exited cleanly\n' | cmp -s - "$work/out" || fail "standard output is not exactly 'Exited cleanly'"
}

# expectFailure PREFIX: exit status 1 and one line, PREFIX then SDL's text.
expectFailure() {
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    [ "$(wc -l <"$work/out")" -eq 1 ] || fail "expected one line of output"
    grep -q "^$1..*" "$work/out" || fail "expected '$1' and a reason"
}

case "$scenario" in
escape)
    startAndWaitForCaption
    # The key release may find the window gone already; that is fine.
    xdotool key --window "$window" Escape 2>/dev/null
    expectCleanExit
    ;;
window-close)
    startAndWaitForCaption
    "$closeHelper" "$window" || fail "could not send the close request"
    expectCleanExit
    ;;
bitmap-missing)
    startX
    mkdir "$work/empty"
    startProgram "$work/empty"
    waitExit 60
    expectFailure "Unable to load bitmap: "
    ;;
bitmap-unreadable)
    # A FIFO holds the program at the bitmap load, so the window can be seen
    # before it: open, 512x384, still under its first caption.
    startX
    mkdir "$work/fifo"
    mkfifo "$work/fifo/cb.bmp"
    startProgram "$work/fifo"
    waitForWindow 60 '^vantrel rtrt$'
    expectWindowSize
    # An empty stream is not a bitmap.
    timeout 60 bash -c ': >"$1"' _ "$work/fifo/cb.bmp" || fail "program never opened cb.bmp"
    waitExit 60
    expectFailure "Unable to load bitmap: "
    ;;
no-display)
    # Neither a display nor a chosen video driver.
    unset DISPLAY SDL_VIDEODRIVER
    startProgram "$bitmapDir"
    waitExit 60
    expectFailure "Unable to init SDL: "
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "PASS ($scenario): $(tr -d "\n" <"$work/out" 2>/dev/null)"
