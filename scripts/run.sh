#!/usr/bin/env bash
# Installs what is needed, builds, and opens the updater against the device simulator: the
# simulated device appears as "USB Audio Device" on a JACK server with the dummy backend, the
# updater selects it by default, and "Execute" (or Enter) runs a whole update. Close the window to
# end; the simulator then prints its verdict. Without a display, the same update runs under Xvfb
# and a screenshot of the window in mid-update is written to docs/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display; running one update under Xvfb instead"
  exec scripts/screenshot.sh docs/screenshot.png
fi

# A JACK server of this run's own, so that no other program's devices get in the way.
export JACK_DEFAULT_SERVER="tarnet-run-$$"
export JACK_NO_AUDIO_RESERVATION=1
log_dir="$(mktemp -d /tmp/tarnet-run.XXXXXX)"
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 128 >"$log_dir/jackd.log" 2>&1 &
jack_pid=$!
devsim_pid=""
cleanup() {
  [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
  kill "$jack_pid" 2>/dev/null; wait "$jack_pid" 2>/dev/null
  rm -rf "$log_dir"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ "$(jack_wait -c 2>/dev/null)" = running ] && break; sleep 0.1; done

build/default/tools/tarnet-devsim --serve --quiet &
devsim_pid=$!
sleep 1
echo "run: the updater is open; press Execute, then close the window to end"
build/default/app/tarnet-updater
