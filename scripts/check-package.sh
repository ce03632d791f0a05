#!/usr/bin/env bash
# Builds the Debian package (presets "package") and checks what it installs:
#  - every path that the .desktop file, the AppStream metadata and the manual pages name is there
#    (Exec's program in usr/bin, Icon in the hicolor theme at every size and as SVG, the
#    metadata's launchable and binaries, a manual page for every program);
#  - the programs run from the extracted tree (tarnet-update --version and a whole update against
#    its built-in simulator; the updater window opens under Xvfb, shows its title, and ends on
#    SIGTERM);
#  - lintian reports no error and no warning; desktop-file-validate and appstreamcli validate pass.
# usage: scripts/check-package.sh [--no-build]    (--no-build: check build/package/*.deb as it is)
set -uo pipefail
cd "$(dirname "$0")/.."

build=1
[ "${1:-}" = --no-build ] && build=0
work="$(mktemp -d /tmp/tarnet-package.XXXXXX)"
xvfb_pid="" updater_pid=""
cleanup() {
  [ -n "$updater_pid" ] && kill -KILL "$updater_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "check-package: FAIL: $*"; failures=$((failures + 1)); }
# Reports a passed group of checks, unless one of them failed since the last report.
reported=0
ok() { [ $failures -eq $reported ] && echo "check-package: ok: $*"; reported=$failures; }
# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
  local limit=$1; shift
  for _ in $(seq 1 $(( limit * 10 ))); do "$@" && return 0; sleep 0.1; done
  return 1
}

version=$(sed -n 's/^project(TarnetUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
if [ $build = 1 ]; then
  rm -f build/package/tarnet-updater_*.deb
  start=$(date +%s)
  { cmake --preset package >/dev/null && cmake --build --preset package -j "$(nproc)" >/dev/null &&
    cpack --preset package >"$work/cpack.log" 2>&1; } || { cat "$work/cpack.log" 2>/dev/null; echo "check-package: build failed"; exit 1; }
  echo "check-package: package built in $(( $(date +%s) - start )) s"
fi
deb="build/package/tarnet-updater_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "check-package: no $deb"; ls build/package/*.deb 2>/dev/null; exit 1; }
ok "named by version and architecture: $(basename "$deb")"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version)"
[ "$(field Section)" = sound ] || fail "Section is $(field Section)"
field Maintainer | grep -q '^[^<]\+ <[^@>]\+@[^>]\+>$' || fail "Maintainer is '$(field Maintainer)'"
field Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries: $(field Depends)"

root="$work/root"
dpkg-deb -x "$deb" "$root" || { echo "check-package: dpkg-deb -x failed"; exit 1; }

# The menu entry and what it names.
desktops=("$root"/usr/share/applications/*.desktop)
[ ${#desktops[@]} -eq 1 ] && [ -f "${desktops[0]}" ] || { echo "check-package: not one .desktop file: ${desktops[*]}"; exit 1; }
desktop=${desktops[0]}
id=$(basename "$desktop" .desktop)
key() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }
exec_program=$(key Exec | awk '{print $1}')
case "$exec_program" in
  /*) [ -x "$root$exec_program" ] || fail "Exec names $exec_program, not installed" ;;
  *) [ -x "$root/usr/bin/$exec_program" ] || fail "Exec names $exec_program, not in usr/bin" ;;
esac
icon=$(key Icon)
[ "$icon" = "$id" ] || fail "Icon '$icon' is not the application id '$id'"
for size in 16 32 48 128; do
  png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png"
  file -b "$png" 2>/dev/null | grep -q "PNG image data, $size x $size" || fail "no ${size}x${size} PNG at ${png#"$root"/}"
done
svg="$root/usr/share/icons/hicolor/scalable/apps/$icon.svg"
file -b "$svg" 2>/dev/null | grep -q "SVG" || fail "no SVG icon at ${svg#"$root"/}"
key Categories | grep -q 'Midi' || fail "Categories lack Midi: $(key Categories)"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
ok "desktop file $id.desktop: Exec $exec_program, Icon $icon at 16, 32, 48, 128 px and SVG"

# The AppStream metadata and what it names.
metainfo="$root/usr/share/metainfo/$id.metainfo.xml"
if [ -f "$metainfo" ]; then
  element() { sed -n "s:.*<$1>\(.*\)</$1>.*:\1:p" "$metainfo"; }
  [ "$(element id)" = "$id" ] || fail "metainfo id '$(element id)' is not '$id'"
  launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
  [ "$launchable" = "$id.desktop" ] && [ -f "$root/usr/share/applications/$launchable" ] \
    || fail "launchable '$launchable' is not the installed desktop file"
  grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in the metainfo"
  for binary in $(element binary); do
    [ -x "$root/usr/bin/$binary" ] || fail "metainfo provides $binary, not in usr/bin"
  done
  appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
  appstreamcli validate-tree --no-net "$root" >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "appstreamcli validate-tree"; }
  ok "metainfo $id: launchable $launchable, binaries $(element binary | tr '\n' ' ')"
else
  fail "no metainfo at usr/share/metainfo/$id.metainfo.xml"
fi

# A manual page for every program, naming it, free of formatter warnings.
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  page="$root/usr/share/man/man1/$name.1.gz"
  if [ ! -f "$page" ]; then fail "no manual page for $name"; continue; fi
  zcat "$page" | grep -q "^$name \\\\- " || fail "manual page of $name does not name it"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "manual page of $name: $warnings"
done
ok "manual pages: $(ls "$root/usr/share/man/man1" | tr '\n' ' ')"

# The programs run from the extracted tree.
first=$("$root/usr/bin/tarnet-update" --version | head -n 1)
[ "$first" = "tarnet-update $version" ] || fail "tarnet-update --version says '$first'"
[ "$("$root/usr/bin/tarnet-devsim" --version | head -n 1)" = "tarnet-devsim $version" ] || fail "tarnet-devsim --version"
XDG_STATE_HOME="$work/state" timeout 120 "$root/usr/bin/tarnet-update" --loopback --quiet --linger 0 >"$work/update.log" 2>&1 \
  && ok "installed tarnet-update: --version '$first'; a whole update against its simulator completed" \
  || { cat "$work/update.log"; fail "installed tarnet-update --loopback"; }

# The window opens and shows its title; SIGTERM ends it. TMPDIR keeps its instance marker apart
# from other copies on the machine, and a JACK server name of its own (none runs by that name)
# keeps it away from JACK servers of other programs: this checks the installed window, not MIDI.
title="Tarnet System Ver 1.10 Updater"
# One try on an X server of its own. Returns 0 when the window was shown and ended, 1 on a fault
# of the updater, 2 when the X server itself failed (then the caller tries once more).
window_check() {
  rm -f "$work/display"
  # Xvfb picks a free display number itself and writes it to the given descriptor.
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_for 20 grep -qs '^[0-9]' "$work/display"
  local display=":$(head -n 1 "$work/display" 2>/dev/null)"
  local result=0
  if ! wait_for 20 xwininfo -display "$display" -root >/dev/null 2>&1; then
    echo "check-package: Xvfb did not start:"; cat "$work/xvfb.log"; result=2
  else
    # A runtime directory of its own: copies of the updater that run elsewhere on the machine (a
    # user's, another test run's) take numbers of their own and don't make this one copy 2.
    mkdir -p -m 700 "$work/runtime"
    DISPLAY="$display" QT_QPA_PLATFORM=xcb TMPDIR="$work" XDG_RUNTIME_DIR="$work/runtime" \
      JACK_DEFAULT_SERVER="tarnet-package-$$" JACK_NO_START_SERVER=1 \
      "$root/usr/bin/tarnet-updater" >"$work/updater.log" 2>&1 &
    updater_pid=$!
    shown() { xwininfo -display "$display" -root -tree 2>/dev/null | grep -q "\"$title\""; }
    shown_or_ended() { shown || ! kill -0 "$updater_pid" 2>/dev/null; }
    if wait_for 60 shown_or_ended && shown && kill -0 "$updater_pid" 2>/dev/null; then
      # The desktop matches the window to its menu entry by the window's class.
      local window class
      window=$(xwininfo -display "$display" -name "$title" 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
      class=$(xprop -display "$display" -id "$window" WM_CLASS 2>/dev/null | sed -n 's/.*= "[^"]*", "\([^"]*\)"/\1/p')
      [ "$class" = "$(key StartupWMClass)" ] || fail "window class '$class' is not StartupWMClass '$(key StartupWMClass)'"
      kill -TERM "$updater_pid"
      if wait_for 10 sh -c "! kill -0 $updater_pid 2>/dev/null"; then
        wait "$updater_pid" 2>/dev/null
        updater_pid=""
        ok "installed tarnet-updater: window \"$title\" (class $class) shown, ended on SIGTERM"
      else
        fail "tarnet-updater did not end within 10 s of SIGTERM"; result=1
      fi
    elif ! kill -0 "$xvfb_pid" 2>/dev/null || grep -q "could not connect to display" "$work/updater.log"; then
      echo "check-package: the X server on $display went away:"; cat "$work/xvfb.log" "$work/updater.log"; result=2
    else
      cat "$work/updater.log"
      echo "windows on $display:"; xwininfo -display "$display" -root -tree 2>&1 | grep '"' | head -n 5
      for task in /proc/"$updater_pid"/task/*; do
        [ -r "$task/stat" ] && echo "thread $(basename "$task"): $(cut -d' ' -f2,3 "$task/stat") in $(cat "$task/wchan" 2>/dev/null)"
      done
      fail "tarnet-updater showed no window titled \"$title\" within 60 s, or ended"; result=1
    fi
  fi
  [ -n "$updater_pid" ] && { kill -KILL "$updater_pid" 2>/dev/null; wait "$updater_pid" 2>/dev/null; updater_pid=""; }
  kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=""
  return $result
}
if command -v Xvfb >/dev/null && command -v xwininfo >/dev/null && command -v xprop >/dev/null; then
  window_check
  if [ $? -eq 2 ]; then
    window_check
    [ $? -eq 2 ] && fail "no X server to open the window on (twice)"
  fi
else
  # No X server to look at: the window must at least keep running offscreen until it is stopped.
  QT_QPA_PLATFORM=offscreen TMPDIR="$work" JACK_DEFAULT_SERVER="tarnet-package-$$" JACK_NO_START_SERVER=1 timeout -k 5 5 "$root/usr/bin/tarnet-updater" >"$work/updater.log" 2>&1
  status=$?
  [ $status -eq 124 ] && ok "installed tarnet-updater ran offscreen until SIGTERM" \
    || { cat "$work/updater.log"; fail "tarnet-updater offscreen: exit status $status, not 124 (ended by SIGTERM)"; }
fi

# lintian: no error, no warning; the informational tags are listed.
lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1
status=$?
grep -v '^running with root privileges' "$work/lintian.log"
[ $status -eq 0 ] && ok "lintian: no error, no warning" || fail "lintian (exit status $status)"

if [ $failures -ne 0 ]; then
  echo "check-package: $failures check(s) failed"
  exit 1
fi
echo "check-package: all checks passed"
