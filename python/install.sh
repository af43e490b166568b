#!/usr/bin/env bash
# Builds the Python module and installs it where the system's Python looks,
# with the Debian packages it needs. Then: /usr/bin/python3 -c "import vantrel"
set -euo pipefail
cd "$(dirname "$0")/.."

tools/ensure-packages.sh cmake make g++ libassimp-dev libpng-dev python3 python3-dev \
    python3-numpy pybind11-dev

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-python -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF \
    -DVANTREL_BUILD_APP=OFF -DPYTHON_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build-python -j "$jobs" --target vantrel_python
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
"${sudo[@]}" cmake --install build-python --component python
/usr/bin/python3 -c "import vantrel; print('vantrel', vantrel.__version__, 'for', __import__('sys').executable)"
