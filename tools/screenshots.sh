#!/usr/bin/env bash
# Pictures of the launcher's window for the README, built with Qt 6 (which scales by default)
# and taken offscreen at the scales of high-DPI screens: docs/screenshot-scale-1.5.png and
# docs/screenshot-scale-2.png. Extra scales may be given as arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/common.sh
build_programs "${BUILD_DIR:-build-qt6}"
BUILD_DIR=$build bash tools/build.sh -DEMBERCREST_QT_MAJOR=6 >/dev/null
mkdir -p docs
scales=("$@")
[ ${#scales[@]} -gt 0 ] || scales=(1.5 2)
for scale in "${scales[@]}"; do
    QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=$scale "$screenshooter" \
        "docs/screenshot-scale-$scale.png" 2>/dev/null
done
