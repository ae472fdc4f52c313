#!/usr/bin/env bash
# Configures and builds the launcher and its tests into ./build (or $BUILD_DIR), with two
# parallel jobs unless JOBS says otherwise. Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEMBERCREST_WERROR=ON "$@"
cmake --build "$dir" --parallel "${JOBS:-2}"
