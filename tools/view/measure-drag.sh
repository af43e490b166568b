#!/usr/bin/env bash
# Measures the viewer while its model is dragged round: starts it on MESH in
# a private Xvfb server, drags with the left button for SECONDS with xdotool,
# and prints the captions shown meanwhile and their min and median figures.
# usage: measure-drag.sh VIEWER MESH [SECONDS [VIEWER OPTIONS...]]
set -uo pipefail
viewer=$(realpath "$1")
mesh=$(realpath "$2")
seconds=${3:-12}
shift $(($# < 3 ? $# : 3))
work=$(mktemp -d)
xvfbPid= viewerPid= spyPid=
cleanup() {
    # Only what this script started, by pid.
    for pid in $spyPid $viewerPid $xvfbPid; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

display=$((600 + RANDOM % 300))
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null &
xvfbPid=$!
export DISPLAY=":$display"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

"$viewer" "$@" "$mesh" >"$work/out" 2>"$work/err" &
viewerPid=$!
window=
for _ in $(seq 1200); do
    window=$(xdotool search --name 'fps/' 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    kill -0 "$viewerPid" 2>/dev/null || { cat "$work/err"; exit 1; }
    sleep 0.1
done
[ -n "$window" ] || { echo "no caption with figures"; exit 1; }

# Back and forth across the window, 8 pixels every 10 ms, from one xdotool
# process so that starting processes does not take the machine's time.
moves=()
x=100 step=8
for _ in $(seq $((seconds * 100))); do
    x=$((x + step))
    { [ "$x" -ge 412 ] || [ "$x" -le 100 ]; } && step=$((-step))
    moves+=(mousemove --window "$window" "$x" 190 sleep 0.01)
done
xdotool mousemove --window "$window" 100 190 mousedown 1
xprop -id "$window" -spy WM_NAME >"$work/captions" &
spyPid=$!
xdotool "${moves[@]}"
xdotool mouseup 1
kill "$spyPid"
spyPid=
xdotool key --window "$window" Escape 2>/dev/null

# The first caption was measured partly before the drag.
sed -n 's/^WM_NAME(STRING) = "\(.*\)"$/\1/p' "$work/captions" | tail -n +2 | tee "$work/during"
sed -n 's/.* - \([0-9.]*\)fps\/\([0-9.]*\)Mrays.*/\1 \2/p' "$work/during" |
    sort -n | awk '{ f[NR] = $1; m[NR] = $2 } END {
        if (NR == 0) { print "no figures"; exit 1 }
        printf "while dragging: %d captions; fps min %s median %s; Mrays/s at those %s, %s\n",
            NR, f[1], f[int((NR + 1) / 2)], m[1], m[int((NR + 1) / 2)] }'
