#!/usr/bin/env bash
# The Windows terminal runner (tarnet-update.exe, windows preset) under Wine in the guest of
# scripts/alsa-vm.sh, on a real USB MIDI device of the guest's kernel (scripts/usb-rig.sh): Wine's
# multimedia MIDI reaches it through its ALSA driver, as on a Linux desktop with the device plugged
# in. The device is played by tarnet-devsim on the gadget's raw MIDI device.
#  1. The devices Wine lists; one update with --measure, the image checked byte for byte.
#  2. An update whose device is unplugged while the blocks go out: the run should end within 5 s
#     with "Transfer error occurred." and "device disconnected", and, the device plugged in again,
#     a new run completes. What Wine 8.0 does here: its ALSA driver neither closes the input
#     (MIM_CLOSE) when the device's sequencer client leaves nor fails a send that is not made, and
#     the run waits for the answer to the block it sent last, so it ends with its reply time-out,
#     "Time out error(2)", 30 s later (this check fails).
#
# Wine's ALSA driver sends each long message as one sequencer event; to a USB device's port the
# kernel's snd-seq-midi writes such an event into the device's raw MIDI output buffer whole or not
# at all ("seq_midi: MIDI output buffer overrun" in the kernel's log), and that buffer is 4 KiB by
# default, smaller than a block. The guest loads snd-seq-midi with output_buffer_size=65536
# (TARNET_SEQ_MIDI_OUTPUT_BUFFER; 0 keeps the kernel's default, to see the loss), as a user of the
# Windows program under Wine sets it with "options snd-seq-midi output_buffer_size=65536".
#
# Ends with one line "wine-usb-vm: PASS: ..." or "wine-usb-vm: FAIL: ..." (exit status 0 or 1). An
# exploration aid, not a test: Wine takes up to a minute to start in the emulated guest.
# usage: scripts/wine-usb-vm.sh
# Needs build/default (tarnet-devsim) and build/windows (tarnet-update.exe).
set -uo pipefail
cd "$(dirname "$0")/.."

runner=build/windows/tools/tarnet-update.exe
devsim=build/default/tools/tarnet-devsim
image=app/resources/firmware.bin

if [ "${1:-}" != --in-guest ]; then
  for f in "$devsim" "$runner"; do
    [ -e "$f" ] || { echo "wine-usb-vm: $f is missing (build the default and windows presets)"; exit 2; }
  done
  # The Wine prefix is made here, where Wine starts in seconds; the guest sees it through its
  # writable layer.
  prefix=${TARNET_WINE_PREFIX:-/var/tmp/tarnet-wine-usb-vm}
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w
  TARNET_WINE_PREFIX=$prefix exec scripts/alsa-vm.sh -- bash scripts/wine-usb-vm.sh --in-guest
fi

export WINEPREFIX=$TARNET_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/tmp
. scripts/vm-common.sh
failures=()
fail() { failures+=("$*"); echo "wine-usb-vm: $*"; }

buffer=${TARNET_SEQ_MIDI_OUTPUT_BUFFER:-65536}
if [ "$buffer" != 0 ]; then
  modprobe snd-seq-midi output_buffer_size="$buffer" || fail "snd-seq-midi did not load"
fi
echo "snd-seq-midi output buffer: $(cat /sys/module/snd_seq_midi/parameters/output_buffer_size 2>/dev/null || echo default) bytes"
bash scripts/usb-rig.sh up 1 >/tmp/rig.log 2>&1 || { cat /tmp/rig.log; echo "wine-usb-vm: FAIL: the USB rig did not come up"; exit 1; }
cat /tmp/rig.log
gadget() { sed -n 's/^device 1 gadget \([^ ]*\) .*/\1/p' /tmp/rig.log; }
start_device() {
  "$devsim" --rawmidi "$(gadget)" --quiet --expect-image "$image" "$@" >/tmp/devsim.log 2>&1 &
  devsim_pid=$!
  wait_for 30 grep -qs ready /tmp/devsim.log || { cat /tmp/devsim.log; fail "the simulator did not come up"; }
}
# Wine maps a program's image from its file; over the guest's 9p share the mapping reads as
# zeros, so the program runs from the guest's own memory.
mkdir -p /tmp/win && cp "$runner" /tmp/win/
wineserver -p

# --- 1. One update ---------------------------------------------------------------------------
start_device --out /tmp/received.bin --timeout 600
echo "== tarnet-update.exe --list"
wine /tmp/win/tarnet-update.exe --list | tr -d '\r' | tee /tmp/list.txt
# Wine names a sequencer port "CLIENT - PORT" when both fit in 31 characters, else the port alone.
name=$(sed -n 's/^ *[0-9]*: \(USB Audio Device.*\)$/\1/p' /tmp/list.txt | head -n 1)
[ -n "$name" ] || fail "Wine lists no \"USB Audio Device\""
echo "== tarnet-update.exe --device \"$name\" --measure"
wine /tmp/win/tarnet-update.exe --device "$name" --measure --linger 0 --timeout 300 | tr -d '\r'
echo "(exit ${PIPESTATUS[0]})"
wait_for 20 grep -q "devsim: PASS\|devsim: FAIL" /tmp/devsim.log
grep "raw MIDI\|PASS\|FAIL" /tmp/devsim.log
grep -q "devsim: PASS" /tmp/devsim.log && cmp -s "$image" /tmp/received.bin || fail "the update under Wine did not pass"
kill "$devsim_pid" 2>/dev/null

# --- 2. Unplugged during the transfer ----------------------------------------------------------
# unplugged RUN-ARGS... : an update (the device answering as it should, or as DEVSIM_OPTS asks) whose
# device is unplugged once 5 blocks have gone; prints the time from the unbind to the error, the
# error and the exit status into /tmp/unplugged.txt; false when the run did not reach the transfer.
unplugged() {
  : >/tmp/update.log
  wine /tmp/win/tarnet-update.exe --device "$name" --timeout 120 --linger 0 "$@" >/tmp/update.log 2>&1 &
  local update_pid=$! t0 t1 status
  five_blocks() { [ "$(grep -c '^progress:' /tmp/update.log)" -ge 5 ]; }
  if ! wait_for 120 five_blocks; then
    tr -d '\r' </tmp/update.log | sed 's/^/  | /'
    kill "$update_pid" 2>/dev/null
    return 1
  fi
  bash scripts/usb-rig.sh unplug 1 >/tmp/unplug.log 2>&1 &
  local unplug_pid=$!
  wait_for 40 grep -q '^Error: ' /tmp/update.log
  t1=$(now_ms)
  wait_for 10 grep -q 'unplugged at' /tmp/unplug.log
  t0=$(sed -n 's/^usb-rig: device 1 unplugged at //p' /tmp/unplug.log)
  wait "$update_pid"
  status=$?
  wait "$unplug_pid"
  tr -d '\r' </tmp/update.log | sed 's/^/  | /'
  echo "$(( t1 - ${t0:-$t1} )) $status" >/tmp/unplugged.txt
}
replug() {
  kill "$devsim_pid" 2>/dev/null
  wait "$devsim_pid" 2>/dev/null
  bash scripts/usb-rig.sh replug 1 >/tmp/rig.log 2>&1 || { cat /tmp/rig.log; fail "replug"; }
}

# While blocks go out (the device answers each at once). The run spends most of its time waiting
# for the answer to the block it sent last, so that is where the unplug finds it.
start_device --serve --lenient --timeout 600
if unplugged; then
  read -r ms status </tmp/unplugged.txt
  echo "unplugged while blocks go out: the error shows $ms ms after the unbind; exit status $status"
  tr -d '\r' </tmp/update.log | grep -q '^Error: Transfer error occurred\.$' || fail "no \"Transfer error occurred.\""
  tr -d '\r' </tmp/update.log | grep -q '^tarnet-update: device disconnected$' || fail "no \"device disconnected\""
  [ "$status" = 1 ] || [ "$status" = 139 ] || fail "exit status $status after the unplug"
  [ "$ms" -lt 5000 ] || fail "the error came after $ms ms"
else
  fail "the run did not reach the transfer"
fi
replug

# Plugged in again: a new run completes.
start_device --out /tmp/received.bin --timeout 600
wine /tmp/win/tarnet-update.exe --device "$name" --quiet --linger 0 --timeout 300 | tr -d '\r'
wait_for 20 grep -q "devsim: PASS\|devsim: FAIL" /tmp/devsim.log
grep -q "devsim: PASS" /tmp/devsim.log && cmp -s "$image" /tmp/received.bin && echo "plugged in again: the next run completed" \
  || fail "the run after the device came back did not pass"
kill "$devsim_pid" 2>/dev/null
wineserver -k 2>/dev/null
bash scripts/usb-rig.sh down
overruns=$(dmesg | grep -c 'MIDI output buffer overrun')
echo "the kernel's log: $overruns \"MIDI output buffer overrun\" lines"

if [ ${#failures[@]} -eq 0 ]; then
  echo "wine-usb-vm: PASS: under Wine the terminal runner updated a USB MIDI device whole, ended at once when it was unplugged, and updated it again once it was back"
  exit 0
fi
echo "wine-usb-vm: FAIL: ${failures[*]}"
exit 1
