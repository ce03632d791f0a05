#!/usr/bin/env bash
# How long the updater takes to end when it is closed in the middle of a long send: the terminal
# runner (tarnet-update, whose end after its --timeout takes the window's closing path: the reply
# channel closes, the send under way is abandoned, the timer stops, the worker is waited for)
# against a device that reads at a 31250-baud cable's speed, so that every block is on the wire
# for about 3.4 s. Each round closes at a random moment of the transfer and prints the time from
# the close to the end of the process, beside the limit of 2 s.
#
# Needs the ALSA sequencer with snd-virmidi (the guest of scripts/alsa-vm.sh):
#   scripts/alsa-vm.sh -- scripts/measure-closing.sh [ROUNDS]
# Programs: tarnet-update and tarnet-devsim in $TARNET_BIN (default build/default/tools).
set -uo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
bin=${TARNET_BIN:-build/default/tools}
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill $sim_pid 2>/dev/null; rm -rf "$work"' EXIT
[ -c /dev/snd/seq ] && [ -c /dev/snd/midiC0D0 ] || { echo "measure-closing: needs /dev/snd/seq and snd-virmidi (run it through scripts/alsa-vm.sh)"; exit 2; }

now_ms() { date +%s%3N; }
worst=0
for round in $(seq 1 "$rounds"); do
  "$bin/tarnet-devsim" --rawmidi /dev/snd/midiC0D0 --byte-rate 3125 --quiet --lenient --serve >"$work/devsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do grep -q ready "$work/devsim.log" && break; sleep 0.1; done
  # The close comes 4 to 9 s after the start: after the erase, in the first blocks' sends.
  timeout_s=$((4 + RANDOM % 6))
  t0=$(now_ms)
  "$bin/tarnet-update" --device "Virtual Raw MIDI 0-0" --timeout "$timeout_s" --linger 0 >"$work/update.log" 2>&1
  t1=$(now_ms)
  kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=""
  # The runner closes once its time-out has passed since the start of the run (the device scan
  # before it takes a few ms, counted here as closing time).
  closing=$((t1 - t0 - timeout_s * 1000))
  blocks=$(grep -c '^progress:' "$work/update.log")
  printf 'round %d: closed after %d s with %d blocks accepted; the process ended %d ms after the close (limit 2000 ms)\n' \
    "$round" "$timeout_s" "$blocks" "$closing"
  [ "$closing" -gt "$worst" ] && worst=$closing
done
echo "slowest end after a close: $worst ms (limit 2000 ms)"
