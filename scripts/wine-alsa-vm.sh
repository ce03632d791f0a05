#!/usr/bin/env bash
# The Windows terminal runner (tarnet-update.exe, windows preset) under Wine inside the ALSA
# virtual machine of scripts/alsa-vm.sh, against tarnet-devsim on the kernel's sequencer: Wine's
# multimedia MIDI goes through its ALSA driver there, as on a Linux desktop that runs the Windows
# program. Prints the MIDI devices the Windows program sees, then one update with --measure, and
# the simulator's log. An exploration aid, not a test: Wine starts in about a minute under the
# emulation.
#
# What it shows here: Wine lists the sequencer ports as "CLIENT - PORT", and the update completes
# with the image received byte for byte (about 6.7 s in the emulated guest). Wine's driver sends
# each long message as one sequencer event; the program's and the simulator's ALSA input take such
# events whole. Wine itself then crashes on exit once it has used its ALSA driver (exit status
# 139): a trivial program that only counts the WinMM devices does the same.
#
# usage: scripts/wine-alsa-vm.sh
# Needs build/default (tarnet-devsim) and build/windows (tarnet-update.exe).
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --in-guest ]; then
  for f in build/default/tools/tarnet-devsim build/windows/tools/tarnet-update.exe; do
    [ -e "$f" ] || { echo "wine-alsa-vm: $f is missing (build the default and windows presets)"; exit 2; }
  done
  # The Wine prefix is made here, where Wine starts in seconds; the guest sees it through its
  # writable layer.
  prefix=${TARNET_WINE_PREFIX:-/var/tmp/tarnet-wine-alsa-vm}
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w
  TARNET_WINE_PREFIX=$prefix exec scripts/alsa-vm.sh -- bash scripts/wine-alsa-vm.sh --in-guest
fi

export WINEPREFIX=$TARNET_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/tmp
# Wine maps the program's image from its file; over the guest's 9p share the mapping reads as
# zeros, so the program runs from the guest's own memory.
mkdir -p /tmp/win && cp build/windows/tools/tarnet-update.exe /tmp/win/
build/default/tools/tarnet-devsim --name "Guest Device" --timeout 600 >/tmp/devsim.log 2>&1 &
for _ in $(seq 1 100); do grep -q ready /tmp/devsim.log && break; sleep 0.1; done
start=$(date +%s)
echo "== tarnet-update.exe --list"
wine /tmp/win/tarnet-update.exe --list
echo "(exit $?, $(( $(date +%s) - start )) s after the start)"
echo "== tarnet-update.exe --device \"Guest Device - Guest Device\" --measure"
wine /tmp/win/tarnet-update.exe --device "Guest Device - Guest Device" --measure --linger 0
echo "(exit $?, $(( $(date +%s) - start )) s after the start)"
kill %1 2>/dev/null
echo "== simulator"
cat /tmp/devsim.log
