#!/usr/bin/env bash
# End to end over JACK: the device simulator as its own process, the engine (tarnet-update) in
# another, one whole update. The simulator also pulls blocks (the largest one included) and asks
# the host's identity by itself; the image it received must equal the embedded one byte for byte.
# With PROBE (jack_process_probe.c) both programs run with it loaded, and on the JACK process
# thread of either one no heap call, no blocking lock and no throw may come during the whole run.
# usage: e2e_jack_update.sh DEVSIM UPDATE IMAGE [PROBE]
set -uo pipefail
devsim=$1 update=$2 image=$3 probe=${4:-}
work=$(mktemp -d)
trap 'kill $sim_pid 2>/dev/null; rm -rf "$work"' EXIT

if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
  if [ "${TARNET_REQUIRE_JACK:-0}" = 1 ]; then echo "no JACK server answers"; exit 1; fi
  echo "no JACK server: skipped"; exit 77
fi

preload=()
if [ -n "$probe" ]; then
  preload=(env "LD_PRELOAD=$probe" "TARNET_PROBE_OUT=$work/counts")
fi
name="E2E Device $$"
"${preload[@]}" "$devsim" --name "$name" --out "$work/received.bin" --expect-image "$image" \
  --pull A0000:9216:start --pull EC001:16383:start --pull EFFFF:1 --ask-identity --refuse 7:2 --timeout 120 \
  >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 150); do grep -q 'ready' "$work/devsim.log" && break; sleep 0.1; done
grep -q 'ready' "$work/devsim.log" || { echo "simulator did not come up:"; cat "$work/devsim.log"; exit 1; }

"${preload[@]}" "$update" --device "$name" --quiet --timeout 120
update_status=$?
wait $sim_pid
sim_status=$?
cat "$work/devsim.log"
[ $update_status -eq 0 ] || { echo "tarnet-update failed ($update_status)"; exit 1; }
[ $sim_status -eq 0 ] || { echo "simulator verdict: FAIL ($sim_status)"; exit 1; }
cmp "$image" "$work/received.bin" || { echo "received image differs"; exit 1; }
echo "end-to-end update over JACK: image received byte for byte"
[ -n "$probe" ] || exit 0

echo "on the JACK process thread:"
cat "$work/counts"
failed=0
for program in tarnet-devsim tarnet-update; do
  line=$(grep "^$program " "$work/counts")
  [ -n "$line" ] || { echo "no counts of $program"; failed=1; continue; }
  [ "$(sed -n 's/.* cycles=\([0-9]*\).*/\1/p' <<<"$line")" -gt 0 ] || { echo "$program: no process cycle seen"; failed=1; }
  for what in heap locks throws; do
    n=$(sed -n "s/.* $what=\([0-9]*\).*/\1/p" <<<"$line")
    [ "$n" = 0 ] || { echo "$program: $n $what on the process thread"; failed=1; }
  done
done
exit $failed
