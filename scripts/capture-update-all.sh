#!/usr/bin/env bash
# Prints what `tarnet-update --all` shows in a terminal: N simulated devices (default 5) on a JACK
# server with the dummy backend, the last one refusing a block 7 times, and tarnet-update --all in
# a terminal of tmux (100 x 30), captured in the middle of the run and at its end.
#   scripts/capture-update-all.sh [N] [SECONDS]   (SECONDS: when the first capture is taken, 1.2)
# Needs a default build (cmake --preset default && cmake --build --preset default); exits 77 when
# tmux or jackd is not installed.
set -uo pipefail
cd "$(dirname "$0")/.."
n=${1:-5}
moment=${2:-1.2}
build=${TARNET_BUILD_DIR:-build/default}
for tool in tmux jackd; do
  command -v "$tool" >/dev/null || { echo "capture-update-all: $tool is not installed; skipped"; exit 77; }
done
[ -x "$build/tools/tarnet-update" ] && [ -x "$build/tools/tarnet-devsim" ] || { echo "build first" >&2; exit 1; }
work=$(mktemp -d)
socket="capture-$$"
export JACK_DEFAULT_SERVER="tarnet-capture-$$" XDG_STATE_HOME="$work/state"
sims=()
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  scripts/jack-dummy.sh stop >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
scripts/jack-dummy.sh start >/dev/null || exit 1

for k in $(seq 1 "$n"); do
  name="USB Audio Device"
  [ "$k" -gt 1 ] && name="USB Audio Device ($k)"
  extra=()
  [ "$k" -eq "$n" ] && extra=(--refuse 20:7)
  "$build/tools/tarnet-devsim" --name "$name" --answer-delay 0 --timeout 60 --quiet "${extra[@]}" \
    >"$work/sim-$k.log" 2>&1 &
  sims+=($!)
done
for k in $(seq 1 "$n"); do
  for _ in $(seq 1 150); do grep -q ready "$work/sim-$k.log" && break; sleep 0.1; done
done
sleep 0.5

# The terminal's screen without its trailing blank lines, the program by its short name.
screen() {
  tmux -L "$socket" capture-pane -p | sed -e "s#$build/tools/##" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}

tmux -L "$socket" new-session -d -x 100 -y 30 \
  "cd '$PWD' && PS1='$ ' bash --norc -i" || exit 1
sleep 0.3
tmux -L "$socket" send-keys "clear" Enter
sleep 0.3
tmux -L "$socket" send-keys "$build/tools/tarnet-update --all --linger 0" Enter
sleep "$moment"
echo "--- after $moment s:"
screen
for _ in $(seq 1 100); do tmux -L "$socket" capture-pane -p | grep -q 'sent again' && break; sleep 0.1; done
sleep 0.3
echo "--- at the end:"
screen
