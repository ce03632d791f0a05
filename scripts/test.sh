#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build (its ALSA tests inside a
# virtual machine, scripts/alsa-vm.sh), then ASan+UBSan and TSan
# builds of the Qt-free libraries and their tests, then the fuzz targets for a bounded number of
# runs. A JACK server with the dummy backend is started for the tests that need a real MIDI
# system, and stopped again at the end.
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

# The tests on the kernel's ALSA sequencer (label "alsa") need /dev/snd, which these machines
# lack: they run on the default build inside a virtual machine (scripts/alsa-vm.sh), where they
# must not skip. A guest that can't start fails this stage loudly.
if [ -d build/default ] && [[ ! " ${failed[*]} " =~ "default (build)" ]]; then
  echo "=== alsa: tests in a virtual machine with the ALSA sequencer"
  alsa_start=$(date +%s)
  TARNET_REQUIRE_ALSA=1 scripts/alsa-vm.sh -- ctest --test-dir build/default -L alsa --output-on-failure \
    || failed+=("alsa (tests in the virtual machine)")
  echo "=== alsa: $(( $(date +%s) - alsa_start )) s"
fi
run_preset asan
run_preset tsan

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  scripts/fuzz.sh || failed+=("fuzz")
fi

if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test builds passed."
