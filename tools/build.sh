#!/usr/bin/env bash
# Configures and builds the launcher and its tests into ./build (two parallel jobs by default).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEMBERCREST_WERROR=ON "$@"
cmake --build build --parallel "${JOBS:-2}"
