#!/usr/bin/env bash
# Prints how long N updates take when they run at once: N simulated devices and N terminal updates
# (tarnet-update), each update on its own device, all on one JACK server of the script's own, at
# each period (default 256 and 2048 frames; or the periods given after N). Beside it, one update
# alone on the same server; the figure that counts is the slowest of the N against that one.
# Every update must complete, and every device must receive the image byte for byte.
#
# The server runs realtime, as JACK is set up for music (TARNET_JACK_REALTIME=0: without it, where
# a busy machine makes clients late). Beside the figures: how often the server started a cycle
# again under clients that had not finished the last one; a MIDI event can be lost each time.
# When an update fails, the logs of that period are kept and their directory is printed.
#
# usage: measure-parallel.sh N [PERIOD...]
# Programs from $TARNET_BIN when set (a build directory's tools/), otherwise from the release
# build, which is brought up to date first.
set -uo pipefail
cd "$(dirname "$0")/.."
n=${1:?usage: measure-parallel.sh N [PERIOD...]}
shift
periods=("$@")
[ ${#periods[@]} -gt 0 ] || periods=(256 2048)
if [ -n "${TARNET_BIN:-}" ]; then
  bin=$TARNET_BIN
else
  cmake --preset release >/dev/null
  nice -n 10 cmake --build --preset release -j 2 --target tarnet-devsim tarnet-update >/dev/null || exit 1
  bin=build/release/tools
fi
work=$(mktemp -d)
export XDG_STATE_HOME="$work/state"  # these runs stay out of the user's history of updates
export TARNET_JACK_REALTIME=${TARNET_JACK_REALTIME:-1}
state=${TARNET_JACK_STATE:-/tmp/tarnet-jack}
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  scripts/jack-dummy.sh stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_devices COUNT TAG: COUNT simulated devices named "TAG k", waits until all are ready.
start_devices() {
  local count=$1 tag=$2
  sims=()
  for k in $(seq 1 "$count"); do
    "$bin/tarnet-devsim" --name "$tag $k" --answer-delay 0 --timeout 300 --quiet >"$work/sim-$tag-$k.log" 2>&1 &
    sims+=($!)
  done
  for k in $(seq 1 "$count"); do
    for _ in $(seq 1 300); do grep -q ready "$work/sim-$tag-$k.log" && break; sleep 0.1; done
  done
  # The server shows new ports to the other clients from a later cycle on (later on a busy one).
  sleep 0.5
}

# wait_devices TAG COUNT: waits for the devices; prints how many passed.
wait_devices() {
  local tag=$1 count=$2 passed=0
  # A device whose update failed would wait for its own time-out: 5 s, then it is stopped (its
  # verdict then says so).
  for _ in $(seq 1 50); do
    local left=0
    for p in "${sims[@]}"; do kill -0 "$p" 2>/dev/null && left=1; done
    [ $left -eq 0 ] && break
    sleep 0.1
  done
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  sims=()
  for k in $(seq 1 "$count"); do
    if grep -q 'PASS' "$work/sim-$tag-$k.log"; then
      passed=$((passed + 1))
    else
      tail -1 "$work/sim-$tag-$k.log" | sed "s/^/  $tag $k: /" >&2
    fi
  done
  echo "$passed"
}

for period in "${periods[@]}"; do
  export JACK_DEFAULT_SERVER="tarnet-parallel-$$-$period" TARNET_JACK_PERIOD=$period
  scripts/jack-dummy.sh start >/dev/null || exit 1
  mode=$(cat "$state/$JACK_DEFAULT_SERVER/mode" 2>/dev/null)

  start_devices 1 Single
  single=$("$bin/tarnet-update" --device "Single 1" --quiet --measure --linger 0 | sed -n 's/^update: \([0-9]*\) ms.*/\1/p')
  single_ok=$(wait_devices Single 1)

  start_devices "$n" Parallel
  updates=()
  for k in $(seq 1 "$n"); do
    "$bin/tarnet-update" --device "Parallel $k" --quiet --measure --linger 0 --timeout 120 >"$work/upd-$k.log" 2>&1 &
    updates+=($!)
  done
  for p in "${updates[@]}"; do wait "$p"; done
  passed=$(wait_devices Parallel "$n")
  times=()
  for k in $(seq 1 "$n"); do
    t=$(sed -n 's/^update: \([0-9]*\) ms.*/\1/p' "$work/upd-$k.log")
    grep -q 'update completed' "$work/upd-$k.log" && [ -n "$t" ] && times+=("$t")
  done
  completed=${#times[@]}
  # How the others ended, counted by their last error line.
  for k in $(seq 1 "$n"); do
    grep -q 'update completed' "$work/upd-$k.log" || grep -E '^Error: |no end after' "$work/upd-$k.log" | tail -1
  done | sort | uniq -c | sed 's/^/  not completed:/'
  slowest=$(printf '%s\n' "${times[@]}" | sort -n | tail -1)
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  restarts=$(grep -c 'Process error' "$state/$JACK_DEFAULT_SERVER/jackd.log" 2>/dev/null)
  awk -v p="$period" -v n="$n" -v c="$completed" -v ok="$passed" -v s="${slowest:-0}" -v m="${median:-0}" \
      -v one="${single:-0}" -v oneok="$single_ok" -v mode="${mode#--}" -v r="${restarts:-0}" 'BEGIN {
    ratio = one > 0 ? s / one : 0
    verdict = oneok == 1 ? "PASS" : "FAIL"
    printf("period %4d: one update %5d ms (device %s); %d at once: %d completed, %d devices passed, slowest %5d ms, median %5d ms; slowest / one %.2f (server %s, cycles started again %d)\n",
      p, one, verdict, n, c, ok, s, m, ratio, mode, r) }'
  scripts/jack-dummy.sh stop >/dev/null
  if [ "$completed" -lt "$n" ] || [ "$passed" -lt "$n" ]; then
    kept=$(mktemp -d "${TMPDIR:-/tmp}/measure-parallel-$period.XXXX")
    cp "$work"/*.log "$state/$JACK_DEFAULT_SERVER/jackd.log" "$kept/" 2>/dev/null
    echo "  logs of period $period kept in $kept"
  fi
  rm -f "$work"/*.log
done
