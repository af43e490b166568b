# Helpers for end-to-end checks of the real program, each under a private X
# server. Sourced; the sourcing script sets `scenario` and may set
# `extraCleanup` to a function of its own.
set -uo pipefail

captionPattern='^[0-9]+fps/[0-9]+\.[0-9][0-9]Mrays$'
work=$(mktemp -d)
xvfbPid=
programPid=
spyPid=
extraCleanup=

cleanup() {
    # Only what this script started, by pid.
    [ -n "$spyPid" ] && kill "$spyPid" 2>/dev/null
    [ -n "$programPid" ] && kill "$programPid" 2>/dev/null
    [ -n "$xvfbPid" ] && kill "$xvfbPid" 2>/dev/null
    wait 2>/dev/null
    [ -n "$extraCleanup" ] && "$extraCleanup"
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

# A screen size of our own tells our server apart from others' on the same
# display number (servers in other sandboxes can share the socket names).
screenSize=832x624
displayAnswers() { xdpyinfo 2>/dev/null | grep -q "dimensions: *$screenSize pixels"; }

startX() {
    # -displayfd picks a free display, so parallel runs do not collide. Other
    # X servers on the machine can still take its place, so it must answer
    # before the program is started, or another is tried. No reset when a
    # client leaves, so that the check does not race the program.
    local try
    for try in 1 2 3 4 5; do
        : >"$work/display"
        Xvfb -displayfd 3 -screen 0 "${screenSize}x24" -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
        xvfbPid=$!
        waitFor 60 grep -q '^[0-9]' "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
        export DISPLAY=":$(head -n 1 "$work/display")"
        waitFor 10 displayAnswers && return 0
        kill "$xvfbPid" 2>/dev/null
        wait "$xvfbPid" 2>/dev/null
        xvfbPid=
    done
    fail "no X server of ours answered on $DISPLAY: $(cat "$work/xvfb.log") $(xdpyinfo 2>&1 | head -n 3)"
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

windowFound() {
    window=$(findWindow "$1")
    [ -n "$window" ]
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
