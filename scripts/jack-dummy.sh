#!/usr/bin/env bash
# Starts or stops a JACK server with the dummy backend (no sound hardware needed), for the tests
# and the run command. "start" exits 0 when it started a server and 10 when one of that name was
# already answering (it then does nothing); callers run "stop" only when they started one. "stop"
# stops the server that "start" recorded.
# The server name is $JACK_DEFAULT_SERVER ("default" when unset), so a test run can keep to a
# server of its own; the period is $TARNET_JACK_PERIOD frames (1024 when unset).
set -uo pipefail
server="${JACK_DEFAULT_SERVER:-default}"
state_dir="${TARNET_JACK_STATE:-/tmp/tarnet-jack}/$server"
mkdir -p "$state_dir"

running() { [ "$(jack_wait -c 2>/dev/null)" = "running" ]; }

case "${1:-}" in
  start)
    if running; then echo "jack-dummy: JACK server \"$server\" is already running"; exit 10; fi
    export JACK_NO_AUDIO_RESERVATION=1
    # A period of 1024 frames (21 ms) keeps the dummy server clear of xruns on a busy machine
    # without a realtime scheduler; each closed output waits about one period to flush.
    nohup jackd -n "$server" --no-realtime -d dummy -r 48000 -p "${TARNET_JACK_PERIOD:-1024}" >"$state_dir/jackd.log" 2>&1 &
    echo $! >"$state_dir/jackd.pid"
    for _ in $(seq 1 100); do
      if running; then echo "jack-dummy: started server \"$server\" (pid $(cat "$state_dir/jackd.pid"))"; exit 0; fi
      sleep 0.1
    done
    echo "jack-dummy: jackd did not come up; its log:" >&2
    cat "$state_dir/jackd.log" >&2
    exit 1
    ;;
  stop)
    if [ -f "$state_dir/jackd.pid" ]; then
      pid=$(cat "$state_dir/jackd.pid")
      kill "$pid" 2>/dev/null
      # A server killed with -9 keeps its entry in JACK's registry of servers (8 on the machine):
      # it gets time to end in order, also with many clients on a busy machine.
      for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null
      rm -f "$state_dir/jackd.pid"
      echo "jack-dummy: stopped"
    fi
    ;;
  *)
    echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
