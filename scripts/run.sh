#!/usr/bin/env bash
# Installs what is needed, builds, and shows the program's main job on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
echo "(the updater itself is not built yet)"
