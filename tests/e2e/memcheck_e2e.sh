#!/usr/bin/env bash
# The whole program under valgrind's memcheck: started on its own X server,
# left to render a few frames, ended with Escape. Passes when it exits
# cleanly with no memory error, and everything of ours still allocated at
# exit is what the program keeps on purpose (the compiled tree, the ray
# table).
# usage: memcheck_e2e.sh PROGRAM BITMAP_DIR SUPPRESSIONS
scenario=memcheck
program=$1
bitmapDir=$2
suppressions=$3
here=$(dirname "$0")
source "$here/e2e_common.sh"

startX
startProgram "$bitmapDir" valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
    --num-callers=40 --suppressions="$suppressions" --xml=yes --xml-file="$work/memcheck.xml" \
    "$program"
# The scene build alone takes minutes under valgrind.
waitForWindow 1200 "$captionPattern"
spyOnCaption
waitForCaptionUpdates 2 600
xdotool key --window "$window" Escape 2>/dev/null
expectCleanExit 600
python3 "$here/memcheck_report.py" "$work/memcheck.xml" "$program" || fail "memcheck found faults"
echo "PASS ($scenario)"
