#!/usr/bin/env bash
# The command-line programs follow the usual conventions: --help on standard output with status 0,
# --version whose first line is "NAME 1.10", a usage error with the usage on standard error and
# status 2, nothing on standard output.
# usage: cli_programs.sh PROGRAM...
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for program in "$@"; do
  name=$(basename "$program")
  timeout 20 "$program" --help >"$work/out" 2>"$work/err"; status=$?
  [ $status -eq 0 ] || fail "$name --help: status $status"
  head -n 1 "$work/out" | grep -q "^Usage: $name " || fail "$name --help: first line $(head -n 1 "$work/out")"
  grep -q -- "--version" "$work/out" || fail "$name --help does not mention --version"
  [ ! -s "$work/err" ] || fail "$name --help wrote to standard error"

  timeout 20 "$program" --version >"$work/out" 2>"$work/err"; status=$?
  [ $status -eq 0 ] || fail "$name --version: status $status"
  [ "$(head -n 1 "$work/out")" = "$name 1.10" ] || fail "$name --version: first line $(head -n 1 "$work/out")"

  for bad in --no-such-option stray-word; do
    timeout 20 "$program" "$bad" >"$work/out" 2>"$work/err"; status=$?
    [ $status -eq 2 ] || fail "$name $bad: status $status, not 2"
    [ ! -s "$work/out" ] || fail "$name $bad wrote to standard output"
    grep -q "^$name: .*$bad" "$work/err" || fail "$name $bad: no error naming it: $(cat "$work/err")"
    grep -q "^Usage: $name " "$work/err" || fail "$name $bad: no usage on standard error"
  done

  # A full disk or a closed pipe is not success.
  if [ -w /dev/full ]; then
    timeout 20 "$program" --help >/dev/full 2>/dev/null; status=$?
    [ $status -eq 1 ] || fail "$name --help >/dev/full: status $status, not 1"
  fi
done

if [ "$(basename "${1:-}")" = tarnet-update ]; then
  for bad in "--timeout abc" "--timeout 0" "--linger -1" "--timeout" "--quiet=1" "--all --in x" "--all --rescan" \
             "--device a --device b" "--report /nonexistent-folder/report.json" "--report /" "--history=x"; do
    # shellcheck disable=SC2086
    timeout 20 "$1" $bad >/dev/null 2>"$work/err"; status=$?
    [ $status -eq 2 ] || fail "tarnet-update $bad: status $status, not 2"
  done

  # A device name with an escape sequence and a bell (a USB descriptor may hold any bytes) reaches
  # the terminal escaped: in the device lists, the run's first line and the history.
  evil=$'Evil\e[2J\a'
  shown='Evil\x1b[2J\x07'
  timeout 20 "$1" --list --loopback --device "$evil" >"$work/out" 2>&1
  grep -qxF "  0: $shown" "$work/out" || fail "--list shows the name as: $(cat -v "$work/out")"
  XDG_STATE_HOME=$work/state timeout 60 "$1" --loopback --device "$evil" --linger 0 >"$work/run" 2>&1
  [ "$(head -n 1 "$work/run")" = "MIDI IN \"$shown\": 0, MIDI OUT \"$shown\": 0" ] ||
    fail "the run's first line: $(head -n 1 "$work/run" | cat -v)"
  # The device's identity, as the built-in simulator (no USB device: no unit) reports it.
  grep -qxF "device: model 0x6A, software revision 31 30 30 30" "$work/run" ||
    fail "the run's device line: $(grep '^device' "$work/run" | cat -v)"
  XDG_STATE_HOME=$work/state timeout 20 "$1" --history >"$work/history" 2>&1
  grep -qF "  $shown  0x6A   Completed " "$work/history" || fail "--history: $(cat -v "$work/history")"
  grep -qF "  Completed  31 30 30 30  -   " "$work/history" || fail "--history without the revision: $(cat -v "$work/history")"
  if grep -q $'\e' "$work/out" "$work/run" "$work/history"; then fail "an escape character reached the output"; fi
fi

[ $failures -eq 0 ] && echo "command-line conventions hold for: $*"
[ $failures -eq 0 ]
