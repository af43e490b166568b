#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"

tools/ensure-packages.sh cmake make g++ pkg-config libsdl1.2-dev libgtest-dev libpng-dev \
    xvfb xauth xdotool x11-utils

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
cd build
ctest --output-on-failure -j "$jobs"
