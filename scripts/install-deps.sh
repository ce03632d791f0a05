#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the updater needs (its web
# edition's too: Debian's emscripten, Chromium, Node.js and npm).
# Runs as root (CI) or through sudo. Safe to run again: apt-get skips what is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  librtmidi-dev libasound2-dev libjack-jackd2-dev jackd2 nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth x11-utils xdotool imagemagick fonts-noto-cjk fonts-dejavu-core
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 nsis
  qemu-system-x86 linux-image-amd64 busybox-static cpio
  dpkg-dev fakeroot file help2man lintian appstream desktop-file-utils
  jq
  emscripten chromium
)
# The web edition's tests run on Node.js and npm. A machine whose Node.js comes from elsewhere (a
# package of another origin that brings npm with it) keeps it; Debian's are installed only where
# there is none.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer it ahead of time.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
