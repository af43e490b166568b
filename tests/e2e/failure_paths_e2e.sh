#!/usr/bin/env bash
# The program against a bad cb.bmp and against input that must not end it.
# usage: failure_paths_e2e.sh SCENARIO PROGRAM BITMAP
#   SCENARIO: bitmap-empty | bitmap-random | bitmap-truncated-header |
#             bitmap-truncated-pixels | bitmap-directory | bitmap-fifo |
#             bitmap-declares-more | bitmap-symlink-loop |
#             other-keys | escape-release-only
#   BITMAP: a valid cb.bmp, the source of the truncated copies
scenario=$1
program=$2
bitmap=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/e2e_common.sh"

# expectBitmapRefused [REASON]: the program in a folder whose cb.bmp is
# $work/bad/cb.bmp, prepared by the caller; it must refuse it and say why.
# It ends before the scene is built, so memcheck costs little here and
# shows that nothing was read or written out of bounds on the way.
expectBitmapRefused() {
    startX
    startProgram "$work/bad" valgrind --quiet --error-exitcode=99 --leak-check=no \
        --suppressions="$here/suppressions.supp" "$program"
    waitExit 120
    [ "$status" -ne 99 ] || fail "memcheck found errors: $(cat "$work/err")"
    expectFailure "Unable to load bitmap: ${1:-}"
}

# Fixed pseudo-random bytes, so that every run feeds the same file.
pseudoRandomBytes() {
    LC_ALL=C awk -v n="$1" 'BEGIN {
        s = 12345
        for (i = 0; i < n; i++) { s = (s * 1103515245 + 12345) % 2147483648; printf "%c", int(s / 65536) % 256 }
    }'
}

# runsOnAfter COMMAND KEYS...: sends the keys to the program's window with the
# xdotool command (key, keyup), checks that it keeps rendering, then that
# Escape still ends it normally.
runsOnAfter() {
    startX
    startProgram "$(dirname "$bitmap")" "$program"
    waitForWindow 300 "$captionPattern"
    spyOnCaption
    waitForCaptionUpdates 1 60
    xdotool "$1" --window "$window" "${@:2}" || fail "xdotool $* failed"
    waitForCaptionUpdates 2 60
    programGone && fail "the program ended after: $*"
    xdotool key --window "$window" Escape 2>/dev/null
    expectCleanExit
}

mkdir "$work/bad"
case "$scenario" in
bitmap-empty)
    : >"$work/bad/cb.bmp"
    expectBitmapRefused
    ;;
bitmap-random)
    pseudoRandomBytes 4096 >"$work/bad/cb.bmp"
    expectBitmapRefused
    ;;
bitmap-truncated-header)
    # The file header whole, the info header cut short.
    head -c 30 "$bitmap" >"$work/bad/cb.bmp"
    expectBitmapRefused
    ;;
bitmap-truncated-pixels)
    size=$(stat -c %s "$bitmap")
    head -c $((size / 2)) "$bitmap" >"$work/bad/cb.bmp"
    expectBitmapRefused
    ;;
bitmap-directory)
    mkdir "$work/bad/cb.bmp"
    expectBitmapRefused "cb.bmp is a directory,"
    ;;
bitmap-fifo)
    # No writer ever comes: refused at once instead of waiting in the open.
    mkfifo "$work/bad/cb.bmp"
    expectBitmapRefused "cb.bmp is a FIFO,"
    ;;
bitmap-declares-more)
    # 54 bytes whose header declares 64 x -2^31 pixels: refused before SDL
    # allocates for them.
    printf 'BM6\0\0\0\0\0\0\0\066\0\0\0\050\0\0\0\100\0\0\0\0\0\0\200\001\0\030\0\0\0\0\0\0\0\0\0\023\013\0\0\023\013\0\0\0\0\0\0\0\0\0\0' \
        >"$work/bad/cb.bmp"
    expectBitmapRefused "cb.bmp: its header declares 64 x -2147483648 pixels"
    ;;
bitmap-symlink-loop)
    ln -s cb.bmp "$work/bad/cb.bmp"
    expectBitmapRefused "Couldn't open cb.bmp: Too many levels of symbolic"
    ;;
other-keys)
    runsOnAfter key a space Return q F1 Left
    ;;
escape-release-only)
    runsOnAfter keyup Escape
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac
echo "PASS ($scenario): $(tr -d "\n" <"$work/out" 2>/dev/null)"
