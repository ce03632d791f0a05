#!/usr/bin/env bash
# A whole update over JACK, the simulated device and the updater each as its own process, both with
# the process probe (jack_process_probe.c) loaded: on the JACK process thread of either program,
# no heap call, no blocking lock and no exception during the whole run. The device also pulls
# blocks (the largest one included, so events longer than one span arrive) and asks the host's
# identity, and refuses a block twice, so every kind of exchange passes the process threads.
# usage: jack_process_thread_test.sh DEVSIM UPDATE IMAGE PROBE
set -uo pipefail
devsim=$1 update=$2 image=$3 probe=$4
work=$(mktemp -d)
trap 'kill $sim_pid 2>/dev/null; rm -rf "$work"' EXIT

if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
  if [ "${TARNET_REQUIRE_JACK:-0}" = 1 ]; then echo "no JACK server answers"; exit 1; fi
  echo "no JACK server: skipped"; exit 77
fi

export TARNET_PROBE_OUT=$work/counts
name="RT Device $$"
LD_PRELOAD=$probe "$devsim" --name "$name" --expect-image "$image" \
  --pull A0000:9216:start --pull EC001:16383:start --pull EFFFF:1 --ask-identity --refuse 7:2 --timeout 120 \
  >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 150); do grep -q 'ready' "$work/devsim.log" && break; sleep 0.1; done
grep -q 'ready' "$work/devsim.log" || { echo "simulator did not come up:"; cat "$work/devsim.log"; exit 1; }

LD_PRELOAD=$probe "$update" --device "$name" --quiet --timeout 120
update_status=$?
wait $sim_pid
sim_status=$?
sim_pid=
tail -n 1 "$work/devsim.log"
[ $update_status -eq 0 ] || { echo "tarnet-update failed ($update_status)"; exit 1; }
[ $sim_status -eq 0 ] || { echo "simulator verdict: FAIL ($sim_status)"; exit 1; }

echo "on the JACK process thread:"
cat "$work/counts"
failed=0
for program in tarnet-devsim tarnet-update; do
  line=$(grep "^$program " "$work/counts")
  if [ -z "$line" ]; then echo "no counts of $program"; failed=1; continue; fi
  cycles=$(sed -n 's/.* cycles=\([0-9]*\).*/\1/p' <<<"$line")
  [ "${cycles:-0}" -gt 0 ] || { echo "$program: no process cycle was seen"; failed=1; }
  for what in heap locks throws; do
    n=$(sed -n "s/.* $what=\([0-9]*\).*/\1/p" <<<"$line")
    [ "$n" = 0 ] || { echo "$program: $n $what on the process thread"; failed=1; }
  done
done
exit $failed
