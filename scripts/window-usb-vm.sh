#!/usr/bin/env bash
# The updater's window (tarnet-updater, default build) in the guest of scripts/alsa-vm.sh on a real
# USB MIDI device (scripts/usb-rig.sh), on a virtual X display, driven as a user would: for each
# PHASE (identification, erase, transfer, finish; default all four) the window's update is started
# with "Execute", the device is unplugged while the run waits in that phase, and the window must
# show its "Error" box within 5 s, with the run recorded in the history as the device's going
# (ending DeviceGone) and the text of that phase; then the box is closed, the device is plugged in
# again, "Rescan Device" is clicked, "Execute" again, and that update must complete (the
# simulator's verdict, the image byte for byte).
# Ends with one line "window-usb-vm: PASS: ..." or "window-usb-vm: FAIL: ...". An exploration aid,
# not a test: the window takes a while to start in the emulated guest.
# usage: scripts/window-usb-vm.sh [PHASE...]
set -uo pipefail
cd "$(dirname "$0")/.."
updater=build/default/app/qt/tarnet-updater
devsim=build/default/tools/tarnet-devsim
image=app/resources/firmware.bin

if [ "${1:-}" != --in-guest ]; then
  for f in "$devsim" "$updater"; do
    [ -e "$f" ] || { echo "window-usb-vm: $f is missing (build the default preset)"; exit 2; }
  done
  exec scripts/alsa-vm.sh -- bash scripts/window-usb-vm.sh --in-guest "$@"
fi
shift
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(identification erase transfer finish)

export XDG_STATE_HOME=/tmp/state XDG_RUNTIME_DIR=/tmp/runtime HOME=/tmp QT_QPA_PLATFORM=xcb DISPLAY=:5
mkdir -p /tmp/runtime && chmod 700 /tmp/runtime
history=$XDG_STATE_HOME/tarnet-updater/history.jsonl
. scripts/vm-common.sh
failures=()
fail() { failures+=("$*"); echo "window-usb-vm: $*"; }

bash scripts/usb-rig.sh up 1 >/tmp/rig.log 2>&1 || { cat /tmp/rig.log; echo "window-usb-vm: FAIL: the USB rig did not come up"; exit 1; }
grep '^usb-rig:' /tmp/rig.log
gadget() { sed -n 's/^device 1 gadget \([^ ]*\) .*/\1/p' /tmp/rig.log; }
start_device() {
  "$devsim" --rawmidi "$(gadget)" --expect-image "$image" "$@" >/tmp/devsim.log 2>&1 &
  devsim_pid=$!
  wait_for 30 grep -qs ready /tmp/devsim.log || { cat /tmp/devsim.log; fail "the simulator did not come up"; }
}

Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
wait_for 30 xdpyinfo >/dev/null 2>&1 || { cat /tmp/xvfb.log; echo "window-usb-vm: FAIL: Xvfb did not start"; exit 1; }
title="Tarnet System Ver 1.10 Updater"
start=$(now_ms)
"$updater" >/tmp/updater.log 2>&1 &
updater_pid=$!
window=
find_window() { window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1); [ -n "$window" ]; }
wait_for 300 find_window || { cat /tmp/updater.log; echo "window-usb-vm: FAIL: no window"; exit 1; }
echo "window open after $(( $(now_ms) - start )) ms"
error_box() { xdotool search --name '^Error$' 2>/dev/null | head -n 1; }
# Presses "Rescan Device" and "Execute" until the device sees the Identity Request (a click before
# the window takes input is lost; "Execute" is disabled while a run is under way, and after a
# completed one until the next rescan).
execute() {
  for _ in $(seq 1 10); do
    click_at 188 73
    sleep 1
    click_at 144 146
    wait_for 10 grep -q "Identity Request answered" /tmp/devsim.log && return 0
  done
  return 1
}

for phase in "${phases[@]}"; do
  case $phase in
    identification) opts=(--mute) reach='Identity Request' text='Time out error(1)' ;;
    erase) opts=(--erase-delay 60000) reach='ERASE' text='Transfer error occurred.' ;;
    transfer) opts=(--drop-reply 5) reach='block 5 at' text='Transfer error occurred.' ;;
    finish) opts=(--no-finish-reply) reach='FINISH' text='Transfer error occurred.' ;;
    *) echo "unknown phase $phase"; exit 2 ;;
  esac
  start_device --serve --lenient --timeout 600 "${opts[@]}"
  records=$(cat "$history" 2>/dev/null | wc -l)
  # (A mute device logs what it would have answered.)
  if ! execute; then
    fail "$phase: \"Execute\" did not start an update"; kill "$devsim_pid"; continue
  fi
  wait_for 120 grep -q "$reach" /tmp/devsim.log || { fail "$phase: the run did not reach the $phase"; kill "$devsim_pid"; continue; }
  sleep 0.5
  bash scripts/usb-rig.sh unplug 1 >/tmp/unplug.log 2>&1 &
  unplug_pid=$!
  wait_for 20 test -n "$(error_box)"
  box=$(error_box)
  wait "$unplug_pid"
  t0=$(sed -n 's/^usb-rig: device 1 unplugged at //p' /tmp/unplug.log)
  kill "$devsim_pid" 2>/dev/null; wait "$devsim_pid" 2>/dev/null
  if [ -z "$box" ]; then
    fail "$phase: no \"Error\" box within 20 s of the unplug"
  else
    # The box's text is the window's; the history has the run's ending and its end, the moment
    # the box was shown (looking for the box takes longer than that in the emulated guest).
    wait_for 10 sh -c "[ \$(cat '$history' 2>/dev/null | wc -l) -gt $records ]"
    last=$(tail -n 1 "$history" 2>/dev/null)
    ending=$(echo "$last" | sed -n 's/.*"ending":"\([^"]*\)".*/\1/p')
    end=$(echo "$last" | sed -n 's/.*"end":"\([^"]*\)".*/\1/p')
    t1=$(date -d "$end" +%s%3N 2>/dev/null || now_ms)
    ms=$(( t1 - ${t0:-$t1} ))
    echo "$phase: device unplugged -> run ended (\"Error\" box) after $ms ms; history: ending $ending (the box's text for it: \"$text\")"
    [ "$ms" -lt 5000 ] || fail "$phase: the box came after $ms ms"
    [ "$ending" = DeviceGone ] || fail "$phase: the history records ending \"$ending\""
    xdotool windowfocus --sync "$box" key --clearmodifiers Return 2>/dev/null
    wait_for 10 test -z "$(error_box)" || fail "$phase: the box does not close"
  fi
  # Plugged in again: "Rescan Device", "Execute", and the update completes.
  bash scripts/usb-rig.sh replug 1 >/tmp/rig.log 2>&1 || { cat /tmp/rig.log; fail "$phase: replug"; continue; }
  start_device --out /tmp/received.bin --timeout 600
  click_at 188 73
  sleep 1
  if execute && wait_for 300 grep -q "devsim: PASS\|devsim: FAIL" /tmp/devsim.log && grep -q "devsim: PASS" /tmp/devsim.log &&
     cmp -s "$image" /tmp/received.bin; then
    echo "$phase: after \"Rescan Device\" the next update completed"
  else
    tail -n 3 /tmp/devsim.log
    fail "$phase: the update after \"Rescan Device\" did not complete"
  fi
  kill "$devsim_pid" 2>/dev/null; wait "$devsim_pid" 2>/dev/null
  # The completed run's box-less end leaves "Execute" disabled until the next rescan.
  click_at 188 73
  sleep 1
done
kill "$updater_pid" 2>/dev/null
bash scripts/usb-rig.sh down

if [ ${#failures[@]} -eq 0 ]; then
  echo "window-usb-vm: PASS: the window showed the error within 5 s of every unplug and completed the update after \"Rescan Device\""
  exit 0
fi
echo "window-usb-vm: FAIL: ${failures[*]}"
exit 1
