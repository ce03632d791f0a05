#!/usr/bin/env bash
# usage: scripts/usb-rig.sh up N [--out-only K]... | list | unplug K | replug K | down
#
# Real USB MIDI devices inside the guest of scripts/alsa-vm.sh (run as root there): N USB gadgets,
# each a class-compliant USB MIDI device with the product name "USB Audio Device" (one MIDI IN and
# one MIDI OUT jack, its own serial number "TARNET-000K" and card id "tngadgetK"), each plugged
# into a controller of its own of the kernel's software USB host and device pair (dummy_hcd; device
# K on dummy_udc.(K-1), whose host side is bus K). The kernel's USB audio driver takes each as it
# would take a device at the end of a USB cable: a sound card "USB Audio Device" with a raw MIDI
# device and the sequencer client "USB Audio Device" (port "USB Audio Device MIDI 1"). The other
# side of each gadget is a raw MIDI card of its own (f_midi) on which `tarnet-devsim --rawmidi`
# plays the device.
#
#   up N       loads the modules (dummy_hcd with N controllers, libcomposite, usb_f_midi,
#              snd-usb-audio, snd-seq-midi), mounts configfs, makes the N gadgets and plugs them in
#              one after the other, each once the host has made the card of the one before: the
#              host numbers them (cards, sequencer clients) in the order 1..N. Prints the table of
#              `list` and the time it took. Refused while gadgets exist (run `down` first).
#              --out-only K: device K has no MIDI OUT jack of its own, so the host sees a card
#              that it can only write to (a MIDI OUT device and no MIDI IN); the gadget side can
#              only read.
#   list       one line per gadget:
#                device K gadget /dev/snd/midiCgD0 host /dev/snd/midiChD0 card H serial S bus B path P
#              (gadget: the raw MIDI device that plays device K; host: the USB card's raw MIDI
#              device and its card number; bus and path: where the host found it, e.g. "usb3"
#              and "3-1"); "host -" while it is unplugged.
#   unplug K   unbinds gadget K from its controller (as pulling its cable): its host card, raw
#              MIDI device and sequencer client go; returns once they have gone. Prints when the
#              unbind started (the host sees the device go during it) and when the card had gone:
#              "usb-rig: device K unplugged at MS", "... gone from the host at MS" (milliseconds
#              since 1970).
#   replug K   binds it again; returns once the host has made its card again, and prints its line.
#   down       unplugs and removes every gadget.
#
# Limits: the kernel has room for 32 sound cards and each device takes two (its gadget's and the
# host's), beside the guest's snd-virmidi card: up to 15 devices (`up` says so beyond that).
# Exit status 0, or 1 with a line "usb-rig: ..." on standard error.
set -uo pipefail

die() { echo "usb-rig: $*" >&2; exit 1; }
CONFIG=/sys/kernel/config
GADGETS=$CONFIG/usb_gadget
PREFIX=tarnet
MAX_CARDS=32

. "$(cd "$(dirname "$0")" && pwd)/vm-common.sh"

gadget_dir() { echo "$GADGETS/$PREFIX$1"; }
udc_of() { echo "dummy_udc.$(( $1 - 1 ))"; }

# The sound card whose device lies below platform device $1 (dummy_udc.N or dummy_hcd.N), or
# nothing.
card_below() {
  local c path
  for c in /sys/class/sound/card*; do
    [ -e "$c" ] || continue
    path=$(readlink -f "$c")
    case "$path" in */"$1"/*) echo "${c##*card}"; return 0 ;; esac
  done
  return 1
}
gadget_card() { card_below "$(udc_of "$1")"; }
host_card() { card_below "dummy_hcd.$(( $1 - 1 ))"; }
host_card_present() { [ -n "$(host_card "$1")" ] && [ -c "/dev/snd/midiC$(host_card "$1")D0" ]; }
host_card_absent() { [ -z "$(host_card "$1")" ]; }

count_gadgets() {
  local n=0 g
  for g in "$GADGETS/$PREFIX"*; do [ -d "$g" ] && n=$((n + 1)); done
  echo $n
}

line() {
  local k=$1 g h path bus port serial
  g=$(gadget_card "$k")
  h=$(host_card "$k")
  serial=$(cat "$(gadget_dir "$k")/strings/0x409/serialnumber" 2>/dev/null)
  if [ -n "$h" ]; then
    path=$(readlink -f "/sys/class/sound/card$h")
    port=$(echo "$path" | sed -n 's|.*/usb[0-9]*/\([0-9][-0-9.]*\)/.*|\1|p')
    bus=$(echo "$path" | sed -n 's|.*/\(usb[0-9]*\)/.*|\1|p')
    echo "device $k gadget /dev/snd/midiC${g:-?}D0 host /dev/snd/midiC${h}D0 card $h serial $serial bus $bus path $port"
  else
    echo "device $k gadget /dev/snd/midiC${g:-?}D0 host - card - serial $serial bus - path -"
  fi
}

list() {
  local k
  for k in $(seq 1 "$(count_gadgets)"); do line "$k"; done
}

plug() {
  local k=$1
  echo "$(udc_of "$k")" >"$(gadget_dir "$k")/UDC" || die "can't bind gadget $k to $(udc_of "$k")"
  wait_for 60 host_card_present "$k" || die "the host made no card for device $k within 60 s"
}

unplug() {
  local k=$1
  [ -d "$(gadget_dir "$k")" ] || die "no device $k"
  local t
  t=$(now_ms)
  echo "" >"$(gadget_dir "$k")/UDC" || die "can't unbind gadget $k"
  echo "usb-rig: device $k unplugged at $t"
  wait_for 30 host_card_absent "$k" || die "the host card of device $k is still there after 30 s"
  echo "usb-rig: device $k gone from the host at $(now_ms)"
}

make_gadget() {
  local k=$1 d
  d=$(gadget_dir "$k")
  mkdir -p "$d" || die "can't make gadget $k in configfs"
  echo 0x1d6b >"$d/idVendor"     # Linux Foundation
  echo 0x0104 >"$d/idProduct"    # multifunction composite gadget
  echo 0x0100 >"$d/bcdDevice"
  echo 0x0200 >"$d/bcdUSB"
  mkdir -p "$d/strings/0x409"
  echo "Tarnet" >"$d/strings/0x409/manufacturer"
  echo "USB Audio Device" >"$d/strings/0x409/product"
  printf 'TARNET-%04d\n' "$k" >"$d/strings/0x409/serialnumber"
  mkdir -p "$d/configs/c.1/strings/0x409"
  echo "MIDI" >"$d/configs/c.1/strings/0x409/configuration"
  echo 100 >"$d/configs/c.1/MaxPower"
  mkdir -p "$d/functions/midi.usb0" || die "the MIDI function (usb_f_midi) is missing"
  echo "tngadget$k" >"$d/functions/midi.usb0/id"
  # The function counts its ports as the host sees them: in_ports are the host's MIDI IN.
  if [[ " ${OUT_ONLY[*]} " == *" $k "* ]]; then
    echo 0 >"$d/functions/midi.usb0/in_ports"
  else
    echo 1 >"$d/functions/midi.usb0/in_ports"
  fi
  echo 1 >"$d/functions/midi.usb0/out_ports"
  ln -s "$d/functions/midi.usb0" "$d/configs/c.1/" || die "can't put the MIDI function into gadget $k"
}

remove_gadget() {
  local d
  d=$(gadget_dir "$1")
  [ -d "$d" ] || return 0
  [ -n "$(cat "$d/UDC" 2>/dev/null)" ] && unplug "$1"
  rm -f "$d/configs/c.1/midi.usb0"
  rmdir "$d/configs/c.1/strings/0x409" "$d/configs/c.1" "$d/functions/midi.usb0" "$d/strings/0x409" "$d" 2>/dev/null
  [ ! -d "$d" ] || die "can't remove gadget $1"
}

up() {
  local n=$1 t0 cards
  [ "$n" -ge 1 ] 2>/dev/null || die "up needs a number of devices"
  t0=$(now_ms)
  modprobe -a configfs libcomposite usb_f_midi snd-usb-audio snd-seq-midi || die "the USB modules did not load"
  mountpoint -q "$CONFIG" || mount -t configfs none "$CONFIG" || die "can't mount configfs"
  [ "$(count_gadgets)" -eq 0 ] || die "gadgets exist already (usb-rig.sh down first)"
  cards=$(grep -c '^ *[0-9]* \[' /proc/asound/cards 2>/dev/null || echo 0)
  [ $((cards + 2 * n)) -le $MAX_CARDS ] ||
    die "$n devices need $((2 * n)) sound cards; the kernel has room for $MAX_CARDS and $cards are taken: at most $(( (MAX_CARDS - cards) / 2 ))"
  # The number of controllers is fixed when dummy_hcd loads.
  if [ -e /sys/module/dummy_hcd ] && [ "$(cat /sys/module/dummy_hcd/parameters/num 2>/dev/null || echo 0)" -lt "$n" ]; then
    rmmod dummy_hcd || die "dummy_hcd is loaded with too few controllers and can't be unloaded"
  fi
  [ -e /sys/module/dummy_hcd ] || modprobe dummy_hcd num="$n" || die "dummy_hcd did not load"
  wait_for 30 test -e "/sys/class/udc/$(udc_of "$n")" || die "controller $(udc_of "$n") did not appear"
  for k in $(seq 1 "$n"); do make_gadget "$k"; done
  local t1 t2
  t1=$(now_ms)
  for k in $(seq 1 "$n"); do
    t2=$(now_ms)
    plug "$k"
    [ -n "${TARNET_USB_RIG_TRACE:-}" ] && echo "usb-rig: device $k plugged in $(( $(now_ms) - t2 )) ms"
  done
  [ -n "${TARNET_USB_RIG_TRACE:-}" ] && echo "usb-rig: modules and gadgets $(( t1 - t0 )) ms"
  list
  echo "usb-rig: $n devices up in $(( $(now_ms) - t0 )) ms"
}

down() {
  local k
  mountpoint -q "$CONFIG" || return 0
  for k in $(seq "$(count_gadgets)" -1 1); do remove_gadget "$k"; done
}

OUT_ONLY=()
case "${1:-}" in
  up)
    n=${2:-}
    shift 2 2>/dev/null || shift $#
    while [ $# -gt 0 ]; do
      case $1 in
        --out-only) [ "${2:-0}" -ge 1 ] 2>/dev/null || die "--out-only needs a device number"; OUT_ONLY+=("$2"); shift 2 ;;
        *) die "unknown option $1" ;;
      esac
    done
    up "$n" ;;
  list) list ;;
  unplug)
    [ -n "${2:-}" ] || die "unplug needs a device number"
    unplug "$2" ;;
  replug)
    [ -d "$(gadget_dir "${2:-0}")" ] || die "no device ${2:-}"
    plug "$2" && line "$2" ;;
  down) down ;;
  *) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
