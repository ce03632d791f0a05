#!/usr/bin/env bash
# End to end over JACK: the device simulator as its own process, the engine (tarnet-update) in
# another, one whole update. The simulator also pulls blocks (the largest one included) and asks
# the host's identity by itself; the image it received must equal the embedded one byte for byte.
# usage: e2e_jack_update.sh DEVSIM UPDATE IMAGE
set -uo pipefail
devsim=$1 update=$2 image=$3
work=$(mktemp -d)
trap 'kill $sim_pid 2>/dev/null; rm -rf "$work"' EXIT

if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
  if [ "${TARNET_REQUIRE_JACK:-0}" = 1 ]; then echo "no JACK server answers"; exit 1; fi
  echo "no JACK server: skipped"; exit 77
fi

name="E2E Device $$"
"$devsim" --name "$name" --out "$work/received.bin" --expect-image "$image" \
  --pull A0000:9216:start --pull EC001:16383:start --pull EFFFF:1 --ask-identity --refuse 7:2 --timeout 120 \
  >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 150); do grep -q 'ready' "$work/devsim.log" && break; sleep 0.1; done
grep -q 'ready' "$work/devsim.log" || { echo "simulator did not come up:"; cat "$work/devsim.log"; exit 1; }

"$update" --device "$name" --quiet --timeout 120
update_status=$?
wait $sim_pid
sim_status=$?
cat "$work/devsim.log"
[ $update_status -eq 0 ] || { echo "tarnet-update failed ($update_status)"; exit 1; }
[ $sim_status -eq 0 ] || { echo "simulator verdict: FAIL ($sim_status)"; exit 1; }
cmp "$image" "$work/received.bin" || { echo "received image differs"; exit 1; }
echo "end-to-end update over JACK: image received byte for byte"
