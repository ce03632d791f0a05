#!/usr/bin/env bash
# Takes a screenshot of the real updater window in the middle of an update, under Xvfb, against
# the device simulator on a JACK server with the dummy backend, and checks what the window shows.
#   scripts/screenshot.sh [output.png]     (default docs/screenshot.png)
# Needs a default build (cmake --preset default && cmake --build --preset default).
# Exits non-zero when the update does not complete or the window does not show what it should;
# 77 (skipped) when Xvfb or jackd is not installed.
set -uo pipefail
cd "$(dirname "$0")/.."

out="${1:-docs/screenshot.png}"
build="${TARNET_BUILD_DIR:-build/default}"
updater="$build/app/qt/tarnet-updater"
devsim="$build/tools/tarnet-devsim"
work="$(mktemp -d /tmp/tarnet-screenshot.XXXXXX)"
display=":$(( 90 + RANDOM % 100 ))"
pids=()
jack_pid=""

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "$jack_pid" ]; then kill "$jack_pid" 2>/dev/null; wait "$jack_pid" 2>/dev/null; fi
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "screenshot: $*" >&2; exit 1; }
# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
  local limit=$1; shift
  for _ in $(seq 1 $(( limit * 10 ))); do "$@" && return 0; sleep 0.1; done
  return 1
}

for tool in Xvfb jackd xwininfo xdpyinfo xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed; skipped"; exit 77; }
done
[ -x "$updater" ] || fail "no $updater; build first"
[ -x "$devsim" ] || fail "no $devsim; build first"
mkdir -p "$(dirname "$out")"

# A JACK server of its own (dummy backend): devices of other programs on a shared server, some
# with the same default name, would otherwise be picked up by the updater.
export JACK_DEFAULT_SERVER="tarnet-shot-$$"
export JACK_NO_AUDIO_RESERVATION=1
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
jack_pid=$!
wait_for 20 sh -c '[ "$(jack_wait -c 2>/dev/null)" = running ]' || { cat "$work/jackd.log"; fail "no JACK server"; }

# Every message opens its output anew (a new JACK client), so a block takes a while by itself.
"$devsim" --once --timeout 240 >"$work/devsim.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q "devsim: ready" "$work/devsim.log" || { cat "$work/devsim.log"; fail "simulator not ready"; }

Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 20 xdpyinfo -display "$display" >/dev/null 2>&1 || fail "Xvfb did not start"

# A runtime directory of its own: copies of the updater that run elsewhere on the machine (the
# user's, another test run's) count their numbers in theirs, so this one is copy 1 with the title
# of copy 1.
mkdir -m 700 "$work/runtime" || fail "can't make a runtime directory in $work"
DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" "$updater" >"$work/updater.log" 2>&1 &
updater_pid=$!
pids+=($updater_pid)

title="Tarnet System Ver 1.10 Updater"
wait_for 90 sh -c "xwininfo -display '$display' -root -tree | grep -q '\"$title'" \
  || { cat "$work/updater.log"; fail "no window titled \"$title\""; }

# Press "Execute" as a user would: the window has the keyboard focus on its default button, and
# Enter starts the update. (There is no window manager, so the focus is given to the window.)
# A press that comes before the window takes keys is lost; pressing again is harmless ("Execute"
# is disabled once a run is under way), so press until the device sees the Identity Request.
window=$(DISPLAY="$display" xdotool search --name "^$title\$" | head -n 1)
[ -n "$window" ] || fail "xdotool does not find the window"
started=no
for _ in $(seq 1 10); do
  DISPLAY="$display" xdotool windowfocus --sync "$window" key --clearmodifiers Return \
    || fail "xdotool could not press Enter"
  if wait_for 3 grep -q "Identity Request answered" "$work/devsim.log"; then started=yes; break; fi
done
[ "$started" = yes ] || { cat "$work/devsim.log"; fail "pressing Enter did not start the update"; }

# Mid-update: wait until the device has accepted a third of the blocks.
block_or_crash() { grep -q "block 12 at" "$work/devsim.log" || ! kill -0 "$updater_pid" 2>/dev/null; }
wait_for 300 block_or_crash && kill -0 "$updater_pid" 2>/dev/null \
  || { tail "$work/devsim.log"; cat "$work/updater.log"; fail "the update did not get going"; }
sleep 0.3
import -display "$display" -window root "$work/root.png" || fail "import failed"
# Crop to the window (there is no window manager, so no frame).
geometry=$(xwininfo -display "$display" -name "$title" | awk '
  /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
  /Width:/ {w=$NF} /Height:/ {h=$NF} END {printf "%dx%d+%d+%d", w, h, x, y}')
[ "$geometry" != "0x0+0+0" ] || fail "the window is gone"
convert "$work/root.png" -crop "$geometry" +repage "$out" || cp "$work/root.png" "$out"
echo "screenshot: window $geometry saved to $out"

# The update must complete, and the window must have the title it should.
verdict_or_crash() {
  grep -q "devsim: PASS\|devsim: FAIL" "$work/devsim.log" || ! kill -0 "$updater_pid" 2>/dev/null
}
# A whole update takes seconds; the simulator gives its verdict after at most 240 s.
wait_for 300 verdict_or_crash || fail "no verdict from the simulator"
if ! kill -0 "$updater_pid" 2>/dev/null && ! grep -q "devsim: PASS" "$work/devsim.log"; then
  wait "$updater_pid"; status=$?
  cat "$work/updater.log"
  fail "the updater ended during the update (exit status $status)"
fi
grep "devsim: PASS\|devsim: FAIL" "$work/devsim.log"
if ! grep -q "devsim: PASS" "$work/devsim.log"; then
  # What the window shows now (an error box, most likely) helps to tell what went wrong.
  import -display "$display" -window root "${out%.png}-failure.png" 2>/dev/null
  tail -n 5 "$work/devsim.log"
  fail "the update did not pass (screen: ${out%.png}-failure.png)"
fi
xwininfo -display "$display" -root -tree | grep -q "\"$title\"" || fail "title changed"
echo "screenshot: update completed; title \"$title\""
