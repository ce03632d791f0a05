#!/usr/bin/env bash
# Installs what is needed, builds, and runs an update against the bundled device simulator:
# the simulator plays a device called "USB Audio Device" on this machine's MIDI system, and the
# updater sends it the whole image. With a display, the updater's window opens with the device
# selected: press "Execute" (or Enter), and close the window when done. Without one, the terminal
# runner does the same update. Where no MIDI system runs (no ALSA sequencer, no JACK), a JACK
# server with the dummy backend is started for the run and stopped afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarnet-devsim tarnet-update tarnet-updater

bin=build/release/tools
# A MIDI system runs when the ALSA sequencer can be opened or a JACK server answers.
started_jack=0
if ! (exec 3<>/dev/snd/seq) 2>/dev/null && [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
  scripts/jack-dummy.sh start && started_jack=1
fi

log=$(mktemp)
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  if [ "$started_jack" = 1 ]; then scripts/jack-dummy.sh stop || true; fi
  rm -f "$log"
}
trap cleanup EXIT

"$bin/tarnet-devsim" --timeout 900 >"$log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do grep -q ready "$log" && break; sleep 0.1; done
cat "$log"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run: the updater window is open; press Execute, then close the window"
  build/release/app/qt/tarnet-updater
else
  "$bin/tarnet-update" --device "USB Audio Device" --measure
fi
wait "$sim_pid" || true
tail -n 1 "$log"
