#!/usr/bin/env bash
# Installs what is needed, builds, and starts the launcher.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
mkdir -p demo-run
cd demo-run
exec ../build/src/embercrest-launcher
