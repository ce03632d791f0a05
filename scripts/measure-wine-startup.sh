#!/usr/bin/env bash
# Size of the Windows programs and their start-up time under Wine, beside a trivial static Win32
# program (the floor: what starting any program under Wine costs). Builds the windows preset first.
#   scripts/measure-wine-startup.sh [runs]
# "cold" starts wait until the Wine server has exited, as for a program started on its own; "warm"
# starts keep one server running, as for programs started one after another.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}

cmake --preset windows >/dev/null
cmake --build --preset windows --target tarnet-update tarnet-messages >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnet-wine-measure.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

printf 'int main(void) { return 0; }\n' >"$work/trivial.c"
x86_64-w64-mingw32-gcc-posix -O2 -static -s "$work/trivial.c" -o "$work/trivial.exe"
wineboot -i >/dev/null 2>&1
wineserver -w || true

median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
seconds() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s%N); echo $(( (e - s) / 1000000 )); }
measure() {
  local label=$1; shift
  local cold=() warm=() i
  for ((i = 0; i < runs; i++)); do wineserver -w || true; cold+=("$(seconds wine "$@")"); done
  wineserver -p 120 || true
  wine "$@" >/dev/null 2>&1 || true
  for ((i = 0; i < runs; i++)); do warm+=("$(seconds wine "$@")"); done
  wineserver -k || true; wineserver -w || true
  printf '%-34s cold %5d ms   warm %5d ms   (medians of %d)\n' "$label" "$(median "${cold[@]}")" "$(median "${warm[@]}")" "$runs"
}

size() { stat -c %s "$1"; }
echo "sizes: tarnet-update.exe $(size build/windows/tools/tarnet-update.exe) bytes (image 327680 of it), tarnet-messages.exe $(size build/windows/tools/tarnet-messages.exe), trivial.exe $(size "$work/trivial.exe")"
echo "DLLs tarnet-update.exe imports: $(x86_64-w64-mingw32-objdump -p build/windows/tools/tarnet-update.exe | awk '/DLL Name/ { printf "%s ", $3 }')"
measure "trivial.exe (floor)" "$work/trivial.exe"
measure "tarnet-update.exe --help" build/windows/tools/tarnet-update.exe --help
measure "tarnet-update.exe --list" build/windows/tools/tarnet-update.exe --list
