#!/usr/bin/env bash
# Prints how long updates take on the kernel's ALSA sequencer, beside their floors, in the virtual
# machine of scripts/alsa-vm.sh (emulated: slower than a real machine, so these are upper bounds):
#   - to a software device (tarnet-devsim on the sequencer, answering at once), 3 runs, beside the
#     pacing the protocol itself imposes (printed by tarnet-update --measure);
#   - N updates at once to N software devices (TARNET_PARALLEL, default 20; each program is one
#     sequencer client, of the kernel's 64 for programs), beside one update: the programs' whole
#     runs (started together) beside one program's, and the longest update itself beside one;
#   - to a device behind snd-virmidi's raw MIDI device that reads 3125 bytes/s like a 31250-baud
#     cable, beside the wire time of the bytes it read, and the bytes the driver dropped.
# usage: scripts/measure-update-alsa.sh [--no-cable]      (the cable run takes about 2 minutes)
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --in-guest ]; then
  cmake --preset release >/dev/null && cmake --build --preset release -j "$(nproc)" --target tarnet-devsim tarnet-update >/dev/null \
    || { echo "measure-update-alsa: build failed"; exit 1; }
  exec scripts/alsa-vm.sh -- bash scripts/measure-update-alsa.sh --in-guest "$@"
fi
shift
cable=1
[ "${1:-}" = --no-cable ] && cable=0
bin=build/release/tools
image=app/resources/firmware.bin
log=/tmp/measure-alsa
mkdir -p $log

devices=()  # process ids of the simulators started
launch_device() {  # k options...
  local k=$1; shift
  "$bin/tarnet-devsim" --quiet --answer-delay 0 --timeout 600 "$@" >"$log/devsim.$k" 2>&1 &
  devices+=($!)
}
wait_device() {  # k
  for _ in $(seq 1 600); do grep -q ready "$log/devsim.$1" && return 0; sleep 0.1; done
  echo "simulator $1 did not come up"; cat "$log/devsim.$1"; exit 1
}
start_device() { launch_device "$@"; wait_device "$1"; }
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
# Busy and total jiffies of the guest's processors so far (the first line of /proc/stat).
cpu_jiffies() { awk '/^cpu / { idle = $5 + $6; total = 0; for (i = 2; i <= NF; i++) total += $i; print total - idle, total }' /proc/stat; }

echo "== ALSA, software device (3 runs)"
one=      # the update itself, as tarnet-update measures it
onewall=  # the program's whole run: start, listing, update, end
for run in 1 2 3; do
  start_device 0 --name "USB Audio Device"
  t0=$(date +%s%N)
  line=$("$bin/tarnet-update" --quiet --measure --linger 0 | grep '^update:')
  wall=$(ms_since "$t0")
  wait
  echo "$line; the program's whole run $wall ms"
  ms=$(echo "$line" | sed 's/^update: \([0-9]*\) ms.*/\1/')
  if [ -z "$one" ] || [ "$ms" -lt "$one" ]; then one=$ms; fi
  if [ -z "$onewall" ] || [ "$wall" -lt "$onewall" ]; then onewall=$wall; fi
done

n=${TARNET_PARALLEL:-20}
echo "== ALSA, $n updates at once ($n copies of tarnet-update, $n simulated devices)"
# --serve: a device stays after its update, so none leaves the lists while others still read them.
for k in $(seq 1 "$n"); do launch_device "$k" --name "USB Audio Device ($k)" --serve; done
for k in $(seq 1 "$n"); do wait_device "$k"; done
j0=$(cpu_jiffies)
t0=$(date +%s%N)
pids=()
for k in $(seq 1 "$n"); do
  "$bin/tarnet-update" --device "USB Audio Device ($k)" --quiet --measure --linger 0 >"$log/update.$k" 2>&1 &
  pids+=($!)
done
ok=0
for p in "${pids[@]}"; do wait "$p" && ok=$((ok + 1)); done
all=$(ms_since "$t0")
j1=$(cpu_jiffies)
kill -TERM "${devices[@]}" 2>/dev/null
wait
longest=$(cat "$log"/update.* | sed -n 's/^update: \([0-9]*\) ms.*/\1/p' | sort -n | tail -n 1)
echo "$n at once: $all ms from the first start to the last end, $ok of $n completed; one program alone: $onewall ms;" \
  "ratio $(awk "BEGIN { printf \"%.2f\", $all / $onewall }") (target 1.2)"
echo "  the longest update itself: ${longest:-?} ms; one alone: $one ms; ratio $(awk "BEGIN { printf \"%.2f\", ${longest:-0} / $one }")"
echo "  the guest's $(nproc) processors were busy $(( 100 * (${j1% *} - ${j0% *}) / (${j1#* } - ${j0#* }) ))% of that time (near 100%: the emulated processors set the pace)"

if [ $cable = 1 ]; then
  echo "== ALSA, device behind a raw MIDI port at 3125 bytes/s (a 31250-baud cable)"
  start_device c --rawmidi /dev/snd/midiC0D0 --byte-rate 3125 --expect-image "$image"
  line=$("$bin/tarnet-update" --device "Virtual Raw MIDI 0-0" --quiet --measure --linger 0 | grep '^update:')
  wait
  ms=$(echo "$line" | sed 's/^update: \([0-9]*\) ms.*/\1/')
  raw=$(grep 'raw MIDI:' "$log/devsim.c" | sed 's/^devsim: //')
  wire=$(echo "$raw" | sed 's/.*wire time at [0-9]* bytes\/s: \([0-9.]*\) s.*/\1/')
  echo "update: $ms ms; $raw"
  echo "ratio to the wire time: $(awk "BEGIN { printf \"%.3f\", $ms / 1000 / $wire }") (target 1.05)"
  tail -n 1 "$log/devsim.c"
fi
