#!/usr/bin/env bash
# cmake/wine-run.sh against a stand-in for Wine: a start that ends non-zero without printing
# anything is tried once more, and only that; what a program printed and how it ended stays its own.
#   wine_run_test.sh <path of wine-run.sh>
set -euo pipefail
run=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/wine-run-test.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# The stand-in: its first argument says how each start goes; it counts its starts in $dir/starts.
cat >"$dir/wine" <<'STANDIN'
#!/usr/bin/env bash
n=$(( $(cat "$STARTS" 2>/dev/null || echo 0) + 1 )); echo "$n" >"$STARTS"
case "$1" in
  silent-once) [ "$n" -eq 1 ] && exit 1; echo "second start ran"; exit 0 ;;
  silent-always) exit 1 ;;
  fails-loudly) echo "[  FAILED  ] a test"; exit 1 ;;
  fails-on-stderr) echo "Error: no device" >&2; exit 1 ;;
  passes) echo "args: ${*:2}"; exit 0 ;;
esac
STANDIN
chmod +x "$dir/wine"
export PATH="$dir:$PATH" STARTS="$dir/starts"
failures=0
check() {  # check <case> <expected status> <expected starts> <expected stdout>
  rm -f "$STARTS"
  local out rc=0
  out=$("$run" "$1" "two words" x 2>"$dir/stderr") || rc=$?
  local starts; starts=$(cat "$STARTS")
  if [ "$rc" != "$2" ] || [ "$starts" != "$3" ] || [ "$out" != "$4" ]; then
    echo "FAIL $1: status $rc (want $2), starts $starts (want $3), output '$out' (want '$4')"
    sed 's/^/  stderr: /' "$dir/stderr"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}
check passes 0 1 "args: two words x"
check silent-once 0 2 "second start ran"
check silent-always 1 2 ""
check fails-loudly 1 1 "[  FAILED  ] a test"
check fails-on-stderr 1 1 ""
grep -q "stderr" <(rm -f "$STARTS"; "$run" fails-on-stderr 2>&1 >/dev/null | sed 's/no device/stderr/') ||
  { echo "FAIL standard error does not come through"; failures=$((failures + 1)); }
rm -f "$STARTS"
"$run" silent-once 2>"$dir/stderr" >/dev/null
grep -q "starting it once more" "$dir/stderr" || { echo "FAIL the second start is not reported"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ]
