#!/usr/bin/env bash
# Runs the native window tests under Wine:
#   win32_window_test.sh <xvfb-run> <wine> <test.exe> [gtest arguments...]
# Wine's desktop process takes its display when it starts, and every Wine process of the prefix
# then draws through it: the test command therefore runs its whole Windows stage in one virtual X
# display (scripts/test.sh). Run alone without a display, this script makes one of its own.
# Without a window manager, Wine waits two seconds for every managed top-level window that goes
# away; the prefix's X11 driver is told to leave windows unmanaged, as they are without one anyway.
# WINEPREFIX comes from the environment.
set -euo pipefail
xvfb_run=$1 wine=$2 exe=$3
shift 3
if [ -z "${DISPLAY:-}" ]; then
  exec "$xvfb_run" -a -s "-screen 0 1024x768x24" "$0" "$xvfb_run" "$wine" "$exe" "$@"
fi
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || {
  echo "win32_window_test.sh: Wine does not run (reg add failed)" >&2; exit 1; }
exec "$wine" "$exe" --gtest_brief=1 "$@"
