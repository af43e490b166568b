# Helpers for end-to-end checks of the real program, each under a private X
# server. Sourced; the sourcing script sets `scenario` first.
set -uo pipefail

captionPattern='^[0-9]+fps/[0-9]+\.[0-9][0-9]Mrays$'
work=$(mktemp -d)
xvfbPid=
programPid=
spyPid=

cleanup() {
    # Only what this script started, by pid.
    [ -n "$spyPid" ] && kill "$spyPid" 2>/dev/null
    [ -n "$programPid" ] && kill "$programPid" 2>/dev/null
    [ -n "$xvfbPid" ] && kill "$xvfbPid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL ($scenario): $*"
    for f in out err; do
        [ -s "$work/$f" ] && { echo "--- program std$f:"; tail -n 40 "$work/$f"; }
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

# A screen size of our own tells our server apart from others'.
screenSize=832x624
# (Read whole: with pipefail, grep -q leaving early would fail the pipe.)
xvfbAnswers() {
    kill -0 "$xvfbPid" 2>/dev/null && [[ "$(xdpyinfo 2>/dev/null)" =~ dimensions:\ +$screenSize\ pixels ]]
}
xvfbGone() { ! kill -0 "$xvfbPid" 2>/dev/null; }
xvfbSettled() { xvfbAnswers || xvfbGone; }

# A display number that no server seems to use, here or in another sandbox
# that shares this one's socket names: clients try the abstract socket
# @/tmp/.X11-unix/X<n> first, which a server elsewhere may hold even when
# this sandbox's /tmp shows nothing.
freeDisplay() {
    local n
    while :; do
        n=$((100 + RANDOM % 800))
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        grep -q "/tmp/.X11-unix/X$n\$" /proc/net/unix 2>/dev/null && continue
        echo "$n"
        return
    done
}

startX() {
    # A server that lost a display to a parallel run exits or answers with
    # another screen; then another number is tried. -noreset: a reset after
    # each probe's disconnect would refuse the program's own connection.
    local attempt display
    for attempt in 1 2 3 4 5 6 7 8; do
        display=$(freeDisplay)
        Xvfb ":$display" -screen 0 "${screenSize}x24" -nolisten tcp -noreset 2>"$work/xvfb.log" &
        xvfbPid=$!
        export DISPLAY=":$display"
        if waitFor 60 xvfbSettled && xvfbAnswers; then
            return 0
        fi
        kill "$xvfbPid" 2>/dev/null
        wait "$xvfbPid" 2>/dev/null
        xvfbPid=
    done
    fail "no X server of ours started: $(cat "$work/xvfb.log")"
}

# startProgram DIR COMMAND...: runs the command with DIR as working directory.
startProgram() {
    local dir=$1
    shift
    (cd "$dir" && exec "$@" >"$work/out" 2>"$work/err" </dev/null) &
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

# Every caption the program sets from now on adds a line to $work/captions,
# the same text set again included.
spyOnCaption() {
    : >"$work/captions"
    xprop -id "$window" -spy WM_NAME >"$work/captions" 2>/dev/null &
    spyPid=$!
}

captionCountAtLeast() { [ "$(wc -l <"$work/captions")" -ge "$1" ]; }

# waitForCaptionUpdates N SECONDS: N more captions than seen so far. The frame
# loop drains the event queue every frame and updates the caption at most once
# a second, so two updates after an input mean it has been read.
waitForCaptionUpdates() {
    local target=$(($(wc -l <"$work/captions") + $1))
    waitFor "$2" captionCountAtLeast "$target" || fail "caption not updated $1 more times"
}

expectCleanExit() {
    waitExit "${1:-60}"
    [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
    printf 'Exited cleanly\n' | cmp -s - "$work/out" || fail "standard output is not exactly 'Exited cleanly'"
}

# expectFailure PREFIX: exit status 1 and one line, PREFIX then SDL's text.
expectFailure() {
    [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
    [ "$(wc -l <"$work/out")" -eq 1 ] || fail "expected one line of output"
    grep -q "^$1..*" "$work/out" || fail "expected '$1' and a reason"
}
