#!/usr/bin/env bash
# Endings that must never be wrong, end to end on JACK or on the kernel's ALSA sequencer: the
# terminal runner (tarnet-update) against the device simulator (tarnet-devsim), each a process of
# its own.
#   - A device that answers the Identity Request with STATUS 3 or STATUS 0, and one that sends a
#     12,000-byte message reading as STATUS 0 before its Identity Reply, end "Illegal device
#     connected." at once (never the identity time-out, never an ERASE).
#   - A device that takes 150 ms per block and repeats an answer 70 ms later (after ERASE and after
#     block 3), and refuses the block after it once, storing each block at its own address: the
#     update either completes with the image whole on the device, or ends "Transfer error
#     occurred." with its record saying the answers went out of step. Never "Completed" with a
#     block refused and not sent again.
#   - A device that repeats every answer at once completes, the image whole.
# usage: e2e_wrong_endings.sh jack|alsa DEVSIM UPDATE IMAGE
# Exit 77 (skipped) without a JACK server or /dev/snd/seq, unless TARNET_REQUIRE_JACK=1 or
# TARNET_REQUIRE_ALSA=1.
set -uo pipefail
# shellcheck source=midi_system.sh
. "$(dirname "$0")/midi_system.sh"
system=$1 devsim=$2 update=$3 image=$4
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill -9 $sim_pid 2>/dev/null; rm -rf "$work"' EXIT

require_midi_system "$system" "usage: e2e_wrong_endings.sh jack|alsa DEVSIM UPDATE IMAGE"

failed=0
fail() { echo "FAIL: $*"; failed=1; }
n=0

# run_case WHAT DEVSIM-OPTIONS...: one update (number $n, counted up by the caller first) against
# a fresh simulator; leaves the runner's exit status in $status, its output in
# $work/update.$n.log, its report in $work/report.$n.json, the simulator's exit status in
# $sim_status and its log in $work/devsim.$n.log.
run_case() {
  local what=$1; shift
  local name="Wrong Ending Device $$ $n"
  "$devsim" --name "$name" --timeout 120 "$@" >"$work/devsim.$n.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 600); do grep -q 'ready' "$work/devsim.$n.log" && break; sleep 0.1; done
  if ! grep -q 'ready' "$work/devsim.$n.log"; then
    fail "$what: the simulator did not come up"; cat "$work/devsim.$n.log"; status=99; sim_status=99; return
  fi
  local t0=$SECONDS
  "$update" --device "$name" --quiet --timeout 100 --report "$work/report.$n.json" >"$work/update.$n.log" 2>&1
  status=$?
  took=$((SECONDS - t0))
  # A device whose update completed ends by itself once it has written what it received; one
  # whose update did not is told to end.
  if [ "$status" -eq 0 ]; then
    for _ in $(seq 1 100); do kill -0 $sim_pid 2>/dev/null || break; sleep 0.1; done
  fi
  kill -INT $sim_pid 2>/dev/null
  wait $sim_pid
  sim_status=$?
  sim_pid=""
  echo "--- $what: exit $status after ${took} s; $(grep -h 'Error:\|Completed\|completed' "$work/update.$n.log" | head -n 2 | tr '\n' ' ')"
}
ending() { jq -r '.records[0].ending' "$work/report.$n.json" 2>/dev/null; }

# The identity answered with a STATUS, or by a long message that reads as one.
for answer in "--identity-status 3" "--identity-status 0" "--long-first 12000:5000"; do
  n=$((n + 1))
  # shellcheck disable=SC2086
  run_case "identity answered by $answer" $answer --lenient
  grep -q 'Illegal device connected\.' "$work/update.$n.log" || fail "$answer: not \"Illegal device connected.\""
  [ "$(ending)" = IllegalDevice ] || fail "$answer: recorded as $(ending)"
  [ "$status" -eq 1 ] || fail "$answer: exit status $status"
  [ "$took" -lt 20 ] || fail "$answer: took $took s (the identity wait ran into its time-out)"
  grep -q '^devsim: ERASE' "$work/devsim.$n.log" && fail "$answer: the device got an ERASE"
done

# A slow device whose answers come out of step; each run either completes with the image whole
# or refuses to vouch for it.
for repeat in erase:70 3:70; do
  refuse=0:1
  [ "$repeat" = 3:70 ] && refuse=4:1
  n=$((n + 1))
  run_case "150 ms per block, answer repeated at $repeat, then a refusal" \
    --block-delay 150 --repeat-answer "$repeat" --refuse "$refuse" --store-at-address \
    --expect-image "$image" --out "$work/received.$n.bin" --lenient
  case "$(ending)" in
    Completed)
      [ "$status" -eq 0 ] || fail "$repeat: completed with exit status $status"
      cmp -s "$image" "$work/received.$n.bin" || fail "$repeat: \"Completed\" but the device holds another image"
      [ "$sim_status" -eq 0 ] || fail "$repeat: \"Completed\" but the simulator's verdict is FAIL"
      ;;
    AnswersOutOfStep)
      grep -q 'Transfer error occurred\.' "$work/update.$n.log" || fail "$repeat: out of step without \"Transfer error occurred.\""
      [ "$status" -eq 1 ] || fail "$repeat: exit status $status"
      ;;
    *) fail "$repeat: ended $(ending)"; cat "$work/update.$n.log" "$work/devsim.$n.log" ;;
  esac
done

# A device that repeats every answer at once completes.
n=$((n + 1))
run_case "every answer repeated at once" --repeat-answer all:2 \
  --expect-image "$image" --out "$work/received.$n.bin" --lenient
[ "$(ending)" = Completed ] || { fail "repeats at once: ended $(ending)"; cat "$work/update.$n.log" "$work/devsim.$n.log"; }
cmp -s "$image" "$work/received.$n.bin" || fail "repeats at once: the device holds another image"

[ $failed -eq 0 ] || tail -n 5 "$work/devsim.$n.log"
[ $failed -eq 0 ] && echo "every ending as it must be on $system"
exit $failed
