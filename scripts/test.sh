#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build (its ALSA tests inside a
# virtual machine, scripts/alsa-vm.sh), then ASan+UBSan and TSan builds of the Qt-free libraries
# and their tests, then the Windows cross-build with its tests under Wine, then the Debian package
# and its checks, then the web edition (WebAssembly, its tests under Node and in headless Chromium),
# then the fuzz targets for a bounded number of runs. A JACK server with the dummy
# backend is started for the tests that need a real MIDI system, and stopped again at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1

# A JACK server of the test run's own, so stray clients of other programs can't disturb it.
export JACK_DEFAULT_SERVER="${JACK_DEFAULT_SERVER:-tarnet-test}"
scripts/jack-dummy.sh start
case $? in
  0) trap 'scripts/jack-dummy.sh stop' EXIT ;;
  10) ;;  # one was running already; leave it running
  *) exit 1 ;;
esac
export TARNET_REQUIRE_JACK=1

jobs=$(nproc)
failed=()
run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    failed+=("$preset (build)"); return
  fi
  echo "=== $preset: tests"
  ctest --preset "$preset" -j "$jobs" || failed+=("$preset (tests)")
}

# The Windows build (mingw-w64) and its test programs under Wine, in a Wine prefix of its own that
# is made fresh for this run and removed afterwards; two of the tests make the zip and the
# installer, install and uninstall. Without the cross compiler, Wine or makensis this stage fails:
# it never passes by running nothing.
run_windows() {
  local start=$SECONDS tool
  for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres wine wineboot wineserver Xvfb makensis; do
    if ! command -v "$tool" >/dev/null; then
      echo "=== windows: $tool is missing (scripts/install-deps.sh installs it)"
      failed+=("windows (no $tool)"); return
    fi
  done
  echo "=== windows: configure and build"
  if ! cmake --preset windows >/dev/null || ! cmake --build --preset windows -j "$jobs"; then
    failed+=("windows (build)"); return
  fi
  local built=$SECONDS
  local home
  home=$(mktemp -d "${TMPDIR:-/tmp}/tarnet-wine.XXXXXX") || { failed+=("windows (temporary directory)"); return; }
  (
    # No Gecko or Mono to install, and no menu entries mirrored into the desktop of $HOME. Wine's
    # sound drivers stay unloaded: this machine has no sound devices, so they would only probe
    # PulseAudio and ALSA in every test program and find nothing; Wine's MIDI has no devices either
    # way, which is what these tests describe.
    export WINEPREFIX="$home/prefix" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winealsa.drv,winepulse.drv,wineoss.drv=d"
    unset WAYLAND_DISPLAY
    # One virtual X display for the whole stage: Wine's desktop process takes the display that it
    # starts with, and the native window tests need one (the other tests don't mind it).
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$home/display" 2>/dev/null &
    xvfb_pid=$!
    trap 'kill "$xvfb_pid" 2>/dev/null' EXIT
    for _ in $(seq 1 100); do [ -s "$home/display" ] && break; sleep 0.1; done
    if [ ! -s "$home/display" ]; then echo "=== windows: Xvfb does not start"; exit 1; fi
    export DISPLAY=":$(head -n1 "$home/display")"
    echo "=== windows: Wine prefix in $WINEPREFIX, display $DISPLAY"
    # The first start makes the prefix; wait until Wine has settled before the tests time anything.
    if ! wineboot -i >/dev/null 2>&1 || ! wineserver -w; then
      echo "=== windows: Wine does not start"; exit 1
    fi
    # One Wine server and its system processes (services, plug and play, desktop) for the whole
    # run, started here with their output away from any test. Otherwise the server ends whenever
    # no Wine program happens to run, and the next test program starts it again: the server and
    # the system processes then inherit that test's output, and CTest waits for them to end
    # (until the time-out of a test that has long finished), while test programs that start
    # during the shutdown wait for the system processes.
    wineserver -p </dev/null >/dev/null 2>&1
    if ! timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1; then
      echo "=== windows: Wine's system processes do not start"; exit 1
    fi
    echo "=== windows: tests under Wine"
    rc=0
    ctest --preset windows -j "$jobs" || rc=1
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    exit $rc
  ) || failed+=("windows (tests under Wine)")
  rm -rf "$home"
  echo "=== windows: build $((built - start)) s, Wine and tests $((SECONDS - built)) s"
}

run_preset default

# The tests on the kernel's ALSA sequencer (label "alsa") need /dev/snd, which these machines
# lack: they run on the default build inside a virtual machine (scripts/alsa-vm.sh), where they
# must not skip. Among them the three through real USB MIDI devices (tests/e2e_usb.sh: one update,
# three identical devices with --all, an unplug during the transfer), which make their USB gadgets
# in the guest. A guest that can't start fails this stage loudly.
if [ -d build/default ] && [[ ! " ${failed[*]} " =~ "default (build)" ]]; then
  echo "=== alsa: tests in a virtual machine with the ALSA sequencer"
  alsa_start=$(date +%s)
  TARNET_REQUIRE_ALSA=1 scripts/alsa-vm.sh -- ctest --test-dir build/default -L alsa --output-on-failure \
    || failed+=("alsa (tests in the virtual machine)")
  echo "=== alsa: $(( $(date +%s) - alsa_start )) s"
fi
run_preset asan
run_preset tsan
run_windows

# The Debian package: release build of the shipped programs, then its contents, lintian and the
# desktop validators (scripts/check-package.sh).
echo "=== package"
scripts/check-package.sh || failed+=("package")

# The web edition: the site built with Debian's emscripten, the engine's and the shared core's
# tests in WebAssembly under Node, the site's size, and the page in headless Chromium (puppeteer-
# core and axe-core as the lock file pins them, installed into web/node_modules).
run_web() {
  local start=$SECONDS tool
  for tool in em++ node npm chromium; do
    if ! command -v "$tool" >/dev/null; then
      echo "=== web: $tool is missing (scripts/install-deps.sh installs it)"
      failed+=("web (no $tool)"); return
    fi
  done
  echo "=== web: browser test tools (npm ci)"
  if ! (cd web && npm ci --no-audit --no-fund --loglevel=error); then
    failed+=("web (npm ci)"); return
  fi
  run_preset web
  echo "=== web: $((SECONDS - start)) s"
}
run_web

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  scripts/fuzz.sh || failed+=("fuzz")
fi

if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test builds passed."
