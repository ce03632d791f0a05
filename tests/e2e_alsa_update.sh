#!/usr/bin/env bash
# End to end on the kernel's ALSA sequencer (run inside scripts/alsa-vm.sh): the engine
# (tarnet-update) and the device simulator (tarnet-devsim) as processes of their own.
# usage: e2e_alsa_update.sh MODE DEVSIM UPDATE IMAGE
#   software   one update to a program's port; the device also pulls blocks (the largest one
#              included) and asks the host's identity by itself, and refuses one block twice
#   parallel N N updates at once: N simulated devices "USB Audio Device (k)", N copies of
#              tarnet-update (each program is one sequencer client; the kernel has room for 64
#              clients of programs, so N up to about 30)
#   cable      one update to a device behind snd-virmidi's raw MIDI device /dev/snd/midiC0D0 that
#              reads 3125 bytes per second like a 31250-baud cable: no byte may be dropped
# Every image the devices received must equal IMAGE byte for byte. Prints the time each took.
# Exit 77 (skipped) without /dev/snd/seq, unless TARNET_REQUIRE_ALSA=1.
set -uo pipefail
mode=$1 devsim=$2 update=$3 image=$4
count=1
if [ "$mode" = parallel ]; then count=$5; fi
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

if [ ! -c /dev/snd/seq ]; then
  if [ "${TARNET_REQUIRE_ALSA:-0}" = 1 ]; then echo "no ALSA sequencer (/dev/snd/seq)"; exit 1; fi
  echo "no /dev/snd/seq on this machine (run through scripts/alsa-vm.sh): skipped"; exit 77
fi

# Starts simulator k with the given options; wait_device k waits for its ready line.
launch_device() {
  local k=$1; shift
  "$devsim" "$@" --expect-image "$image" --out "$work/received.$k.bin" >"$work/devsim.$k.log" 2>&1 &
  pids+=($!)
}
wait_device() {
  for _ in $(seq 1 600); do grep -q 'ready' "$work/devsim.$1.log" && return 0; sleep 0.1; done
  echo "simulator $1 did not come up:"; cat "$work/devsim.$1.log"; return 1
}
start_device() { launch_device "$@" && wait_device "$1"; }

now() { date +%s.%N; }
failed=0
case "$mode" in
  software)
    start_device 1 --name "USB Audio Device" --quiet --timeout 200 \
      --pull A0000:9216:start --pull EC001:16383:start --pull EFFFF:1 --ask-identity --refuse 7:2 || exit 1
    t0=$(now)
    "$update" --device "USB Audio Device" --quiet --measure --timeout 180 || failed=1
    ;;
  parallel)
    # The devices stay after their update until every updater has ended, so none leaves the lists
    # while another updater still reads them (a device that goes away during a scan is the
    # subject of the midi_alsa_test's AnIndexStillNamesTheListedDevice...).
    for k in $(seq 1 "$count"); do launch_device "$k" --name "USB Audio Device ($k)" --quiet --serve --timeout 150; done
    for k in $(seq 1 "$count"); do wait_device "$k" || exit 1; done
    t0=$(now)
    upids=()
    for k in $(seq 1 "$count"); do
      "$update" --device "USB Audio Device ($k)" --quiet --timeout 120 >"$work/update.$k.log" 2>&1 &
      upids+=($!)
    done
    for k in $(seq 1 "$count"); do
      if ! wait "${upids[$((k - 1))]}"; then
        echo "tarnet-update $k failed:"; cat "$work/update.$k.log"; failed=1
      fi
    done
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done  # each device prints its verdict
    ;;
  cable)
    start_device 1 --rawmidi /dev/snd/midiC0D0 --byte-rate 3125 --quiet --timeout 400 || exit 1
    t0=$(now)
    "$update" --device "Virtual Raw MIDI 0-0" --quiet --measure --linger 0 --timeout 380 || failed=1
    ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
t1=$(now)

for k in $(seq 1 "$count"); do
  wait "${pids[$((k - 1))]}" || { echo "simulator $k: FAIL"; failed=1; }
  tail -n 2 "$work/devsim.$k.log" | sed "s/^/[$k] /"
  cmp -s "$image" "$work/received.$k.bin" || { echo "simulator $k: received image differs"; failed=1; }
  if [ "$mode" = cable ] && ! grep -q ', 0 dropped by it,' "$work/devsim.$k.log"; then
    echo "the driver dropped bytes: the host wrote faster than the cable"; failed=1
  fi
done
pids=()
seconds=$(awk "BEGIN { printf \"%.1f\", $t1 - $t0 }")
case "$mode" in
  software) echo "ALSA, software device: update in $seconds s" ;;
  parallel) echo "ALSA, $count updates at once: all done in $seconds s" ;;
  cable) echo "ALSA, 3125 bytes/s device: update in $seconds s (wire time of the 36 blocks: 121.6 s)" ;;
esac
[ $failed -eq 0 ] || { echo "FAILED"; exit 1; }
echo "end-to-end on ALSA ($mode): every image received byte for byte"
