#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded number of inputs
# on its seed corpus. Exits non-zero when a target finds a crash or does not build.
set -uo pipefail
cd "$(dirname "$0")/.."
runs="${TARNET_FUZZ_RUNS:-500000}"

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j "$(nproc)" || exit 1

status=0
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds="tests/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  echo "--- $name: $runs runs on $seeds"
  if ! "$target" -runs="$runs" -max_len=20000 -timeout=10 -artifact_prefix="$work/" "$work" "$seeds" \
       >"$work/log" 2>&1; then
    echo "$name FAILED; tail of its log:"; tail -n 40 "$work/log"; status=1
  else
    grep -E '^Done|stat::number_of_executed_units' "$work/log" | tail -n 1
  fi
  rm -rf "$work"
done
exit $status
