#!/usr/bin/env bash
# The shipped updater carries no test switch and none of the test doubles: no environment variable
# of the tests' is named in its strings, and no loopback device or manual timer is linked in.
# Usage: app_binary_check.sh PATH-TO-tarnet-updater
set -uo pipefail
bin=${1:?usage: $0 tarnet-updater}
[ -f "$bin" ] || { echo "no $bin"; exit 1; }
status=0
switches=$(strings -a "$bin" | grep -oE 'TARNET_TEST_[A-Z_]*' | sort -u)
if [ -n "$switches" ]; then
  echo "FAIL: the updater names test switches: $switches"
  status=1
fi
symbols=$(nm -C "$bin" 2>/dev/null)
doubles=$(grep -E 'platform::(LoopbackMidiOut|LoopbackMidiIn|ManualTimerService)' <<<"$symbols" | head -n 5)
if [ -n "$doubles" ]; then
  echo "FAIL: the updater links test doubles:"
  echo "$doubles"
  status=1
fi
# The check must be able to see symbols at all, or it proves nothing.
if ! grep -q 'CUpdateEngine::OnExecute' <<<"$symbols"; then
  echo "FAIL: no symbols to check in $bin"
  status=1
fi
[ "$status" -eq 0 ] && echo "updater binary: no test switch, no test double"
exit "$status"
