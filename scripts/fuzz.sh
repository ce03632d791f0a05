#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded number of inputs
# on its seed corpus. Exits non-zero when a target finds a crash or does not build.
#
# Bounded runs for the test command (a few seconds each on two cores): dispatcher_fuzz 2000000,
# sysex_join_fuzz 100000 (it joins every input three times, with a reference beside it),
# records_fuzz 30000 (each input parsed three ways into JSON values, each record read written and
# read again). The
# targets are built at -O1, as libFuzzer advises: about five times the runs of an -O0 build.
# TARNET_FUZZ_RUNS sets one count for every target (scripts/soak.sh: 10 million).
# Everything a run writes stays in build/fuzz, which git ignores: the inputs that crashed, leaked,
# timed out or ran slow in build/fuzz/findings (named after their target), each run's corpus in a
# folder of its own that goes when the run ends.
set -uo pipefail
cd "$(dirname "$0")/.."

declare -A default_runs=([dispatcher_fuzz]=2000000 [sysex_join_fuzz]=100000 [records_fuzz]=30000)
declare -A max_len=([dispatcher_fuzz]=20000 [sysex_join_fuzz]=512 [records_fuzz]=2048)

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j "$(nproc)" || exit 1

findings=build/fuzz/findings
mkdir -p "$findings"
status=0
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  runs="${TARNET_FUZZ_RUNS:-${default_runs[$name]:-100000}}"
  seeds="tests/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d build/fuzz/corpus.XXXXXX)
  echo "--- $name: $runs runs on $seeds"
  start=$(date +%s)
  if ! "$target" -runs="$runs" -max_len="${max_len[$name]:-20000}" -timeout=10 -artifact_prefix="$findings/$name-" \
       "$work" "$seeds" >"$work/log" 2>&1; then
    echo "$name FAILED (the input is in $findings); tail of its log:"; tail -n 40 "$work/log"; status=1
  else
    echo "$(grep -E '^Done' "$work/log" | tail -n 1) ($(( $(date +%s) - start )) s)"
  fi
  rm -rf "$work"
done
exit $status
