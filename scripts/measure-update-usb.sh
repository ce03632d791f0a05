#!/usr/bin/env bash
# Prints how long updates through real USB MIDI devices take in the guest of scripts/alsa-vm.sh
# (scripts/usb-rig.sh), beside the protocol's floor and beside an update of a software device on
# the same guest's sequencer: one update to a simulated device on the sequencer, one through one
# USB device, `tarnet-update --all` over N identical USB devices (default 15, the rig's limit),
# the time from an unplug in each phase to the error, and the rig's refusal of one device more
# than it can make. Every image is checked byte for byte
# (tests/e2e_usb.sh). A measurement, not a test; the figures follow the host's load, printed too.
# usage: scripts/measure-update-usb.sh [N]      (needs build/default)
set -uo pipefail
cd "$(dirname "$0")/.."
n=${1:-15}
if [ "${2:-}" != --in-guest ]; then
  [ -x build/default/tools/tarnet-devsim ] || { echo "measure-update-usb: build the default preset first"; exit 2; }
  echo "host load: $(cut -d' ' -f1-3 /proc/loadavg)"
  TARNET_VM_TIMEOUT=${TARNET_VM_TIMEOUT:-2400} exec scripts/alsa-vm.sh -- bash scripts/measure-update-usb.sh "$n" --in-guest
fi
devsim=build/default/tools/tarnet-devsim
update=build/default/tools/tarnet-update
image=app/resources/firmware.bin
export XDG_STATE_HOME=/tmp/state

echo "== a software device on the sequencer"
"$devsim" --name "Soft Device" --quiet --expect-image "$image" --timeout 300 >/tmp/soft.log 2>&1 &
soft_pid=$!
for _ in $(seq 1 300); do grep -q ready /tmp/soft.log && break; sleep 0.1; done
"$update" --device "Soft Device" --quiet --measure --linger 0 --timeout 280
wait "$soft_pid"
tail -n 1 /tmp/soft.log
echo "== one USB device"
bash tests/e2e_usb.sh one "$devsim" "$update" "$image"
echo "== $n identical USB devices, tarnet-update --all"
bash tests/e2e_usb.sh all "$devsim" "$update" "$image" "$n"
echo "== unplugged in each phase, then plugged in again"
bash tests/e2e_usb.sh unplug "$devsim" "$update" "$image" identification erase transfer finish
echo "== one device more than the rig's limit"
bash scripts/usb-rig.sh up 16 2>&1 | tail -n 1
bash scripts/usb-rig.sh down
echo "guest load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
