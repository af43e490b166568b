#!/usr/bin/env bash
# Builds the project five ways and runs every suite through one ctest run:
#   build       the normal build: unit tests, program tests, memory check,
#               corpus replays, the Python module's tests
#   build-asan  AddressSanitizer and UBSan: unit tests and corpus replays
#   build-fuzz  clang with libFuzzer: a bounded run of each fuzz target
#   build-tsan  ThreadSanitizer: the tests that trace from several threads
#   build-lean  no tests, no importer, no window: the kernel and tools alone
# The last line printed is that ctest run's summary; the exit status is its.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

tools/ensure-packages.sh cmake make g++ pkg-config libsdl1.2-dev libgtest-dev libpng-dev \
    libassimp-dev xvfb xauth xdotool x11-utils clang libclang-rt-14-dev libtsan2 valgrind python3 \
    python3-dev python3-numpy python3-pytest python3-distributed pybind11-dev

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"

# The program itself is left out here: SDL and X11 keep memory that the leak
# checker would report. The memory check covers it under valgrind instead.
# -O1, as the sanitizer's makers advise: at -O2 the instrumented kernels
# took nearly three times as long to build, for little speed in the tests.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DVANTREL_BUILD_APP=OFF >/dev/null
cmake --build build-asan -j "$jobs"

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs"

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE_THREAD=ON >/dev/null
cmake --build build-tsan -j "$jobs"

# The build without the importer stays whole, and one without the tests
# builds no test program. Unoptimised and without debugging data: only that
# it builds counts here.
cmake -S . -B build-lean -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DVANTREL_BUILD_TESTS=OFF -DVANTREL_MESH_IMPORT=OFF -DVANTREL_BUILD_APP=OFF -DVANTREL_PYTHON=OFF >/dev/null
cmake --build build-lean -j "$jobs"
if [ -e build-lean/tests ] && [ -n "$(find build-lean/tests -type f -perm -u+x)" ]; then
    echo "tests are off in build-lean, yet it built test programs:" \
        $(find build-lean/tests -type f -perm -u+x)
    exit 1
fi

imports=$root/build/imported-tests
rm -rf "$imports"
mkdir -p "$imports"
for tree in asan fuzz tsan; do
    ctest --test-dir "build-$tree" --show-only=json-v1 >"build-$tree/tests.json"
    cmake -DLIST="$root/build-$tree/tests.json" -DPREFIX="$tree." -DOUT="$imports/$tree.cmake" \
        -P tools/import-tests.cmake
done

cd build
exec ctest --output-on-failure -j "$jobs"
