#!/usr/bin/env bash
# Prints how long a whole update takes against the simulator that answers at once, beside the
# pacing that the protocol itself imposes (each answer waits for the next 50 ms poll tick, each
# block answer is followed by the 10 ms pause), and the ratio of the two. Runs in-process on the
# loopback devices, then over JACK with the simulator as its own process.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarnet-devsim tarnet-update >/dev/null
bin=build/release/tools

echo "== in-process loopback (3 runs)"
for _ in 1 2 3; do "$bin/tarnet-update" --loopback --quiet --measure --linger 0 | grep '^update:'; done

echo "== over JACK, simulator as its own process (3 runs)"
export JACK_DEFAULT_SERVER="${JACK_DEFAULT_SERVER:-tarnet-measure}"
if scripts/jack-dummy.sh start >/dev/null; then trap 'scripts/jack-dummy.sh stop >/dev/null' EXIT; fi
for _ in 1 2 3; do
  log=$(mktemp)
  "$bin/tarnet-devsim" --answer-delay 0 --timeout 60 >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do grep -q ready "$log" && break; sleep 0.1; done
  "$bin/tarnet-update" --quiet --measure --linger 0 | grep '^update:'
  wait "$pid" || true
  rm -f "$log"
done

# ---- ALSA (kernel sequencer, in the virtual machine of scripts/alsa-vm.sh) -------------------
# Kept in a script of its own; set TARNET_MEASURE_ALSA=0 to leave it out, =short to skip the
# two-minute run through the cable-speed device.
case "${TARNET_MEASURE_ALSA:-1}" in
  0) ;;
  short) scripts/measure-update-alsa.sh --no-cable ;;
  *) scripts/measure-update-alsa.sh ;;
esac
