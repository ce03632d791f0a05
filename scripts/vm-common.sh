# Sourced by the scripts that run in the guest of scripts/alsa-vm.sh (usb-rig.sh, window-usb-vm.sh,
# wine-usb-vm.sh, wine-alsa-vm.sh): their clock, their bounded waits and their clicks on a dialog.

now_ms() { date +%s%3N; }

# wait_for SECONDS COMMAND...: polls every 20 ms until COMMAND succeeds; 1 once SECONDS passed.
wait_for() {
  local limit=$(( $(now_ms) + $1 * 1000 )); shift
  until "$@"; do
    [ "$(now_ms)" -lt "$limit" ] || return 1
    sleep 0.02
  done
}

# click_at X Y: clicks at dialog units (X, Y) of the 239 x 161 main dialog (its template in
# app/resources/dialogs.json) in the X window $window. Under Wine that window is the dialog's
# client area (there is no window manager to frame it).
click_at() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool windowfocus --sync "$window" 2>/dev/null
  xdotool mousemove --sync $(( X + WIDTH * $1 / 239 )) $(( Y + HEIGHT * $2 / 161 )) click 1
}
