#!/usr/bin/env bash
# The Windows zip and installer (cmake/PackagingWindows.cmake), two CTest tests of the windows build:
#   windows_packages_test.sh make <cpack> <build dir> <output dir>
#       makes both with cpack into <output dir> and checks the zip: exactly the shipped programs,
#       README.txt and LICENSE.txt in one folder, the texts with Windows line endings throughout.
#   windows_packages_test.sh install <wine> <output dir>
#       runs the installer silently under Wine (WINEPREFIX from the environment) and checks the
#       programs, the Start-menu shortcut and the Add/Remove Programs entry; then runs the
#       uninstaller silently and checks that all of it is gone again.
set -uo pipefail

fail() { echo "windows_packages_test: FAIL: $*"; exit 1; }
# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}
programs=(tarnet-messages.exe tarnet-update.exe tarnet-updater.exe)
texts=(LICENSE.txt README.txt)

case "${1:-}" in
make)
  cpack=$2 build=$3 out=$4
  rm -rf "$out" && mkdir -p "$out" || fail "cannot make $out"
  timeout 300 "$cpack" --config "$build/CPackConfig.cmake" -G "ZIP;NSIS" -B "$out" >"$out/cpack.log" 2>&1 \
    || { cat "$out/cpack.log"; fail "cpack"; }
  zips=("$out"/*.zip) setups=("$out"/*-setup.exe)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "not one zip: ${zips[*]}"
  [ ${#setups[@]} -eq 1 ] && [ -f "${setups[0]}" ] || fail "not one installer: ${setups[*]}"

  folder=$(basename "${zips[0]}" .zip)
  expected=$(printf "$folder/%s\n" "${programs[@]}" "${texts[@]}" | sort)
  listed=$(cd "$out" && cmake -E tar tf "${zips[0]}" | sed 's:/$::' | grep -vx "$folder" | sort)
  [ "$listed" = "$expected" ] || fail "the zip holds"$'\n'"$listed"$'\n'"instead of"$'\n'"$expected"
  (cd "$out" && cmake -E tar xf "${zips[0]}") || fail "cannot unpack the zip"
  for text in "${texts[@]}"; do
    # Every line, the last one too, ends in CR LF.
    [ -s "$out/$folder/$text" ] && ! grep -q $'[^\r]$' "$out/$folder/$text" &&
      [ "$(tail -c 2 "$out/$folder/$text" | od -An -tx1)" = " 0d 0a" ] || fail "$text: not all lines end in CR LF"
  done
  echo "windows_packages_test: $(basename "${zips[0]}") $(stat -c %s "${zips[0]}") bytes:" \
       "${programs[*]} ${texts[*]}; $(basename "${setups[0]}") $(stat -c %s "${setups[0]}") bytes"
  ;;
install)
  wine=$2 out=$3
  setups=("$out"/*-setup.exe)
  [ -f "${setups[0]}" ] || fail "no installer in $out (made by the test windows_packages_...)"
  # Wine would mirror the Start-menu shortcut into the desktop's menu in the home directory.
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winemenubuilder.exe=d"
  key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnet Updater'
  unix_path() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
  folders=$("$wine" cmd /c 'echo %LOCALAPPDATA%&echo %APPDATA%' 2>/dev/null | tr -d '\r')
  local_appdata=$(unix_path "$(sed -n 1p <<<"$folders")")
  appdata=$(unix_path "$(sed -n 2p <<<"$folders")")
  [ -d "$local_appdata" ] && [ -d "$appdata" ] || fail "Wine's user folders not found: '$folders'"
  dir="$local_appdata/Programs/Tarnet Updater" win_dir="$(sed -n 1p <<<"$folders")\Programs\Tarnet Updater"
  shortcut="$appdata/Microsoft/Windows/Start Menu/Programs/Tarnet Updater.lnk"
  [ ! -e "$dir" ] && [ ! -e "$shortcut" ] || fail "Tarnet Updater is installed in this Wine prefix already ($dir or $shortcut); the test needs a prefix without it"

  timeout 120 "$wine" "${setups[0]}" /S || fail "the installer failed (exit status $?)"
  installed=$(cd "$dir" 2>/dev/null && ls | sort)
  expected=$(printf '%s\n' "${programs[@]}" "${texts[@]}" Uninstall.exe | sort)
  [ "$installed" = "$expected" ] || fail "installed in $dir:"$'\n'"$installed"$'\n'"instead of"$'\n'"$expected"
  # The shortcut names the window program by its Windows path.
  [ -f "$shortcut" ] || fail "no Start-menu shortcut at $shortcut"
  strings -a "$shortcut" | grep -qixF "$win_dir\tarnet-updater.exe" || fail "the shortcut does not start $win_dir\tarnet-updater.exe"
  entry=$(timeout 60 "$wine" reg query "$key" 2>/dev/null | tr -d '\r')
  grep -q 'DisplayName *REG_SZ *Tarnet Updater$' <<<"$entry" || fail "no Add/Remove Programs entry: $entry"
  grep -qixF "    UninstallString    REG_SZ    \"$win_dir\Uninstall.exe\"" <<<"$entry" || fail "no uninstaller in the entry: $entry"
  version=$(timeout 60 "$wine" "$dir/tarnet-update.exe" --version 2>/dev/null | head -n 1 | tr -d '\r')
  [[ "$version" =~ ^tarnet-update\ [0-9] ]] || fail "the installed tarnet-update.exe says '$version'"

  # The uninstaller copies itself into the temporary folder, starts the copy and returns at once:
  # the entry goes last, so wait for that.
  timeout 120 "$wine" "$dir/Uninstall.exe" /S || fail "the uninstaller failed (exit status $?)"
  key_gone() { ! "$wine" reg query "$key" >/dev/null 2>&1; }
  wait_for 60 key_gone || fail "the Add/Remove Programs entry is still there 60 s after uninstalling"
  [ ! -e "$dir" ] || fail "left after uninstalling: $dir: $(ls -A "$dir")"
  [ ! -e "$shortcut" ] || fail "left after uninstalling: $shortcut"
  echo "windows_packages_test: installed $(tr '\n' ' ' <<<"$installed")and the shortcut ($version);" \
       "the uninstaller removed them and its entry"
  ;;
*)
  echo "usage: $0 make CPACK BUILD-DIR OUTPUT-DIR | install WINE OUTPUT-DIR" >&2; exit 2 ;;
esac
