#!/usr/bin/env bash
# The Windows programs (windows preset) under Wine inside the ALSA virtual machine of
# scripts/alsa-vm.sh, against tarnet-devsim on the kernel's sequencer: Wine's multimedia MIDI goes
# through its ALSA driver there, as on a Linux desktop that runs the Windows programs.
#  1. The terminal runner tarnet-update.exe: the MIDI devices it sees, then one update with
#     --measure, and the simulator's log.
#  2. The window tarnet-updater.exe on a virtual X display (Xvfb), driven as a user would: the
#     window opens, its MIDI IN and MIDI OUT lists show the simulated device, a mouse click on
#     "Execute" runs the update to the simulator's verdict, a click on "Exit" closes the window,
#     and the process ends. Pictures of the screen before and after the update are written on
#     this machine (window-before.png, window-after.png in the directory below).
# Ends with one line "wine-alsa-vm: PASS: ..." or "wine-alsa-vm: FAIL: ..." (exit status 0 or 1).
# An exploration aid, not a test: Wine starts in about a minute under the emulation.
#
# What the window shows is printed as text from Wine's own traces of its controls (+listbox: the
# entries of each device list and the selected one; +edit: each text of the status line; +msgbox:
# the text of a message box). With TARNET_DEVSIM_ARGS="--long-first 12000:8000" (a long message
# before the Identity Reply) both programs end "Illegal device connected." before the reply, and
# the run ends FAIL (no update passed).
#
# What it shows here: Wine lists the sequencer ports as "CLIENT - PORT" when both names fit in its
# 31 characters, else the port name alone: "Guest Device - Guest Device" for the simulator of the
# terminal runner, and "USB Audio Device" for the simulator under its default name (client and port
# both "USB Audio Device"), beside "Midi Through Port-0" and "VirMIDI 0-0" ... "VirMIDI 0-3". The
# terminal runner's update completes with the image received byte for byte (3.1-6.7 s in the
# emulated guest, by the host's load). The window opens 8-40 s after its start with "USB Audio
# Device" selected in both lists on its own; the click on "Execute" reaches the device within
# 1-3 s, and the update completes 3-8 s after the click: the status line goes "Erasing Flash
# memory.", empty, "Data transmit  0 / 327680 " ... "Data transmit  322560 / 327680 ", "Version
# update completed.", the progress bar is full, "Execute" stays disabled (until "Rescan Device"),
# and the simulator reports PASS. The click on "Exit" closes the window and the process ends 3-5 s
# later. Wine's driver sends each long message as one sequencer event; the program's and the
# simulator's ALSA input take such events whole. Wine itself crashes on exit once it has used its
# ALSA driver (exit status 139, also printed by the shell as "Segmentation fault"): after the
# update of the terminal runner and after the window every time, after --list in five runs of
# six; a trivial program that only counts the WinMM devices does the same. The whole run takes
# 1.5-3 minutes.
#
# usage: scripts/wine-alsa-vm.sh [PICTURE-DIRECTORY]    (default /tmp/tarnet-wine-alsa-vm)
# TARNET_DEVSIM_ARGS adds options to both simulators (e.g. "--burst 10:200": the update must
# answer 200 requests of the device's, sent at once, in order).
# Needs build/default (tarnet-devsim) and build/windows (tarnet-update.exe, tarnet-updater.exe).
set -uo pipefail
cd "$(dirname "$0")/.."

runner=build/windows/tools/tarnet-update.exe
window_exe=build/windows/app/win32/tarnet-updater.exe
devsim=build/default/tools/tarnet-devsim

if [ "${1:-}" != --in-guest ]; then
  for f in "$devsim" "$runner" "$window_exe"; do
    [ -e "$f" ] || { echo "wine-alsa-vm: $f is missing (build the default and windows presets)"; exit 2; }
  done
  pictures=${1:-/tmp/tarnet-wine-alsa-vm}
  mkdir -p "$pictures" || exit 2
  # The Wine prefix is made here, where Wine starts in seconds; the guest sees it through its
  # writable layer.
  prefix=${TARNET_WINE_PREFIX:-/var/tmp/tarnet-wine-alsa-vm}
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w
  # The guest's files are gone when it ends: it prints each picture as base64 between two marker
  # lines, which are written to a file here instead of being shown.
  TARNET_WINE_PREFIX=$prefix scripts/alsa-vm.sh -- bash scripts/wine-alsa-vm.sh --in-guest |
    while IFS= read -r line || [ -n "$line" ]; do
      case "$line" in
        "=== picture end")
          base64 -d "$pictures/$name.b64" >"$pictures/$name" && rm -f "$pictures/$name.b64"
          echo "(picture $pictures/$name)"
          name= ;;
        "=== picture "*) name=${line#=== picture }; : >"$pictures/$name.b64" ;;
        *) if [ -n "${name:-}" ]; then printf '%s\n' "$line" >>"$pictures/$name.b64"; else printf '%s\n' "$line"; fi ;;
      esac
    done
  exit "${PIPESTATUS[0]}"
fi

export WINEPREFIX=$TARNET_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/tmp
# Seconds (to a tenth) since the time $1, taken with $(now).
now() { date +%s.%N; }
since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.1f", to - from }'; }
start=$(now)
elapsed() { echo "$(since "$start") s after the start"; }
. scripts/vm-common.sh
failures=()
fail() { failures+=("$*"); echo "wine-alsa-vm: $*"; }
picture() {
  import -window root "/tmp/$1" 2>/dev/null || { echo "(no picture $1)"; return; }
  echo "=== picture $1"; base64 "/tmp/$1"; echo "=== picture end"
}
# Wine maps a program's image from its file; over the guest's 9p share the mapping reads as
# zeros, so the programs run from the guest's own memory.
mkdir -p /tmp/win && cp "$runner" "$window_exe" /tmp/win/
# One Wine server for both programs: the second one does not pay for its start again.
wineserver -p

# --- 1. The terminal runner --------------------------------------------------------------------
# shellcheck disable=SC2086
"$devsim" --name "Guest Device" --timeout 600 ${TARNET_DEVSIM_ARGS:-} >/tmp/devsim.log 2>&1 &
runner_devsim_pid=$!
wait_for 20 grep -q ready /tmp/devsim.log
echo "== tarnet-update.exe --list"
wine /tmp/win/tarnet-update.exe --list | tee /tmp/list.txt
echo "(exit ${PIPESTATUS[0]}, $(elapsed))"
grep -q "Guest Device - Guest Device" /tmp/list.txt || fail "the terminal runner does not list \"Guest Device - Guest Device\""
echo "== tarnet-update.exe --device \"Guest Device - Guest Device\" --measure"
wine /tmp/win/tarnet-update.exe --device "Guest Device - Guest Device" --measure --linger 0
echo "(exit $?, $(elapsed))"
wait_for 10 grep -q "devsim: PASS\|devsim: FAIL" /tmp/devsim.log
kill "$runner_devsim_pid" 2>/dev/null
echo "== simulator"
cat /tmp/devsim.log
grep -q "devsim: PASS" /tmp/devsim.log || fail "the update of the terminal runner did not pass"

# --- 2. The window -----------------------------------------------------------------------------
echo "== tarnet-updater.exe, the window, on a virtual X display"
export DISPLAY=:5
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
wait_for 30 xdpyinfo >/dev/null 2>&1 || { cat /tmp/xvfb.log; fail "Xvfb did not start"; }
# The simulator under its default name, the one the window selects on its own.
# shellcheck disable=SC2086
"$devsim" --timeout 900 ${TARNET_DEVSIM_ARGS:-} >/tmp/devsim-window.log 2>&1 &
devsim_pid=$!
wait_for 20 grep -q ready /tmp/devsim-window.log
cat /tmp/devsim-window.log
# What the window shows, as text: Wine's trace of its list boxes (the device lists) and of its
# edit controls (the status line).
window_start=$(now)
WINEDEBUG=-all,+listbox,+edit,+msgbox wine /tmp/win/tarnet-updater.exe >/tmp/updater.log 2>&1 &
updater_pid=$!
title="Tarnet System Ver 1.10 Updater"
window=
find_window() { window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1); [ -n "$window" ]; }
updater_gone() { ! kill -0 "$updater_pid" 2>/dev/null; }
if wait_for 300 find_window; then
  echo "window \"$title\" open after $(since "$window_start") s"
else
  fail "no window \"$title\" after 300 s"
fi


if [ -n "$window" ]; then
  sleep 2
  # Wine's trace of the list boxes: each box as it is made (the template's order: MIDI IN, then
  # MIDI OUT), each entry added to a box, and the selection set in the box filled last.
  sed -n -e 's/.*creating hwnd \([0-9A-Fa-f]*\).*/box \1/p' \
         -e 's/.*\[\([0-9A-Fa-f]*\)\]: added item \([0-9]*\) L\(".*"\)$/item \1 \2 \3/p' \
         -e 's/.*LISTBOX_SetSelection .* index=\(-\{0,1\}[0-9]*\) .*/sel \1/p' /tmp/updater.log |
    awk '$1 == "box" { box[++boxes] = $2 }
         $1 == "item" { text = $0; sub(/^item [^ ]* [^ ]* /, "", text)
                        if ($3 == 0) list[$2] = ""
                        list[$2] = list[$2] ($3 == 0 ? "" : ", ") text; entry[$2, $3] = text; last = $2 }
         $1 == "sel" { selected[last] = $2 }
         END { for (i = 1; i <= 2; i++) {
                 h = box[i]
                 printf "%s list: %s; selected: %s\n", (i == 1 ? "MIDI IN" : "MIDI OUT"),
                        (list[h] == "" ? "(empty)" : list[h]), ((h, selected[h]) in entry ? entry[h, selected[h]] : "(none)") } }' |
    tee /tmp/lists.txt
  for label in "MIDI IN" "MIDI OUT"; do
    grep -q "^$label list: .*; selected: \"USB Audio Device\"$" /tmp/lists.txt \
      || fail "the $label list does not show \"USB Audio Device\" selected"
  done
  picture window-before.png

  # "Execute", as a user clicks it. A click before the window takes input is lost; clicking again
  # is harmless, "Execute" is disabled while a run is under way.
  click_start=$(now)
  started=no
  for _ in $(seq 1 10); do
    click_at 144 146
    if wait_for 10 grep -q "Identity Request answered" /tmp/devsim-window.log; then started=yes; break; fi
    updater_gone && break
  done
  if [ $started = yes ]; then
    echo "\"Execute\" clicked: the device answered the Identity Request $(since "$click_start") s later"
    # The simulator's verdict, or a message box of the window (an update that ended in an error).
    verdict() { grep -q "devsim: PASS\|devsim: FAIL" /tmp/devsim-window.log || grep -aq MSGBOX_OnInit /tmp/updater.log || updater_gone; }
    wait_for 600 verdict
    sed -n 's/.*MSGBOX_OnInit \(L".*"\)$/message box: \1/p' /tmp/updater.log
    # A message box is closed with its OK (the Return key), as a user would.
    if grep -aq MSGBOX_OnInit /tmp/updater.log; then
      sleep 1
      box=$(xdotool search --name "^Error\$" 2>/dev/null | head -n 1)
      [ -n "$box" ] && xdotool windowfocus --sync "$box" 2>/dev/null && xdotool key --window "$box" Return
    fi
    grep "devsim: PASS\|devsim: FAIL" /tmp/devsim-window.log || fail "no verdict from the simulator"
    echo "(update through the window: $(since "$click_start") s after the click)"
    grep -q "devsim: PASS" /tmp/devsim-window.log || fail "the update through the window did not pass"
  else
    fail "clicking \"Execute\" did not start an update"
  fi
  sleep 3
  # Each text written into the status line (the window's only edit control), in order, against
  # what a run without refusals writes: erasing, empty once the erase is answered, the offset of
  # each of the 36 blocks as it is sent, completed.
  sed -n 's/.*EDIT_WM_SetText \(L".*"\)$/\1/p' /tmp/updater.log >/tmp/status.txt
  { echo 'L"Erasing Flash memory."'; echo 'L""'
    for block in $(seq 0 35); do echo "L\"Data transmit  $(( block * 9216 )) / 327680 \""; done
    echo 'L"Version update completed."'; } >/tmp/status-expected.txt
  if cmp -s /tmp/status.txt /tmp/status-expected.txt; then
    echo 'status line: L"Erasing Flash memory." > L"" > L"Data transmit  0 / 327680 " > ... >' \
         'L"Data transmit  322560 / 327680 " (36 blocks) > L"Version update completed."'
  else
    paste -sd '>' /tmp/status.txt | sed 's/>/ > /g; s/^/status line: /'
    fail "the status line did not go through erasing, the 36 blocks and \"Version update completed.\""
  fi
  echo "windows of the program:"
  xwininfo -root -tree | grep '"tarnet-updater.exe"' | grep -v "has no name\|Default IME" | sed 's/^ */  /'
  picture window-after.png

  # "Exit", as a user clicks it: the window closes and the process ends.
  if updater_gone; then
    fail "the program ended before \"Exit\" was clicked"
  else
    click_time=$(now)
    for _ in $(seq 1 5); do
      click_at 207 146
      wait_for 10 updater_gone && break
    done
    if updater_gone; then
      wait "$updater_pid"; status=$?
      note=""
      [ $status = 139 ] && note=" (Wine's own crash on exit after its ALSA driver was used)"
      echo "\"Exit\" clicked: the window closed and the process ended $(since "$click_time") s later, exit status $status$note"
      # What Wine said besides its traces (a crash shows here).
      [ $status = 0 ] || grep -av "trace:" /tmp/updater.log | grep -v "^ALSA lib" | tail -n 5 | sed 's/^/  wine: /'
      [ $status = 0 ] || [ $status = 139 ] || fail "the window's process ended with exit status $status"
      find_window && fail "the window is still shown after its process ended"
    else
      fail "the process did not end within 50 s of clicking \"Exit\""
    fi
  fi
fi
kill "$devsim_pid" 2>/dev/null
echo "== simulator"
cat /tmp/devsim-window.log
echo "(all done $(elapsed))"
wineserver -k 2>/dev/null

if [ ${#failures[@]} -eq 0 ]; then
  echo "wine-alsa-vm: PASS: the terminal runner and the window each updated the simulated device on the ALSA sequencer under Wine"
  exit 0
fi
echo "wine-alsa-vm: FAIL: ${failures[*]}"
exit 1
