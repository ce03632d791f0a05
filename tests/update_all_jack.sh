#!/usr/bin/env bash
# tarnet-update --all over JACK, against simulated devices that are processes of their own:
#  1. three devices found by the window's default names, the third refusing its first block 7
#     times: two complete (each image byte for byte), the third ends TransferError; exit status 1;
#     the table and the report (three records, valid JSON) say which; the history gains three lines.
#  2. runs interrupted at three moments (SIGINT, as Ctrl+C) and one killed (SIGKILL): the report is
#     either absent or a whole JSON document; after SIGINT (at moments before any update can have
#     completed) it is there with three records, each Interrupted.
#  3. no device found: a usage error (status 2) that says so.
# usage: update_all_jack.sh DEVSIM UPDATE IMAGE
set -uo pipefail
devsim=$1 update=$2 image=$3
work=$(mktemp -d)
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
  if [ "${TARNET_REQUIRE_JACK:-0}" = 1 ]; then echo "no JACK server answers"; exit 1; fi
  echo "no JACK server: skipped"; exit 77
fi
command -v jq >/dev/null || { echo "jq is not installed"; exit 1; }
export XDG_STATE_HOME=$work/state
# The runner's work folder too, which a killed runner can't remove.
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp

# start_sims NAME... : one simulated device per name (options after "--" go to the last one);
# waits until each is ready.
start_sims() {
  local names=() last=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do names+=("$1"); shift; done
  [ $# -gt 0 ] && { shift; last=("$@"); }
  sims=()
  local k=0
  for name in "${names[@]}"; do
    k=$((k + 1))
    local extra=()
    [ $k -eq ${#names[@]} ] && extra=("${last[@]}")
    "$devsim" --name "$name" --answer-delay 0 --timeout 60 --expect-image "$image" --out "$work/received-$k.bin" \
      "${extra[@]}" >"$work/sim-$k.log" 2>&1 &
    sims+=($!)
  done
  for k in $(seq 1 ${#names[@]}); do
    for _ in $(seq 1 150); do grep -q ready "$work/sim-$k.log" && break; sleep 0.1; done
    grep -q ready "$work/sim-$k.log" || { echo "simulator $k did not come up:"; cat "$work/sim-$k.log"; exit 1; }
  done
  sleep 0.5  # new ports reach the other clients a cycle or two later
}
stop_sims() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  sims=()
}
# wait_for PID SECONDS: waits for the process to end, at most SECONDS (then kills it); its status.
wait_for() {
  local pid=$1 limit=$2
  for _ in $(seq 1 $((limit * 10))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "process $pid still running after $limit s: killed" >&2
    kill -9 "$pid" 2>/dev/null
  fi
  wait "$pid"
}

# ----- 1. three devices, one of which fails -----
if "$update" --list | grep -q '^  [0-9]*: USB Audio Device'; then
  echo "a device named \"USB Audio Device...\" is already on this JACK server; the test needs a server without one"
  exit 1
fi
start_sims "USB Audio Device" "USB Audio Device (2)" "USB Audio Device (3)" -- --refuse 0:7
"$update" --all --linger 0 --timeout 60 --report "$work/report.json" >"$work/all.out" 2>"$work/all.err" &
wait_for $! 90
status=$?
cat "$work/all.out" "$work/all.err"
[ $status -eq 1 ] || fail "exit status $status, not 1"
for k in 1 2; do
  wait_for "${sims[$((k - 1))]}" 30 >/dev/null
  cmp -s "$image" "$work/received-$k.bin" || fail "device $k did not receive the image byte for byte"
done
stop_sims
grep -Eq '^USB Audio Device +0x6A +Completed ' "$work/all.out" || fail "table: no completed USB Audio Device"
grep -Eq '^USB Audio Device \(2\) +0x6A +Completed ' "$work/all.out" || fail "table: no completed (2)"
grep -Eq '^USB Audio Device \(3\) +0x6A +TransferError .* 6$' "$work/all.out" || fail "table: (3) not TransferError with 6 sent again"
endings=$(jq -r '.records[] | "\(.midi_in)=\(.ending)=\(.block_sends[0])"' "$work/report.json" | tr '\n' ' ')
[ "$endings" = "USB Audio Device=Completed=1 USB Audio Device (2)=Completed=1 USB Audio Device (3)=TransferError=7 " ] ||
  fail "report endings: $endings"
history_lines=$(wc -l <"$work/state/tarnet-updater/history.jsonl")
[ "$history_lines" -eq 3 ] || fail "history holds $history_lines lines, not 3"
jq -e -s 'length == 3 and all(.program_version == "1.10")' "$work/state/tarnet-updater/history.jsonl" >/dev/null ||
  fail "history lines are not three records"
"$update" --history >"$work/history.out" || fail "--history failed"
[ "$(grep -c 'USB Audio Device' "$work/history.out")" -eq 3 ] || fail "--history: $(cat "$work/history.out")"

# ----- 2. interrupted and killed runs -----
names=("All Int $$ 1" "All Int $$ 2" "All Int $$ 3")
for moment in 0.1 0.6 1.4 kill; do
  rm -f "$work/int.json"
  start_sims "${names[@]}"
  "$update" --all --device "${names[0]}" --device "${names[1]}" --device "${names[2]}" --linger 0 --timeout 60 \
    --report "$work/int.json" >"$work/int.out" 2>&1 &
  pid=$!
  if [ "$moment" = kill ]; then
    sleep 1.0
    copies=$(pgrep -P $pid)
    kill -9 $pid
    wait $pid 2>/dev/null
    # The copies lose their output with it and go on to their end by themselves.
    for c in $copies; do
      for _ in $(seq 1 100); do kill -0 "$c" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$c" 2>/dev/null
    done
    [ ! -e "$work/int.json" ] || jq -e '.records | length == 3' "$work/int.json" >/dev/null ||
      fail "killed run left a report that is not whole: $(head -c 300 "$work/int.json")"
  else
    sleep "$moment"
    kill -INT $pid
    wait_for $pid 60
    status=$?
    [ $status -le 1 ] || fail "interrupted at $moment s: exit status $status"
    # An update lasts at least 1.9 s (one 50 ms tick per exchange), so none can have completed.
    if ! jq -e '.records | length == 3 and all(.ending == "Interrupted")' \
         "$work/int.json" >/dev/null 2>&1; then
      fail "interrupted at $moment s: report $(head -c 300 "$work/int.json" 2>&1)"
      cat "$work/int.out"
    fi
  fi
  stop_sims
done
[ "$(ls "$work" | grep -c '\.tmp$')" -eq 0 ] || fail "temporary report files left: $(ls "$work")"

# ----- 3. no device -----
"$update" --all >"$work/none.out" 2>"$work/none.err"
status=$?
[ $status -eq 2 ] || fail "--all without devices: exit status $status, not 2"
grep -q 'no device found' "$work/none.err" || fail "--all without devices: $(cat "$work/none.err")"

[ $failures -eq 0 ] && echo "tarnet-update --all over JACK: endings, report, history and interruptions as expected"
[ $failures -eq 0 ]
