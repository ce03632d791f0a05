#!/usr/bin/env bash
# The simulated device (tarnet-devsim, a process of its own) is killed while the terminal runner
# (tarnet-update) waits in the identification, the erase, a block's wait and the finish, on JACK
# or on the kernel's ALSA sequencer. Its ports vanish with it; each run must end within 5 s (the
# reply waits are the product's 30 s, the erase wait has none) with the error of that phase, say
# "device disconnected", name the phase in its closing line and exit 1; the rescan 1.5 s later (as
# a user's would come; on JACK the simulator's two clients leave one after the other, the second up
# to the server's client time-out later) no longer lists the device. Then a device of the same name comes back and the next run completes.
# Prints how long each run took to show its error after the kill.
# usage: e2e_device_gone.sh jack|alsa DEVSIM UPDATE
# Exit 77 (skipped) without a JACK server or /dev/snd/seq, unless TARNET_REQUIRE_JACK=1 or
# TARNET_REQUIRE_ALSA=1.
set -uo pipefail
system=$1 devsim=$2 update=$3
# shellcheck source=gone_verdict.sh
. "$(dirname "$0")/gone_verdict.sh"
# shellcheck source=midi_system.sh
. "$(dirname "$0")/midi_system.sh"
work=$(mktemp -d)
sim_pid="" upd_pid=""
trap '[ -n "$sim_pid" ] && kill -9 $sim_pid 2>/dev/null; [ -n "$upd_pid" ] && kill -9 $upd_pid 2>/dev/null; rm -rf "$work"' EXIT

require_midi_system "$system" "usage: e2e_device_gone.sh jack|alsa DEVSIM UPDATE"

name="Gone Device $$"
limit_ms=5000
failed=0

start_device() {
  "$devsim" --name "$name" --quiet --lenient --answer-delay 0-2 --timeout 120 "$@" >"$work/devsim.log" 2>&1 &
  sim_pid=$!
  # A JACK server still taking out the killed one's clients may keep a new client waiting.
  for _ in $(seq 1 300); do grep -q 'ready' "$work/devsim.log" && break; sleep 0.1; done
  grep -q 'ready' "$work/devsim.log" || { echo "simulator did not come up:"; cat "$work/devsim.log"; exit 1; }
  # The server shows new ports to the other clients from a later cycle on.
  sleep 0.3
}

# Waits until the runner's log has at least $2 lines matching $1 (at most 30 s).
wait_for_lines() {
  for _ in $(seq 1 3000); do
    [ "$(grep -c -- "$1" "$work/update.log" 2>/dev/null)" -ge "$2" ] && return 0
    kill -0 "$upd_pid" 2>/dev/null || return 1
    sleep 0.01
  done
  return 1
}

now_ms() { date +%s%3N; }

# gone PHASE ERROR DEVSIM-OPTIONS...: one run whose device is killed in PHASE.
gone() {
  local phase=$1 error=$2; shift 2
  start_device "$@"
  : >"$work/update.log"
  "$update" --device "$name" --timeout 60 --linger 1500 --rescan >"$work/update.log" 2>&1 &
  upd_pid=$!
  local reached=0
  case $phase in
    identification) wait_for_lines '^MIDI IN ' 1 && sleep 0.5 && reached=1 ;;
    erase) wait_for_lines '^status: Erasing' 1 && sleep 0.5 && reached=1 ;;
    transfer) wait_for_lines '^progress:' 5 && sleep 0.5 && reached=1 ;;
    finish) wait_for_lines '^progress: 327680' 1 && sleep 0.5 && reached=1 ;;
  esac
  if [ $reached -eq 0 ]; then
    echo "FAIL $phase: the run did not reach the $phase"; sed 's/^/    | /' "$work/update.log"; failed=1
    kill -9 "$upd_pid" "$sim_pid" 2>/dev/null; wait "$upd_pid" "$sim_pid" 2>/dev/null; upd_pid="" sim_pid=""
    return
  fi
  local t0 t1 status
  t0=$(now_ms)
  kill -9 "$sim_pid"
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
  # The run's end is its error box.
  for _ in $(seq 1 4000); do grep -q '^Error: ' "$work/update.log" && break; sleep 0.01; done
  t1=$(now_ms)
  wait "$upd_pid"
  status=$?
  upd_pid=""
  local ms=$((t1 - t0)) verdict
  verdict=$(gone_verdict "$work/update.log" "$error" "$phase" "$status" "$ms" "$limit_ms" "$name")
  printf '%-15s device killed -> error shown after %5d ms: %s\n' "$phase" "$ms" "$verdict"
  if [ "$verdict" != ok ]; then failed=1; sed 's/^/    | /' "$work/update.log"; fi
}

# The device stays (--serve) until it is killed.
gone identification 'Time out error(1)' --serve --mute
gone erase 'Transfer error occurred.' --serve --erase-delay 60000
gone transfer 'Transfer error occurred.' --serve --drop-reply 5
gone finish 'Transfer error occurred.' --serve --no-finish-reply

# The device is plugged in again: the next run finds it and completes.
start_device
"$update" --device "$name" --quiet --timeout 120 >"$work/update.log" 2>&1
status=$?
wait "$sim_pid"
sim_pid=""
if [ $status -eq 0 ]; then
  echo "next run after the device came back: completed"
else
  echo "FAIL next run after the device came back: status $status"; sed 's/^/    | /' "$work/update.log"; failed=1
fi
[ $failed -eq 0 ]
