#!/usr/bin/env bash
# Installs what is needed, builds, and starts the launcher against a local demo update server
# (tools/demo.sh; its arguments pass through).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
exec bash tools/demo.sh "$@"
