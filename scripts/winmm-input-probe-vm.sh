#!/usr/bin/env bash
# What Wine's MIDI input driver does with a long SysEx message and with a burst, on the kernel's
# ALSA sequencer in the virtual machine of scripts/alsa-vm.sh: tarnet-winmm-input-probe.exe (the
# multimedia API alone, tests/winmm_input_probe.cpp) receives from the virtual raw MIDI port
# "VirMIDI 0-0", into which the guest writes the bytes (/dev/snd/midiC0D0: the kernel turns them
# into sequencer events of at most 256 bytes of SysEx each, as a sound card's MIDI port does), at
# the pace of a 31250-baud cable (3125 bytes a second), or as fast as the kernel takes them with
# TARNET_PROBE_PACE=none (then nothing holds the bytes back for a receiver that falls behind).
#   1. a 12,000-byte SysEx message, then an Identity Reply: with 1 buffer of 8192 bytes, then 80;
#   2. a burst: 10,000 foreign messages (note on, clock, active sensing, a SysEx of another
#      manufacturer, in turn) with one of 200 numbered requests after every 50: 1 buffer, then 80.
# The probe queues each buffer again from inside its callback, as soon as it comes back. Prints
# each run's report (returned buffers, whether a full one ends without F7, the requests, the short
# messages by kind). An exploration aid, not a test: Wine starts slowly under the emulation, the
# whole run takes several minutes.
#
# What it shows here (Wine 8.0): at a cable's pace the 12,000-byte message comes back as 8192 bytes
# in a full buffer without F7, 3808 bytes ending in F7, then the reply, with 1 buffer as with 80.
# The burst with 1 buffer: all 5000 short messages (Wine drops active sensing), but only 1217 of the
# 2700 SysEx messages and 76 of the 200 requests, lost for want of a queued buffer while the one
# buffer waited for the callback; with 80 buffers all 2700 and the 200 requests in order. As fast
# as the kernel takes the bytes (TARNET_PROBE_PACE=none) the runs differ from one to the next:
# Wine's sequencer client, with the kernel's default input queue (about 18 SysEx events of 256
# bytes) and one event read at a time, falls behind; snd-virmidi then loses events and stalls (the
# write of the input takes the driver's 10-s drain time-out). Seen: 4352 or 6656 bytes of the long
# message, or all of it but (1 buffer) not the reply behind it; of the burst 104 to 183 of the 5000
# short messages. With 80 buffers queued again inside the callback the probe twice stopped
# receiving in the middle of that burst and then hung in midiInReset (Wine's sequencer thread holds
# the lock of its buffer queue while it waits for the callback thread, which waits for that lock in
# midiInAddBuffer); with --requeue-thread it lost as much (112 and 176 short messages) but stopped
# and closed normally. Wine ends the probe with a segmentation fault after it has used its ALSA
# driver (exit status 139), after the report.
#
# usage: scripts/winmm-input-probe-vm.sh     (needs build/windows/tests/tarnet-winmm-input-probe.exe)
# TARNET_PROBE_RUNS picks the runs (default "long:1 long:80 burst:1 burst:80", input:buffers);
# TARNET_PROBE_ARGS adds arguments to every probe (e.g. --requeue-thread).
set -uo pipefail
cd "$(dirname "$0")/.."

probe=build/windows/tests/tarnet-winmm-input-probe.exe

if [ "${1:-}" != --in-guest ]; then
  [ -e "$probe" ] || { echo "winmm-input-probe-vm: $probe is missing (build the windows preset)"; exit 2; }
  # The Wine prefix is made here, where Wine starts in seconds; the guest sees it through its
  # writable layer.
  prefix=${TARNET_WINE_PREFIX:-/var/tmp/tarnet-wine-input-probe}
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w
  TARNET_WINE_PREFIX=$prefix exec scripts/alsa-vm.sh -- bash scripts/winmm-input-probe-vm.sh --in-guest
fi

export WINEPREFIX=$TARNET_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/tmp
wait_for() {
  local limit=$1; shift
  for _ in $(seq 1 $(( limit * 5 ))); do "$@" && return 0; sleep 0.2; done
  return 1
}
# Wine maps a program's image from its file; over the guest's 9p share the mapping reads as
# zeros, so the probe runs from the guest's own memory.
mkdir -p /tmp/win && cp "$probe" /tmp/win/probe.exe
wineserver -p

python3 - <<'EOF'
long = bytes([0xF0]) + bytes(i % 127 for i in range(1, 11999)) + bytes([0xF7])
reply = bytes([0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x6A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF7])
open("/tmp/long.syx", "wb").write(long + reply)
burst = bytearray()
for i in range(10000):
    k = i % 4
    if k == 0: burst += bytes([0x90, i % 128, 0x40])
    elif k == 1: burst += bytes([0xF8])
    elif k == 2: burst += bytes([0xFE])
    else: burst += bytes([0xF0, 0x43, 0x10, 0x4C, i % 128, 0x00, 0xF7])
    if i % 50 == 49:
        n = i // 50
        burst += bytes([0xF0, 0x7D, 0x00, 0x6A, 0x06, n & 0x7F, n >> 7, 0xF7])
open("/tmp/burst.syx", "wb").write(bytes(burst))
print("inputs: long.syx %d bytes (12000-byte SysEx + 15-byte Identity Reply), burst.syx %d bytes"
      " (2500 note on, 2500 F8, 2500 FE, 2500 foreign SysEx, 200 requests)" % (len(long + reply), len(burst)))
EOF

ls -l /dev/snd/ 2>&1 | sed 's/^/  /'
status=0
run() {  # LABEL BUFFERS INPUT
  echo "== $1: $2 buffer(s) of 8192 bytes, input paced: ${TARNET_PROBE_PACE:-cable} ${TARNET_PROBE_ARGS:-}"
  # shellcheck disable=SC2086
  timeout 400 wine /tmp/win/probe.exe "VirMIDI 0-0" --buffers "$2" --idle 4000 --limit 150 ${TARNET_PROBE_ARGS:-} \
    >/tmp/probe.log 2>&1 &
  local pid=$!
  if ! wait_for 300 grep -q '^ready' /tmp/probe.log; then
    cat /tmp/probe.log; echo "(the probe did not get ready)"; kill "$pid" 2>/dev/null; status=1; return
  fi
  sleep 1
  local start; start=$(date +%s.%N)
  python3 - "$3" "${TARNET_PROBE_PACE:-cable}" <<'PACE'
import os, sys, time
data = open(sys.argv[1], "rb").read()
fd = os.open("/dev/snd/midiC0D0", os.O_WRONLY)
if sys.argv[2] == "none":
    os.write(fd, data)
else:
    step, due = 32, time.monotonic()
    for i in range(0, len(data), step):
        os.write(fd, data[i:i + step])
        due += step * 0.00032
        time.sleep(max(0.0, due - time.monotonic()))
os.close(fd)
PACE
  echo "(input written in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s)"
  wait "$pid"
  local rc=$?
  echo "(probe exit $rc$([ $rc = 124 ] && echo ": ended by the time-out, 400 s after its start"))"
  [ $rc = 124 ] && wineserver -k 2>/dev/null && wineserver -p
  grep -v '^  [0-9]*: "' /tmp/probe.log
}
for r in ${TARNET_PROBE_RUNS:-long:1 long:80 burst:1 burst:80}; do
  case ${r%%:*} in
    long) run "long message" "${r#*:}" /tmp/long.syx ;;
    burst) run "burst" "${r#*:}" /tmp/burst.syx ;;
  esac
done
wineserver -k 2>/dev/null
exit $status
