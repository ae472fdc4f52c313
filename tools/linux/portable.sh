#!/usr/bin/env bash
# Lays out a launcher that updates itself, from a build, in a folder of the player's own:
#   DIR/embercrest-launcher                      the starter, which the player runs
#   DIR/versions/<version>/embercrest-launcher   the launcher of the build, marked healthy
# Run the starter in the folder that should hold config.conf and the log (its working folder).
# Usage: [BUILD_DIR=build] bash tools/linux/portable.sh DIR
# DIR may hold an earlier layout: config.conf and the other versions stay.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ $# = 1 ] || { echo "usage: bash tools/linux/portable.sh DIR" >&2; exit 2; }
build=${BUILD_DIR:-build}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] && [ -x "$build/src/embercrest-launcher" ] && [ -x "$build/src/embercrest-starter" ] ||
    { echo "portable.sh: build the launcher first (bash tools/build.sh)" >&2; exit 1; }
dir=$1
mkdir -p "$dir/versions"
# Whole folders only: the starter never sees a half-copied version.
rm -rf "$dir/versions/$version.staging"
mkdir "$dir/versions/$version.staging"
strip -o "$dir/versions/$version.staging/embercrest-launcher" "$build/src/embercrest-launcher"
: >"$dir/versions/$version.staging/healthy"
rm -rf "$dir/versions/$version"
mv "$dir/versions/$version.staging" "$dir/versions/$version"
cp "$build/src/embercrest-starter" "$dir/embercrest-launcher.new"
mv "$dir/embercrest-launcher.new" "$dir/embercrest-launcher"
echo "portable.sh: $dir/embercrest-launcher runs version $version"
