#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the launcher. Does nothing when
# they are all present already.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"

install_missing \
    build-essential cmake ninja-build pkg-config clang-format \
    qtbase5-dev qttools5-dev qttools5-dev-tools libssl-dev zlib1g-dev \
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev \
    xvfb xauth xdotool x11-utils x11-apps \
    python3 curl openssl nginx-light procps
