#!/usr/bin/env bash
# How the Windows build's tests start a program under Wine (the toolchain file makes this the
# emulator):  wine-run.sh PROGRAM [ARGUMENTS...]
#
# Wine 8.0 (Debian 12) now and then does not start a program at all: Wine ends at once, with
# status 1, before the program has printed anything. Seen about once in a thousand starts, with
# several Wine programs starting at the same moment; the test programs that it hit were ones that
# do nothing but compute. Each of our test programs prints before it can end: gtest its first line,
# the command-line programs their device lines or their usage. A start that ends non-zero and
# printed nothing on either stream is therefore Wine's failure, not a test's verdict: it is
# reported on standard error and tried once more. Whatever printed anything keeps its result, so a
# test that fails, fails.
#
# Standard output goes through at once (tee), standard error too, so CTest shows what a hanging
# program printed before its time-out.
set -u
wine=$(command -v wine || command -v wine64) || { echo "wine-run.sh: Wine is not installed" >&2; exit 127; }
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || { rm -f "$out"; exit 125; }
trap 'rm -f "$out" "$err"' EXIT

for try in 1 2; do
  exec 3> >(tee "$err" >&2)
  copier=$!
  "$wine" "$@" 2>&3 3>&- | tee "$out"
  rc=${PIPESTATUS[0]}
  exec 3>&-
  wait "$copier"  # the copy of standard error is whole before it is looked at
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$try" -eq 2 ]; then
    exit "$rc"
  fi
  echo "wine-run.sh: Wine ended $1 with status $rc before it printed anything; starting it once more" >&2
done
