#!/usr/bin/env bash
# tarnet-update whose output goes away in the middle of an update (the built-in simulator, no MIDI
# system needed): the update goes on to its end and is recorded, and no process dies of SIGPIPE.
#  1. one update piped into "head -1": exit status 0, the history holds its Completed record;
#  2. --all over two devices piped into "head -1": the same, a record per device, and the report
#     with each device's software revision;
#  3. --all killed (SIGKILL) in the middle: its copies lose their output with it, go on to their
#     end by themselves and each leaves its Completed record in the history;
#  4. --all given one device twice: refused as a usage error before any update, nothing recorded.
# Every record of --all carries the run id of its copy, one per copy, in the report as in the history.
# usage: update_closed_output.sh UPDATE
set -uo pipefail
update=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v jq >/dev/null || { echo "jq is not installed"; exit 1; }

# endings DIR: the history's endings in DIR's state folder, one line "device=ending" each, sorted.
endings() {
  jq -r '"\(.midi_in)=\(.ending)"' "$1/tarnet-updater/history.jsonl" 2>/dev/null | sort | tr '\n' ' '
}

# ----- 1. one update -----
export XDG_STATE_HOME=$work/one
timeout 60 "$update" --loopback --linger 0 2>"$work/one.err" | head -n 1 >"$work/one.out"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "one update into head -1: exit status $status, not 0"
grep -q '^MIDI IN "USB Audio Device"' "$work/one.out" || fail "one update: first line $(cat "$work/one.out")"
[ "$(endings "$work/one")" = "USB Audio Device=Completed " ] || fail "one update: history $(endings "$work/one")"

# ----- 2. --all -----
export XDG_STATE_HOME=$work/all
timeout 60 "$update" --all --loopback --device "Device A" --device "Device B" --linger 0 --report "$work/all.json" \
  2>"$work/all.err" | head -n 1 >"$work/all.out"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || fail "--all into head -1: exit status $status, not 0"
[ "$(endings "$work/all")" = "Device A=Completed Device B=Completed " ] || fail "--all: history $(endings "$work/all")"
jq -e '.records | length == 2 and all(.ending == "Completed")' "$work/all.json" >/dev/null ||
  fail "--all: report $(head -c 300 "$work/all.json" 2>&1)"
# Each record tells the software revision that its device reported (the built-in simulator's
# 31 30 30 30) and, the simulator being no USB device, no unit.
jq -e '.records | all(.software_revision == "31 30 30 30" and (has("usb_serial") or has("usb_path") | not))' \
  "$work/all.json" >/dev/null || fail "--all: report without the revision: $(head -c 600 "$work/all.json" 2>&1)"
# One run id per copy ("<the run's>-1", "-2"), the same in the report and in the history.
ids_report=$(jq -r '.records[] | "\(.midi_in)=\(.run_id)"' "$work/all.json" | sort | tr '\n' ' ')
ids_history=$(jq -r '"\(.midi_in)=\(.run_id)"' "$work/all/tarnet-updater/history.jsonl" | sort | tr '\n' ' ')
[ "$ids_report" = "$ids_history" ] || fail "--all: run ids: report '$ids_report', history '$ids_history'"
echo "$ids_report" | grep -Eq '^Device A=[0-9a-f]{40}-1 Device B=[0-9a-f]{40}-2 $' || fail "--all: run ids '$ids_report'"

# ----- 3. --all killed -----
export XDG_STATE_HOME=$work/killed
mkdir -p "$work/tmp"
# The runner's work folder for its copies' reports, which it can't remove when it is killed.
TMPDIR=$work/tmp "$update" --all --loopback --device "Device A" --device "Device B" --linger 0 >"$work/killed.out" 2>&1 &
pid=$!
# Both copies in their transfer (an update lasts about 2 s), then the runner goes.
for _ in $(seq 1 100); do
  [ "$(grep -c 'progress:' "$work/killed.out")" -ge 4 ] && break
  sleep 0.05
done
copies=$(pgrep -P $pid)
kill -9 $pid
wait $pid 2>/dev/null
[ "$(echo "$copies" | wc -w)" -eq 2 ] || fail "killed --all: copies '$copies'"
for c in $copies; do
  for _ in $(seq 1 300); do kill -0 "$c" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$c" 2>/dev/null; then
    fail "copy $c still runs 30 s after its runner was killed"
    kill -9 "$c"
  fi
done
[ "$(endings "$work/killed")" = "Device A=Completed Device B=Completed " ] ||
  fail "killed --all: history '$(endings "$work/killed")'"

# ----- 4. one device twice -----
export XDG_STATE_HOME=$work/twice
timeout 60 "$update" --all --loopback --device "Device A" --device "Device A" --linger 0 >"$work/twice.out" 2>"$work/twice.err"
status=$?
[ "$status" -eq 2 ] || fail "--all with one device twice: exit status $status, not 2"
grep -qF 'tarnet-update: device "Device A" is named twice' "$work/twice.err" ||
  fail "--all with one device twice: $(cat "$work/twice.err")"
[ ! -s "$work/twice.out" ] && [ ! -e "$work/twice" ] || fail "--all with one device twice: an update ran"

[ $failures -eq 0 ] && echo "tarnet-update: updates whose output closed went on to their end and were recorded"
[ $failures -eq 0 ]
