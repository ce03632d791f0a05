#!/usr/bin/env bash
# Fault campaign over JACK: update runs of tarnet-update against tarnet-devsim on a JACK server of
# the campaign's own, each one ended by a kill -9 at a random moment of the run: before the
# identity exchange, during the erase, in the middle of a block, between two blocks, or during
# the finish. N runs kill the JACK server, M runs kill the simulated device (its ports vanish).
# The moments go round in turn from a random start, so every run of five covers all of them.
#
# A run passes when the updater neither crashes nor hangs, ends the way that moment allows (the
# error box of that phase at once: the device's ports vanish, or the server goes away, and the
# updater hears of it; a kill during the finish may also come after completion), or a later
# moment that its log had reached when the kill came, and the rescan after the run lists what
# remains: no device once the server is gone, no simulated device once it was killed (the rescan
# comes 1.5 s after the run's end, as a user's would: the two JACK clients of a killed
# simulator leave the server one after the other, the second up to the server's client time-out
# later). A run that is still going at the updater's own time-out (6 s) counts as a wrong ending.
#
# usage: jack-kill-campaign.sh N [M]      (M defaults to N)
# Programs: $TARNET_UPDATE and $TARNET_DEVSIM, or tarnet-update and tarnet-devsim in $TARNET_BIN
# (default build/default/tools); the server's period is $TARNET_JACK_PERIOD frames (default 256).
# Prints one line per run and then the counts:
#   runs R crashes C hangs H wrong-endings W (ended before the kill: E)
# E counts runs that ended on their own before the kill came (nothing was injected into them).
# Exit status 0 when C, H and W are all 0; 77 when jackd is missing (unless TARNET_REQUIRE_JACK=1).
set -uo pipefail
cd "$(dirname "$0")/.."
servers=${1:?usage: jack-kill-campaign.sh N [M]}
devices=${2:-$servers}
bin=${TARNET_BIN:-build/default/tools}
update=${TARNET_UPDATE:-$bin/tarnet-update}
devsim=${TARNET_DEVSIM:-$bin/tarnet-devsim}
period=${TARNET_JACK_PERIOD:-256}
for tool in "$update" "$devsim"; do
  [ -x "$tool" ] || { echo "jack-kill-campaign: $tool is missing (build it, or set TARNET_BIN)"; exit 2; }
done
if ! command -v jackd >/dev/null; then
  echo "jack-kill-campaign: jackd is missing"
  [ "${TARNET_REQUIRE_JACK:-0}" = 1 ] && exit 1
  exit 77
fi

server="tarnet-kill-$$"
export JACK_DEFAULT_SERVER=$server
work=$(mktemp -d)
export XDG_STATE_HOME="$work/state"  # these runs stay out of the user's history of updates
jackd_pid=""
sim_pid=""
upd_pid=""

# Removes the files of our own server only; the segments it registered in JACK's shared registry
# are reclaimed by the next server that starts (it frees those of servers that are gone).
remove_server_files() {
  rm -f /dev/shm/jack_"$server"_* /dev/shm/jack_sem.*_"$server"_*
}

start_server() {
  JACK_NO_AUDIO_RESERVATION=1 jackd -n "$server" --no-realtime -d dummy -r 48000 -p "$period" \
    >"$work/jackd.log" 2>&1 &
  jackd_pid=$!
  for _ in $(seq 1 100); do
    [ "$(jack_wait -c 2>/dev/null)" = running ] && return 0
    sleep 0.1
  done
  echo "jack-kill-campaign: jackd did not come up:"; cat "$work/jackd.log"
  return 1
}

# Ends the server in order, so that it leaves JACK's registry of servers (room for 8 names on the
# machine). A server that had to be killed keeps its entry until one of the same name starts:
# then a new one is started and ended in order.
stop_server() {
  [ -n "$jackd_pid" ] || return 0
  local attempt
  for attempt in 1 2; do
    kill "$jackd_pid" 2>/dev/null
    for _ in $(seq 1 200); do kill -0 "$jackd_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$jackd_pid" 2>/dev/null; then
      kill -9 "$jackd_pid" 2>/dev/null
      wait "$jackd_pid" 2>/dev/null
      remove_server_files
      [ "$attempt" = 1 ] && start_server && continue
    else
      wait "$jackd_pid" 2>/dev/null
    fi
    break
  done
  jackd_pid=""
  remove_server_files
}

cleanup() {
  [ -n "$upd_pid" ] && kill -9 "$upd_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill -9 "$sim_pid" 2>/dev/null
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits until the updater's log has at least $2 lines matching $1, or the updater has ended, or
# 30 s have passed.
wait_for_lines() {
  local pattern=$1 count=$2
  for _ in $(seq 1 6000); do
    [ "$(grep -c -- "$pattern" "$work/update.log" 2>/dev/null)" -ge "$count" ] && return 0
    kill -0 "$upd_pid" 2>/dev/null || return 1
    sleep 0.005
  done
  return 1
}

# A random fraction of a second, 0 to $1 milliseconds.
random_sleep() { sleep "$(awk -v ms="$((RANDOM % ($1 + 1)))" 'BEGIN { printf "%.3f", ms / 1000 }')"; }

moments=(before-identity erase mid-block between-blocks finish)
offset=$((RANDOM % 5))
runs=0 crashes=0 hangs=0 wrong=0 ended_early=0

# run_one KIND(server|device) MOMENT
run_one() {
  local kind=$1 moment=$2 name="Kill Device $$"
  local sim_args=(--name "$name" --answer-delay 0-2 --timeout 120 --quiet --lenient)
  [ "$moment" = erase ] && sim_args+=(--erase-delay 3000)
  [ "$moment" = finish ] && sim_args+=(--finish-delay 1000)
  "$devsim" "${sim_args[@]}" >"$work/devsim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do grep -q ready "$work/devsim.log" && break; sleep 0.05; done
  # The server shows new ports to the other clients from a later cycle on (later on a busy one).
  sleep 0.3

  : >"$work/update.log"
  timeout -k 5 60 "$update" --device "$name" --reply-timeout 2000 --timeout 6 --linger 1500 --rescan \
    >"$work/update.log" 2>&1 &
  upd_pid=$!

  local block=$((1 + RANDOM % 34))
  case $moment in
    before-identity) wait_for_lines '^MIDI IN ' 1 ;;
    erase) wait_for_lines '^status: Erasing' 1 && random_sleep 1500 ;;
    mid-block) wait_for_lines '^progress:' "$block" && sleep "0.0$((5 + RANDOM % 35))" ;;
    between-blocks) wait_for_lines '^progress:' "$block" ;;
    finish) wait_for_lines '^progress: 327680' 1 && random_sleep 900 ;;
  esac
  # A run that has already ended (it failed on its own: the dummy server drops the events of
  # clients that miss their cycle on a busy machine) had no fault injected into it.
  local early=0
  kill -0 "$upd_pid" 2>/dev/null || early=1
  # On a busy machine the run may be past the intended moment when the kill comes (an identity and
  # erase exchange take a few ms): what its log shows right before the kill is the earliest phase
  # the kill can have hit.
  cp "$work/update.log" "$work/at-kill.log"
  if [ "$kind" = server ]; then
    kill -9 "$jackd_pid" 2>/dev/null
    wait "$jackd_pid" 2>/dev/null
    jackd_pid=""
    remove_server_files
  else
    kill -9 "$sim_pid" 2>/dev/null
  fi

  wait "$upd_pid" 2>/dev/null
  local status=$?
  upd_pid=""
  kill -9 "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""

  # What the run showed.
  local ending rescanned listed verdict=ok
  ending=$(grep -E '^Error: |^tarnet-update: no end after' "$work/update.log" | tail -1)
  rescanned=$(sed -n '/^rescan:/,$p' "$work/update.log")
  if [ "$kind" = server ]; then
    listed=$(printf '%s\n' "$rescanned" | grep -c '^  [0-9]*: ')
  else
    listed=$(printf '%s\n' "$rescanned" | grep -c "^  [0-9]*: $name\$")
  fi
  # The endings a kill allows in each phase: before the identity exchange, erase, blocks, finish.
  local endings=("Can't open MIDI In device\.|Can't open MIDI Out device\.|Time out error\(1\)"
                 "Transfer error occurred\." "Transfer error occurred\." "Transfer error occurred\.")
  local intended reached=0 allowed p
  case $moment in
    before-identity) intended=0 ;;
    erase) intended=1 ;;
    mid-block|between-blocks) intended=2 ;;
    finish) intended=3 ;;
  esac
  grep -q '^status: Erasing' "$work/at-kill.log" && reached=1
  grep -q '^progress:' "$work/at-kill.log" && reached=2
  grep -q '^progress: 327680' "$work/at-kill.log" && reached=3
  # The run goes on between the copy of its log and the kill (an identity and erase exchange take
  # a few ms): the kill may hit the phase the copy shows, or a later one.
  [ $reached -gt $intended ] || reached=$intended
  allowed=${endings[$reached]}
  for ((p = reached + 1; p < 4; p++)); do allowed="$allowed|${endings[$p]}"; done

  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    verdict=hang; hangs=$((hangs + 1))
  elif [ "$status" -ge 128 ]; then
    verdict="crash (signal $((status - 128)))"; crashes=$((crashes + 1))
  elif [ $early -eq 1 ]; then
    verdict="ok (ended before the kill, status $status: no fault injected)"; ended_early=$((ended_early + 1))
  elif [ "$status" -eq 0 ] && { [ $intended -eq 3 ] || [ $reached -eq 3 ]; } && [ -n "$rescanned" ] && [ "$listed" -eq 0 ]; then
    verdict="ok (completed before the kill)"
  elif [ "$status" -ne 1 ] || ! printf '%s\n' "$ending" | grep -qE "$allowed" || [ -z "$rescanned" ] || [ "$listed" -ne 0 ]; then
    verdict="wrong ending (status $status, '${ending:-none}', rescan lists $listed)"; wrong=$((wrong + 1))
  fi
  runs=$((runs + 1))
  printf 'run %3d: kill %-6s %-15s -> %s%s\n' "$runs" "$kind" "$moment" "$verdict" "${ending:+ [$ending]}"
  if [ "${verdict%% *}" != ok ]; then
    sed 's/^/    | /' "$work/update.log" | tail -20
  fi

  if [ -z "$jackd_pid" ]; then start_server || exit 1; fi
}

start_server || exit 1
i=0
for _ in $(seq 1 "$servers"); do run_one server "${moments[$(((i + offset) % 5))]}"; i=$((i + 1)); done
for _ in $(seq 1 "$devices"); do run_one device "${moments[$(((i + offset) % 5))]}"; i=$((i + 1)); done

echo "runs $runs crashes $crashes hangs $hangs wrong-endings $wrong (ended before the kill: $ended_early)"
[ $((crashes + hangs + wrong)) -eq 0 ]
