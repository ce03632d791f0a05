#!/usr/bin/env bash
# Prints how long a whole update takes against the simulator that answers at once, beside the
# floor that the protocol itself sets, and the ratio of the two. Runs in-process on the loopback
# devices, then over JACK with the simulator as its own process, on a server of the script's own
# at each period (default 128 256 1024 2048 frames at 48 kHz; or the periods given as arguments).
#
# The floor: every exchange after the first lasts a whole number of 50 ms poll ticks, enough for
# the 10 ms pause after a block answer, the way to the device (half a period on average), the
# device's own time and the way back (about one period). So one tick per block up to 1024 frames,
# two at 2048: 36 blocks x ticks x 50 ms, plus about 100 ms for the identity, erase and finish
# exchanges (about 1.9 s and 3.7 s).
#
# Programs from $TARNET_BIN when set (a build directory's tools/), otherwise from the release
# build, which is brought up to date first. RUNS (default 3) runs per period.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ -n "${TARNET_BIN:-}" ]; then
  bin=$TARNET_BIN
else
  cmake --preset release >/dev/null || exit 1
  nice -n 10 cmake --build --preset release -j 2 --target tarnet-devsim tarnet-update >/dev/null || exit 1
  bin=build/release/tools
fi
runs=${RUNS:-3}
periods=("$@")
[ ${#periods[@]} -gt 0 ] || periods=(128 256 1024 2048)

echo "== in-process loopback ($runs runs)"
for _ in $(seq 1 "$runs"); do "$bin/tarnet-update" --loopback --quiet --measure --linger 0 | grep '^update:'; done

# floor_ms PERIOD: the floor described above, at 48 kHz.
floor_ms() {
  awk -v p="$1" 'BEGIN {
    period = p / 48.0; need = 10 + period / 2 + period; ticks = int((need + 49.999) / 50);
    printf "%d", 36 * ticks * 50 + 100 }'
}

trap 'scripts/jack-dummy.sh stop >/dev/null 2>&1' EXIT
trap 'exit 130' INT TERM
for period in "${periods[@]}"; do
  export JACK_DEFAULT_SERVER="tarnet-measure-$$-$period" TARNET_JACK_PERIOD=$period
  scripts/jack-dummy.sh start >/dev/null || exit 1
  floor=$(floor_ms "$period")
  echo "== over JACK, $period frames, simulator as its own process ($runs runs); floor $floor ms"
  for _ in $(seq 1 "$runs"); do
    log=$(mktemp)
    "$bin/tarnet-devsim" --answer-delay 0 --timeout 60 --quiet >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do grep -q ready "$log" && break; sleep 0.1; done
    sleep 0.3  # new ports show from a later cycle on
    ms=$("$bin/tarnet-update" --quiet --measure --linger 0 | grep 'update completed' -B1 | sed -n 's/^update: \([0-9]*\) ms.*/\1/p')
    wait "$pid" || true
    rm -f "$log"
    if [ -n "$ms" ]; then
      awk -v p="$period" -v ms="$ms" -v f="$floor" 'BEGIN { printf "period %4d: update %5d ms, floor %5d ms, ratio %.2f\n", p, ms, f, ms / f }'
    else
      echo "period $period: the update did not complete"
    fi
  done
  scripts/jack-dummy.sh stop >/dev/null
done

# ---- ALSA (kernel sequencer, in the virtual machine of scripts/alsa-vm.sh) -------------------
# Kept in a script of its own; set TARNET_MEASURE_ALSA=0 to leave it out, =short to skip the
# two-minute run through the cable-speed device.
case "${TARNET_MEASURE_ALSA:-1}" in
  0) ;;
  short) scripts/measure-update-alsa.sh --no-cable ;;
  *) scripts/measure-update-alsa.sh ;;
esac
