# Sourced by the end-to-end tests of a device that vanishes during a run (e2e_device_gone.sh,
# e2e_usb.sh unplug).
# gone_verdict LOG ERROR PHASE STATUS MS LIMIT_MS NAME: "ok" when the runner's output LOG shows a
# vanished device's ending of PHASE: the error text ERROR, "device disconnected", a closing line
# that names PHASE, exit status 1 (STATUS), the error within LIMIT_MS (MS after the device went),
# and a rescan that no longer lists the device NAME; otherwise what was wrong first.
gone_verdict() {
  local log=$1 error=$2 phase=$3 status=$4 ms=$5 limit_ms=$6 name=$7
  if ! grep -q "^Error: $error\$" "$log"; then echo "no \"$error\""
  elif ! grep -q '^tarnet-update: device disconnected$' "$log"; then echo 'no "device disconnected"'
  elif ! grep -q "^tarnet-update: update FAILED (device disconnected; reached $phase)\$" "$log"; then echo "closing line does not name the $phase"
  elif [ "$status" -ne 1 ]; then echo "exit status $status"
  elif [ "$ms" -ge "$limit_ms" ]; then echo "the error came after $ms ms"
  elif sed -n '/^rescan:/,$p' "$log" | grep -q ": $name\$"; then echo "the rescan still lists the device"
  else echo ok
  fi
}
