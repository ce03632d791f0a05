#!/usr/bin/env bash
# Prints how long `tarnet-update --all` takes over N simulated devices (default 5 and 20), on a JACK
# server of the script's own at each period (default 256 frames; or the periods given after the
# counts), beside one update alone on the same server. The whole command (listing the devices,
# starting a copy per device, every update, the table) is timed from outside; the figure that
# counts is that time over one update's own duration (tarnet-update --measure), whose floor is 1.3
# with 5 devices. Every update must complete and every device must receive the image byte for
# byte. The server runs realtime, as in scripts/measure-parallel.sh (TARNET_JACK_REALTIME=0: not).
#
# With --alsa the same runs on the kernel's ALSA sequencer in the virtual machine of
# scripts/alsa-vm.sh (emulated, so the figures are upper bounds; no periods there).
#
# usage: measure-update-all.sh [--alsa] [N... [-- PERIOD...]]   e.g. measure-update-all.sh 5 20 -- 256
# Programs from $TARNET_BIN when set (a build directory's tools/), otherwise from the release
# build, which is brought up to date first. ROUNDS (default 3) runs of --all per count.
set -uo pipefail
cd "$(dirname "$0")/.."
alsa=0
if [ "${1:-}" = --alsa ]; then
  shift
  if [ -z "${TARNET_BIN:-}" ]; then
    cmake --preset release >/dev/null
    nice -n 10 cmake --build --preset release -j 2 --target tarnet-devsim tarnet-update >/dev/null || exit 1
  fi
  exec scripts/alsa-vm.sh -- env TARNET_BIN="${TARNET_BIN:-build/release/tools}" ROUNDS="${ROUNDS:-3}" \
    bash scripts/measure-update-all.sh --in-guest "$@"
fi
[ "${1:-}" = --in-guest ] && { alsa=1; shift; }
counts=()
periods=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do counts+=("$1"); shift; done
[ $# -gt 0 ] && { shift; periods=("$@"); }
[ ${#counts[@]} -gt 0 ] || counts=(5 20)
[ ${#periods[@]} -gt 0 ] || periods=(256)
[ $alsa -eq 1 ] && periods=(alsa)
rounds=${ROUNDS:-3}
if [ -n "${TARNET_BIN:-}" ]; then
  bin=$TARNET_BIN
else
  cmake --preset release >/dev/null
  nice -n 10 cmake --build --preset release -j 2 --target tarnet-devsim tarnet-update >/dev/null || exit 1
  bin=build/release/tools
fi
image=app/resources/firmware.bin
work=$(mktemp -d)
export TARNET_JACK_REALTIME=${TARNET_JACK_REALTIME:-1} XDG_STATE_HOME=$work/state
state=${TARNET_JACK_STATE:-/tmp/tarnet-jack}
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  [ $alsa -eq 1 ] || scripts/jack-dummy.sh stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_devices COUNT: COUNT simulated devices under the window's default names, all ready.
start_devices() {
  local count=$1
  sims=()
  rm -f "$work"/sim-*.log "$work"/received-*.bin
  for k in $(seq 1 "$count"); do
    local name="USB Audio Device"
    [ "$k" -gt 1 ] && name="USB Audio Device ($k)"
    "$bin/tarnet-devsim" --name "$name" --answer-delay 0 --timeout 300 --quiet \
      --expect-image "$image" --out "$work/received-$k.bin" >"$work/sim-$k.log" 2>&1 &
    sims+=($!)
  done
  for k in $(seq 1 "$count"); do
    for _ in $(seq 1 300); do grep -q ready "$work/sim-$k.log" && break; sleep 0.1; done
  done
  sleep 0.5
}

# finish_devices COUNT: waits for the devices' verdicts (5 s at most); prints how many received
# the image whole.
finish_devices() {
  local count=$1 whole=0
  for _ in $(seq 1 50); do
    local left=0
    for p in "${sims[@]}"; do kill -0 "$p" 2>/dev/null && left=1; done
    [ $left -eq 0 ] && break
    sleep 0.1
  done
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  sims=()
  for k in $(seq 1 "$count"); do
    grep -q PASS "$work/sim-$k.log" && cmp -s "$image" "$work/received-$k.bin" && whole=$((whole + 1))
  done
  echo "$whole"
}

now_ms() { date +%s%3N; }

for period in "${periods[@]}"; do
  if [ $alsa -eq 1 ]; then
    mode=alsa
  else
    export JACK_DEFAULT_SERVER="tarnet-update-all-$$-$period" TARNET_JACK_PERIOD=$period
    scripts/jack-dummy.sh start >/dev/null || exit 1
    mode=$(cat "$state/$JACK_DEFAULT_SERVER/mode" 2>/dev/null)
  fi

  # One update alone: its own duration, and the whole command from outside.
  start_devices 1
  t0=$(now_ms)
  one=$("$bin/tarnet-update" --quiet --measure --linger 0 --no-history | sed -n 's/^update: \([0-9]*\) ms.*/\1/p')
  one_command=$(( $(now_ms) - t0 ))
  one_ok=$(finish_devices 1)
  printf 'period %4s: one update %5d ms, the whole command %5d ms (device %s; server %s)\n' \
    "$period" "${one:-0}" "$one_command" "$([ "$one_ok" = 1 ] && echo PASS || echo FAIL)" "${mode#--}"

  for n in "${counts[@]}"; do
    for round in $(seq 1 "$rounds"); do
      start_devices "$n"
      t0=$(now_ms)
      "$bin/tarnet-update" --all --linger 0 --no-history --report "$work/report.json" >"$work/all.log" 2>&1
      status=$?
      whole_ms=$(( $(now_ms) - t0 ))
      whole=$(finish_devices "$n")
      completed=$(jq '[.records[] | select(.ending == "Completed")] | length' "$work/report.json" 2>/dev/null)
      slowest=$(jq '[.records[].duration_ms] | max' "$work/report.json" 2>/dev/null)
      restarts=$(grep -c "Process error" "$state/${JACK_DEFAULT_SERVER:-none}/jackd.log" 2>/dev/null)
      awk -v p="$period" -v n="$n" -v r="$round" -v w="$whole_ms" -v one="${one:-0}" -v c="${completed:-0}" \
          -v ok="$whole" -v s="${slowest:-0}" -v st="$status" -v rs="${restarts:-0}" 'BEGIN {
        ratio = one > 0 ? w / one : 0
        slow = one > 0 ? s / one : 0
        printf("period %4s: --all over %2d devices (round %d): %5d ms, exit %d, %d completed, %d images whole; command / one update %.2f (floor 1.30 with 5); slowest update %5d ms, / one %.2f (cycles started again %d)\n",
          p, n, r, w, st, c, ok, ratio, s, slow, rs) }'
      if [ "$status" -ne 0 ] || [ "$whole" -lt "$n" ]; then
        kept=$(mktemp -d "${TMPDIR:-/tmp}/measure-update-all.XXXX")
        cp "$work"/*.log "$work/report.json" "$state/${JACK_DEFAULT_SERVER:-none}/jackd.log" "$kept/" 2>/dev/null
        echo "  logs kept in $kept"
      fi
    done
  done
  [ $alsa -eq 1 ] || scripts/jack-dummy.sh stop >/dev/null
done
