#!/usr/bin/env bash
# The viewer end to end in a real window under a private X server, driven
# by xdotool: it opens a mesh, a drag changes the picture, P writes a PNG
# that is not black, a resize renders at the new size, a huge size neither
# ends it nor keeps Escape waiting, Escape ends it.
# usage: view_e2e.sh VIEWER MESH WINDOW_HASH NOT_BLACK
scenario=drag-shoot-quit
viewer=$(realpath "$1")
mesh=$(realpath "$2")
windowHash=$(realpath "$3")
notBlack=$(realpath "$4")
source "$(dirname "$0")/e2e_common.sh"

figures='^icosphere\.tri - [0-9.]+fps/[0-9]+\.[0-9][0-9]Mrays/s, [0-9]+ threads?, 320 triangles$'
shotCount() { grep -c '\.png$' "$work/out" 2>/dev/null; }
shotsAtLeast() { [ "$(shotCount)" -ge "$1" ]; }

# waitForShot N: the program printed its Nth screenshot's path; sets shot.
waitForShot() {
    waitFor 30 shotsAtLeast "$1" || fail "no path printed for screenshot $1"
    shot=$(grep '\.png$' "$work/out" | sed -n "${1}p")
    [ "$shot" = "$work/model/icosphere-view-$1.png" ] || fail "screenshot $1 went to '$shot'"
    "$notBlack" "$shot" >/dev/null || fail "screenshot $1 is black or unreadable"
}

# The model in a folder of our own, which the screenshots go beside.
mkdir "$work/model"
cp "$mesh" "$work/model/icosphere.tri"
startX
startProgram "$work" "$viewer" model/icosphere.tri
waitForWindow 120 "$figures"
# Frames of an unchanged view are the same picture.
before=$("$windowHash" "$window") || fail "cannot capture the window"
sleep 0.3
[ "$("$windowHash" "$window")" = "$before" ] || fail "the picture changes while nothing moves"

xdotool key --window "$window" p 2>/dev/null
waitForShot 1
xdotool mousemove --window "$window" 200 150 mousedown 1 2>/dev/null
for step in 1 2 3 4 5 6; do
    xdotool mousemove --window "$window" $((200 + step * 15)) $((150 + step * 8)) 2>/dev/null
    sleep 0.05
done
xdotool mouseup 1 2>/dev/null
# Polled, not slept on: with the whole suite running, a frame can take longer.
pictureMoved() {
    local now
    now=$("$windowHash" "$window") && [ "$now" != "$before" ]
}
waitFor 30 pictureMoved || fail "the picture did not change after a drag"
xdotool key --window "$window" p 2>/dev/null
waitForShot 2
cmp -s "$work/model/icosphere-view-1.png" "$shot" && fail "both screenshots are the same image"

xdotool windowsize "$window" 300 200 2>/dev/null
waitFor 30 eval '[[ "$("$windowHash" "$window")" == *" 300x200" ]]' || fail "window not resized"
# The key only once the viewer draws at the new size and the picture holds:
# a key sent while it reopens its window can be lost.
settledAtNewSize() {
    local first second
    first=$("$windowHash" "$window") && sleep 0.2 && second=$("$windowHash" "$window") &&
        [ "$first" = "$second" ] && [[ "$first" == *" 300x200" ]]
}
waitFor 30 settledAtNewSize || fail "the picture does not settle after the resize"
xdotool key --window "$window" p 2>/dev/null
waitForShot 3
python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24); sys.exit(struct.unpack(">II", d[16:24]) != (300, 200))' \
    "$shot" || fail "the screenshot after the resize is not 300x200"

# A window larger than the system gives a surface: the session goes on at
# the size it had. One it gives, however large: traced at a capped size,
# and Escape is read within moments, not after a frame of seconds.
xdotool windowsize "$window" 20000 20000 2>/dev/null
sleep 2
programGone && fail "the viewer ended when its window was made 20000x20000"
xdotool windowsize "$window" 8000 8000 2>/dev/null
sleep 3
programGone && fail "the viewer ended when its window was made 8000x8000"
xdotool key --window "$window" Escape 2>/dev/null
waitExit 5
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
[ "$(shotCount)" -eq 3 ] || fail "standard output holds more than the three paths"
echo "PASS ($scenario)"
