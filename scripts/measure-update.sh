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
# The server runs realtime, as JACK is set up for music (TARNET_JACK_REALTIME=0: without it; on a
# busy machine its clients are then late now and then, which shows in the figures).
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
for _ in $(seq 1 "$runs"); do "$bin/tarnet-update" --loopback --quiet --measure --linger 0 --no-history | grep '^update:'; done

# floor_ms PERIOD: the floor described above, at 48 kHz.
floor_ms() {
  awk -v p="$1" 'BEGIN {
    period = p / 48.0; need = 10 + period / 2 + period; ticks = int((need + 49.999) / 50);
    printf "%d", 36 * ticks * 50 + 100 }'
}

export TARNET_JACK_REALTIME=${TARNET_JACK_REALTIME:-1}
# beat_ms PERIOD: what the floor's rule gives block by block rather than on average. A block's
# exchange needs 10 ms + the wait for the next cycle (0 to one period, by the phase of the cycles
# against the ticks) + one period; when that passes 50 ms it takes two ticks. The next send then
# comes 50 or 100 ms later, which moves the phase by 50 or 100 ms modulo the period. Over 36 blocks
# from every starting phase: "mean best-worst" in ms (the same 100 ms for the other exchanges).
# At 1024 frames (21.3 ms) the need runs from 31 to 53 ms, and 100 ms is 4.7 periods, so a block
# that needs two ticks puts the second one after it into the same place: best 2100, mean about
# 2160 ms (ratio 1.14), against the average-based floor of 1900.
beat_ms() {
  awk -v p="$1" 'BEGIN {
    period = p / 48.0; starts = 480; sum = 0; best = 1e9; worst = 0
    for (s = 0; s < starts; s++) {
      u = s * period / starts; t = 100
      for (b = 0; b < 36; b++) {
        ticks = int((10 + u + period + 49.999) / 50); t += 50 * ticks
        u -= 50 * ticks; u -= period * int(u / period); if (u < 0) u += period
      }
      sum += t; if (t < best) best = t; if (t > worst) worst = t
    }
    printf "%d %d-%d", sum / starts, best, worst }'
}

trap 'scripts/jack-dummy.sh stop >/dev/null 2>&1' EXIT
trap 'exit 130' INT TERM
for period in "${periods[@]}"; do
  export JACK_DEFAULT_SERVER="tarnet-measure-$$-$period" TARNET_JACK_PERIOD=$period
  scripts/jack-dummy.sh start >/dev/null || exit 1
  mode=$(cat "${TARNET_JACK_STATE:-/tmp/tarnet-jack}/$JACK_DEFAULT_SERVER/mode" 2>/dev/null)
  floor=$(floor_ms "$period")
  read -r beat range <<<"$(beat_ms "$period")"
  echo "== over JACK, $period frames, simulator as its own process ($runs runs, server ${mode#--}); floor $floor ms;" \
       "block by block $beat ms ($range by phase), ratio $(awk -v b="$beat" -v f="$floor" 'BEGIN { printf "%.2f", b / f }')"
  for _ in $(seq 1 "$runs"); do
    log=$(mktemp)
    "$bin/tarnet-devsim" --answer-delay 0 --timeout 60 --quiet >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do grep -q ready "$log" && break; sleep 0.1; done
    sleep 0.3  # new ports show from a later cycle on
    ms=$("$bin/tarnet-update" --quiet --measure --linger 0 --no-history | grep 'update completed' -B1 | sed -n 's/^update: \([0-9]*\) ms.*/\1/p')
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
