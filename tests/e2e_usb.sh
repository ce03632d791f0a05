#!/usr/bin/env bash
# End to end through real USB MIDI devices: the kernel's USB audio driver on the host side, USB
# gadgets on the other (scripts/usb-rig.sh), the device simulator (tarnet-devsim --rawmidi) playing
# each gadget, the terminal runner (tarnet-update) updating the "USB Audio Device"s it lists. Runs
# inside the guest of scripts/alsa-vm.sh only, where it may change the kernel's USB gadgets.
# usage: e2e_usb.sh MODE DEVSIM UPDATE IMAGE [ARGS]
#   one          one update through one device: completes, the image arrives whole, the driver on
#                the gadget's side lost no byte; prints the duration beside the protocol's floor
#   all N        N identical devices: listed as "USB Audio Device", "(2)" ... "(N)" in both lists,
#                `tarnet-update --all` updates every one, each image whole; device 2 reports the
#                other accepted model, and the report must show it under "USB Audio Device (2)"
#                (the name of the second device plugged in), and each record names its own unit
#                (USB serial number and bus path) and the software revision; prints the slowest update beside
#                the duration of the whole command
#   pairing      three identical devices, the second with no MIDI OUT jack (the host can only
#                write to it): listed as "USB Audio Device", "(2)", "(3)" as MIDI OUT and as
#                "USB Audio Device", "(3)" as MIDI IN, so that each name is one unit in both lists;
#                `tarnet-update --all` updates the first and the third (which reports the other
#                accepted model, so its record shows that "(3)" reached the third unit), each image
#                whole, and leaves the second alone
#   unplug PHASE...  for each PHASE (identification, erase, transfer, finish): the device is
#                unplugged while the run waits in it; the run must end within 5 s with the error
#                of that phase and "device disconnected", and the rescan no longer lists it; then
#                it is plugged in again and the next run completes
# Exit 77 (skipped) outside the guest (TARNET_VM_GUEST unset) or without /dev/snd/seq, unless
# TARNET_REQUIRE_ALSA=1.
set -uo pipefail
mode=$1 devsim=$2 update=$3 image=$4
shift 4
rig="$(cd "$(dirname "$0")/.." && pwd)/scripts/usb-rig.sh"
# shellcheck source=gone_verdict.sh
. "$(dirname "$0")/gone_verdict.sh"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  bash "$rig" down >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${TARNET_VM_GUEST:-}" ] || [ ! -c /dev/snd/seq ]; then
  if [ "${TARNET_REQUIRE_ALSA:-0}" = 1 ]; then echo "not in the guest of scripts/alsa-vm.sh (no TARNET_VM_GUEST or /dev/snd/seq)"; exit 1; fi
  echo "USB gadgets are made only in the guest of scripts/alsa-vm.sh: skipped"; exit 77
fi

now_ms() { date +%s%3N; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# rig_up N [OPTIONS]: N devices; the gadget side of device k in gadget[k].
declare -A gadget card
rig_up() {
  bash "$rig" up "$@" >"$work/rig.log" 2>&1 || { cat "$work/rig.log"; echo "FAIL: the USB rig did not come up"; exit 1; }
  grep '^usb-rig:' "$work/rig.log"
  read_gadgets
}
# The guest has no /dev/fd, so no process substitution.
read_gadgets() {
  grep '^device ' "$work/rig.log" >"$work/devices"
  while read -r _ k _ g _ _ _ h _; do gadget[$k]=$g; card[$k]=$h; done <"$work/devices"
}

# start_device K LOG OPTIONS...: the simulator on device K's gadget; waits for its ready line.
start_device() {
  local k=$1 log=$2; shift 2
  "$devsim" --rawmidi "${gadget[$k]}" --capture "$work/capture.$k.bin" --quiet --lenient --expect-image "$image" "$@" >"$log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 1 600); do grep -qs 'ready' "$log" && return 0; kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
  echo "simulator $k did not come up:"; cat "$log"; exit 1
}

# check_device K LOG RECEIVED PID: the simulator of device K passed (it read every byte that its
# driver received), its image is whole. Beside it, the bytes that the host's USB card sent (its
# driver's count) against those that reached the gadget's driver (the simulator's count). Now and
# then (about once in eight updates here) the kernel's emulated USB path (snd-usb-audio, dummy_hcd,
# f_midi) hands over the last byte of a block message changed: the count is whole, but its 0xF7
# came as a data byte. The simulator reads the block's length field as a device does, so it takes
# the message at its length, refuses it as malformed, and the host sends the block again; the
# simulators run --lenient (a malformed block does not fail them) and the refusal shows in the
# verdict's counts. A failed run prints where the bytes read leave the shape of the host's messages
# (the simulator's --capture).
check_device() {
  local k=$1 log=$2 received=$3 pid=$4 ok=1
  wait "$pid" || { fail "device $k: simulator verdict"; ok=0; }
  grep -E 'raw MIDI|PASS|FAIL|unfinished|no complete' "$log" | sed "s/^/[$k] /"
  cmp -s "$image" "$received" || { fail "device $k: the image received differs"; ok=0; }
  usb_counts "$k" "$log"
  [ $ok = 1 ] || capture_faults "$k" "$work/capture.$k.bin"
}
# capture_faults K FILE: where the bytes that device K read (its simulator's --capture) leave the
# shape of the host's messages: every message from 0xF0 to 0xF7 with only data bytes between, each
# block message as long as a whole block.
capture_faults() {
  [ -s "$2" ] || return 0
  python3 - "$1" "$2" <<'EOF'
import sys
k, data = sys.argv[1], open(sys.argv[2], "rb").read()
BLOCK = 10551  # a whole block's message: 9216 bytes packed into 10533, with its 18 bytes around them
faults, start, messages = [], None, 0
def near(i):
    return " ".join("%02X" % b for b in data[max(0, i - 6):i + 6])
for i, b in enumerate(data):
    if b == 0xF0:
        if start is not None: faults.append("message at %d not ended before the next at %d" % (start, i))
        start = i
    elif b == 0xF7:
        if start is None: faults.append("0xF7 at %d outside a message (%s)" % (i, near(i)))
        else:
            n = i + 1 - start
            messages += 1
            if data[start + 4:start + 5] == b"\x02" and n != BLOCK:
                faults.append("block message at %d is %d bytes long, not %d" % (start, n, BLOCK))
            start = None
    elif b >= 0x80:
        faults.append("status byte %02X at %d (%s)" % (b, i, near(i)))
    elif start is None:
        faults.append("data byte %02X at %d outside a message (%s)" % (b, i, near(i)))
    if len(faults) >= 5: break
if start is not None: faults.append("message at %d (%d bytes) not ended: last bytes %s" % (start, len(data) - start, near(len(data) - 6)))
print("[%s] capture: %d bytes, %d whole messages; %s" % (k, len(data), messages, "; ".join(faults) or "every message whole and well formed"))
EOF
}
# usb_counts K LOG: both directions of device K by the drivers' counts: what the host's card sent
# against what the gadget's driver received (the simulator's count, in LOG), and what the gadget's
# card sent against what the host's card received.
usb_counts() {
  local k=$1 log=$2 g sent got back came
  g=${gadget[$k]#/dev/snd/midiC}
  g=${g%D0}
  tx() { sed -n '/^Output 0/,/Tx bytes/s/^ *Tx bytes *: *//p' "/proc/asound/card$1/midi0" 2>/dev/null; }
  rx() { sed -n '/^Input 0/,/Rx bytes/s/^ *Rx bytes *: *//p' "/proc/asound/card$1/midi0" 2>/dev/null; }
  sent=$(tx "${card[$k]}")
  got=$(sed -n 's/.*; \([0-9]*\) bytes received by the driver.*/\1/p' "$log")
  back=$(tx "$g")
  came=$(rx "${card[$k]}")
  if [ -n "$sent" ] && [ "$sent" = "$got" ] && [ -n "$back" ] && [ "$back" = "$came" ]; then
    echo "[$k] host card ${card[$k]} sent $sent bytes and received $came, all the gadget's driver received and sent"
  else
    echo "[$k] NOTE: lost in the kernel's USB path: host card ${card[$k]} sent ${sent:-?} bytes, the gadget's driver received ${got:-?}; the gadget's card $g sent ${back:-?}, the host's received ${came:-?}"
  fi
}

case "$mode" in
  one)
    rig_up 1
    start_device 1 "$work/devsim.log" --out "$work/received.bin" --timeout 200
    sim=$sim_pid
    "$update" --device "USB Audio Device" --quiet --measure --linger 0 --timeout 180 | tee "$work/update.log" || fail "the update did not complete"
    check_device 1 "$work/devsim.log" "$work/received.bin" "$sim"
    ;;
  all)
    n=${1:-3}
    rig_up "$n"
    sims=()
    for k in $(seq 1 "$n"); do
      model=6A
      [ "$k" = 2 ] && model=69
      start_device "$k" "$work/devsim.$k.log" --model "$model" --out "$work/received.$k.bin" --serve --timeout 400
      sims+=("$sim_pid")
    done
    "$update" --list >"$work/list.log" 2>&1
    expected=("USB Audio Device")
    for k in $(seq 2 "$n"); do expected+=("USB Audio Device ($k)"); done
    for direction in OUT IN; do
      got=$(sed -n "/^MIDI $direction devices:/,/devices:/p" "$work/list.log" | sed -n 's/^ *[0-9]*: \(USB Audio Device.*\)$/\1/p')
      [ "$got" = "$(printf '%s\n' "${expected[@]}")" ] || { fail "MIDI $direction list"; cat "$work/list.log"; }
    done
    t0=$(now_ms)
    "$update" --all --quiet --timeout 380 --report "$work/report.json" >"$work/all.log" 2>&1 || fail "tarnet-update --all"
    t1=$(now_ms)
    tail -n $((n + 2)) "$work/all.log"
    for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for k in $(seq 1 "$n"); do check_device "$k" "$work/devsim.$k.log" "$work/received.$k.bin" "${sims[$((k - 1))]}"; done
    python3 - "$work/report.json" "$n" $((t1 - t0)) <<'EOF' || failed=1
import json, sys
records = json.load(open(sys.argv[1]))
if isinstance(records, dict):
    records = records.get("records", records.get("devices", [records]))
n, whole = int(sys.argv[2]), int(sys.argv[3])
names = {r["midi_in"]: r for r in records}
ok = True
for k in range(1, n + 1):
    name = "USB Audio Device" if k == 1 else "USB Audio Device (%d)" % k
    r = names.get(name)
    if r is None or r["ending"] != "Completed":
        print("FAIL: %s: %s" % (name, "no record" if r is None else r["ending"])); ok = False
    elif r["model"] != ("0x69" if k == 2 else "0x6A"):
        print("FAIL: %s is not device %d: model %s" % (name, k, r["model"])); ok = False
    elif not r.get("software_revision") or not r.get("usb_serial") or not r.get("usb_path"):
        print("FAIL: %s: the record does not name its unit: %s" % (name, {f: r.get(f) for f in ("software_revision", "usb_serial", "usb_path")})); ok = False
units = [(r.get("usb_serial"), r.get("usb_path")) for r in records]
if len(set(units)) != len(units):
    print("FAIL: two records name the same unit: %s" % units); ok = False
slowest = max(r["duration_ms"] for r in records)
print("USB, --all over %d devices: %d ms for the command; slowest update %d ms (floor ratio %.2f)"
      % (n, whole, slowest, max(r["floor_ratio"] for r in records)))
sys.exit(0 if ok else 1)
EOF
    ;;
  pairing)
    rig_up 3 --out-only 2
    sims=()
    for k in 1 3; do
      model=6A
      [ "$k" = 3 ] && model=69
      start_device "$k" "$work/devsim.$k.log" --model "$model" --out "$work/received.$k.bin" --serve --timeout 400
      sims+=("$sim_pid")
    done
    "$update" --list >"$work/list.log" 2>&1
    for direction in OUT IN; do
      if [ $direction = OUT ]; then
        expected=$(printf '%s\n' "USB Audio Device" "USB Audio Device (2)" "USB Audio Device (3)")
      else
        expected=$(printf '%s\n' "USB Audio Device" "USB Audio Device (3)")
      fi
      got=$(sed -n "/^MIDI $direction devices:/,/devices:/p" "$work/list.log" | sed -n 's/^ *[0-9]*: \(USB Audio Device.*\)$/\1/p')
      [ "$got" = "$expected" ] || { fail "MIDI $direction list"; cat "$work/list.log"; }
    done
    "$update" --all --quiet --timeout 380 --report "$work/report.json" >"$work/all.log" 2>&1 || fail "tarnet-update --all"
    tail -n 4 "$work/all.log"
    for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null; done
    check_device 1 "$work/devsim.1.log" "$work/received.1.bin" "${sims[0]}"
    check_device 3 "$work/devsim.3.log" "$work/received.3.bin" "${sims[1]}"
    python3 - "$work/report.json" <<'EOF' || failed=1
import json, sys
records = json.load(open(sys.argv[1]))
if isinstance(records, dict):
    records = records.get("records", records.get("devices", [records]))
got = sorted((r["midi_in"], r["midi_out"], r["ending"], r["model"]) for r in records)
want = [("USB Audio Device", "USB Audio Device", "Completed", "0x6A"),
        ("USB Audio Device (3)", "USB Audio Device (3)", "Completed", "0x69")]
if got != want:
    print("FAIL: records %s, expected %s" % (got, want)); sys.exit(1)
print("USB, one unit without MIDI IN between two: each name reached its own unit")
EOF
    ;;
  unplug)
    rig_up 1
    limit_ms=5000
    for phase in "$@"; do
      case $phase in
        identification) opts=(--mute) error='Time out error(1)' ;;
        erase) opts=(--erase-delay 60000) error='Transfer error occurred.' ;;
        transfer) opts=(--drop-reply 5) error='Transfer error occurred.' ;;
        finish) opts=(--no-finish-reply) error='Transfer error occurred.' ;;
        *) echo "unknown phase $phase"; exit 2 ;;
      esac
      start_device 1 "$work/devsim.log" --serve --lenient --timeout 200 "${opts[@]}"
      sim=$sim_pid
      : >"$work/update.log"
      "$update" --device "USB Audio Device" --timeout 60 --linger 1500 --rescan >"$work/update.log" 2>&1 &
      upd=$!
      pids+=("$upd")
      case $phase in
        identification) pattern='^MIDI IN ' count=1 ;;
        erase) pattern='^status: Erasing' count=1 ;;
        transfer) pattern='^progress:' count=5 ;;
        finish) pattern='^progress: 327680' count=1 ;;
      esac
      reached=0
      for _ in $(seq 1 3000); do
        [ "$(grep -c -- "$pattern" "$work/update.log")" -ge "$count" ] && { reached=1; break; }
        kill -0 "$upd" 2>/dev/null || break
        sleep 0.01
      done
      if [ $reached -eq 0 ]; then
        fail "$phase: the run did not reach the $phase"; sed 's/^/    | /' "$work/update.log"
        kill -TERM "$sim" 2>/dev/null; wait "$sim" 2>/dev/null
        sed 's/^/    devsim | /' "$work/devsim.log"
        usb_counts 1 "$work/devsim.log"
        kill -9 "$upd" 2>/dev/null; wait "$upd" 2>/dev/null
        continue
      fi
      sleep 0.5
      bash "$rig" unplug 1 >"$work/unplug.log" 2>&1 &
      unplug_pid=$!
      for _ in $(seq 1 4000); do grep -q '^Error: ' "$work/update.log" && break; sleep 0.01; done
      t1=$(now_ms)
      for _ in $(seq 1 1000); do grep -q 'unplugged at' "$work/unplug.log" && break; sleep 0.01; done
      t0=$(sed -n 's/^usb-rig: device 1 unplugged at //p' "$work/unplug.log")
      [ -n "$t0" ] || t0=$t1
      wait "$upd"
      status=$?
      wait "$unplug_pid" || fail "$phase: the rig could not unplug the device"
      kill -TERM "$sim" 2>/dev/null
      wait "$sim" 2>/dev/null
      ms=$((t1 - t0))
      verdict=$(gone_verdict "$work/update.log" "$error" "$phase" "$status" "$ms" "$limit_ms" "USB Audio Device")
      printf 'USB, %-15s unplugged -> error shown after %5d ms: %s\n' "$phase" "$ms" "$verdict"
      [ "$verdict" = ok ] || { failed=1; sed 's/^/    | /' "$work/update.log"; }
      # Plugged in again: the next run completes.
      bash "$rig" replug 1 >"$work/rig.log" 2>&1 || { cat "$work/rig.log"; fail "$phase: replug"; continue; }
      read_gadgets
      start_device 1 "$work/devsim.log" --out "$work/received.bin" --timeout 200
      sim=$sim_pid
      if "$update" --device "USB Audio Device" --quiet --linger 0 --timeout 180 >"$work/update.log" 2>&1; then
        check_device 1 "$work/devsim.log" "$work/received.bin" "$sim"
        echo "USB, $phase: next run after the device came back: completed"
      else
        fail "$phase: the next run after the device came back"; sed 's/^/    | /' "$work/update.log"
        kill -9 "$sim" 2>/dev/null
      fi
    done
    ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
[ $failed -eq 0 ] || { echo "FAILED"; exit 1; }
echo "end-to-end through USB ($mode): passed"
