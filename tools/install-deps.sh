#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the launcher. Does nothing when
# they are all present already.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qtbase5-dev qttools5-dev qttools5-dev-tools libssl-dev zlib1g-dev
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
    xvfb xauth xdotool x11-utils x11-apps
    python3 curl openssl nginx-light
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
