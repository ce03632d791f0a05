# Sourced by the end-to-end tests that run on JACK or on the kernel's ALSA sequencer.
# require_midi_system jack|alsa USAGE: returns when that MIDI system is there; otherwise exits 77
# (skipped), or 1 where TARNET_REQUIRE_JACK=1 or TARNET_REQUIRE_ALSA=1 demands it; exits 2 with
# USAGE for any other name.
require_midi_system() {
  case $1 in
    jack)
      if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
        if [ "${TARNET_REQUIRE_JACK:-0}" = 1 ]; then echo "no JACK server answers"; exit 1; fi
        echo "no JACK server: skipped"; exit 77
      fi
      ;;
    alsa)
      if [ ! -c /dev/snd/seq ]; then
        if [ "${TARNET_REQUIRE_ALSA:-0}" = 1 ]; then echo "no ALSA sequencer (/dev/snd/seq)"; exit 1; fi
        echo "no /dev/snd/seq on this machine (run through scripts/alsa-vm.sh): skipped"; exit 77
      fi
      ;;
    *) echo "$2"; exit 2 ;;
  esac
}
