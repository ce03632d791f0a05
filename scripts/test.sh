#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build, then ASan+UBSan and TSan
# builds of the Qt-free libraries and their tests, then the Debian package and its checks, then the
# fuzz targets for a bounded number of runs. A JACK server with the dummy backend is started for
# the tests that need a real MIDI system, and stopped again at the end.
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

run_preset default
run_preset asan
run_preset tsan

# The Debian package: release build of the shipped programs, then its contents, lintian and the
# desktop validators (scripts/check-package.sh).
echo "=== package"
scripts/check-package.sh || failed+=("package")

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  scripts/fuzz.sh || failed+=("fuzz")
fi

if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test builds passed."
