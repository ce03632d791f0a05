#!/usr/bin/env bash
# Installs what is needed, builds, and shows the program's main job on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
# Until the window and the device simulator exist: the messages of one whole update as the host
# sends them, captured instead of going to a device.
build/default/tools/tarnet-messages
