#!/usr/bin/env bash
# Builds the program in Release and starts it beside its cb.bmp.
set -euo pipefail
cd "$(dirname "$0")"

if [ -z "${DISPLAY:-}" ]; then
    echo "No display available (DISPLAY is not set): vantrel rtrt needs an X display to open its window." >&2
    exit 1
fi

tools/ensure-packages.sh cmake make g++ pkg-config libsdl1.2-dev

# A build tree of its own: no test libraries needed, and the test build's
# settings stay as they are.
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build-run -j "$jobs" --target vantrel-rtrt
cd build-run
exec ./vantrel-rtrt
