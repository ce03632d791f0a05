#!/usr/bin/env bash
# Installs what is needed, builds, and runs an update against the bundled device simulator:
# the simulator plays a device called "USB Audio Device" on this machine's MIDI system, and the
# updater sends it the whole image. With a display, the updater's window opens with the device
# selected: press "Execute" (or Enter), and close the window when done. Without one, the terminal
# runner does the same update. Where no MIDI system runs (no ALSA sequencer, no JACK), a JACK
# server with the dummy backend is started for the run and stopped afterwards.
#
# With --web: builds the web edition's site (build/web/site), serves it on this machine's loopback
# interface and prints its address, opening it in the browser where there is a display. Where the
# ALSA sequencer runs (which Chromium's Web MIDI reads on Linux), the simulated device runs beside
# it. Ctrl+C ends it. TARNET_WEB_PORT picks the port (default 8310).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--web" ]; then
  bash scripts/install-deps.sh
  cmake --preset web >/dev/null
  cmake --build --preset web -j "$(nproc)" --target web_site
  port=${TARNET_WEB_PORT:-8310}
  url="http://127.0.0.1:$port/"
  pids=()
  trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT
  if (exec 3<>/dev/snd/seq) 2>/dev/null; then
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$(nproc)" --target tarnet-devsim
    build/release/tools/tarnet-devsim --timeout 3600 &
    pids+=($!)
  fi
  # A plain static server, bound to the loopback interface only: the site needs no headers of its own.
  python3 -m http.server --bind 127.0.0.1 --directory build/web/site "$port" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 1 50); do
    python3 -c "import urllib.request; urllib.request.urlopen('$url', timeout=1)" 2>/dev/null && break
    sleep 0.1
  done
  echo "run: the updater's web edition is served at $url (Ctrl+C ends it)"
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    for browser in xdg-open x-www-browser chromium; do
      if command -v "$browser" >/dev/null; then
        "$browser" "$url" >/dev/null 2>&1 &
        break
      fi
    done
  fi
  wait "${pids[-1]}"
  exit 0
fi

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
