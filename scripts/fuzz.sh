#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded number of inputs
# on its seed corpus. Exits non-zero when a target finds a crash or does not build.
#
# Bounded runs for the test command (a few seconds each on two cores): dispatcher_fuzz 2000000,
# sysex_join_fuzz 100000 (it joins every input three times, with a reference beside it). The
# targets are built at -O1, as libFuzzer advises: about five times the runs of an -O0 build.
# TARNET_FUZZ_RUNS sets one count for every target (scripts/soak.sh: 10 million).
set -uo pipefail
cd "$(dirname "$0")/.."

declare -A default_runs=([dispatcher_fuzz]=2000000 [sysex_join_fuzz]=100000)
declare -A max_len=([dispatcher_fuzz]=20000 [sysex_join_fuzz]=512)

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j "$(nproc)" || exit 1

status=0
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  runs="${TARNET_FUZZ_RUNS:-${default_runs[$name]:-100000}}"
  seeds="tests/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  echo "--- $name: $runs runs on $seeds"
  start=$(date +%s)
  if ! "$target" -runs="$runs" -max_len="${max_len[$name]:-20000}" -timeout=10 -artifact_prefix="$work/" \
       "$work" "$seeds" >"$work/log" 2>&1; then
    echo "$name FAILED; tail of its log:"; tail -n 40 "$work/log"; status=1
    # Keep the input that failed beside the build, where it can be run again.
    mkdir -p build/fuzz/findings && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* build/fuzz/findings/ 2>/dev/null
  else
    echo "$(grep -E '^Done' "$work/log" | tail -n 1) ($(( $(date +%s) - start )) s)"
  fi
  rm -rf "$work"
done
exit $status
