#!/usr/bin/env bash
# End-to-end checks of the real program, each under a private X server.
# usage: shell_e2e.sh SCENARIO PROGRAM BITMAP_DIR CLOSE_HELPER
#   SCENARIO: escape | window-close | bitmap-missing | bitmap-unreadable | no-display
scenario=$1
program=$(realpath "$2")
bitmapDir=$(realpath "$3")
closeHelper=$(realpath "$4")
source "$(dirname "$0")/e2e_common.sh"

expectWindowSize() {
    local geometry
    geometry=$(xwininfo -id "$window" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h}')
    [ "$geometry" = "512x384" ] || fail "window is $geometry, expected 512x384"
}

# Runs until the performance caption shows, then checks the window.
startAndWaitForCaption() {
    startX
    startProgram "$bitmapDir" "$program"
    # The scene build comes first; allow a slow machine plenty of time.
    waitForWindow 300 "$captionPattern"
    expectWindowSize
    local title
    title=$(xdotool getwindowname "$window")
    [[ "$title" =~ $captionPattern ]] || fail "caption '$title'"
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
    startProgram "$work/empty" "$program"
    waitExit 60
    expectFailure "Unable to load bitmap: "
    ;;
bitmap-unreadable)
    # A regular file that opens and fails every read: address 0 of the
    # reading process is never mapped.
    startX
    mkdir "$work/unreadable"
    ln -s /proc/self/mem "$work/unreadable/cb.bmp"
    startProgram "$work/unreadable" "$program"
    waitExit 60
    expectFailure "Unable to load bitmap: "
    ;;
no-display)
    # Neither a display nor a chosen video driver.
    unset DISPLAY SDL_VIDEODRIVER
    startProgram "$bitmapDir" "$program"
    waitExit 60
    expectFailure "Unable to init SDL: "
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "PASS ($scenario): $(tr -d "\n" <"$work/out" 2>/dev/null)"
