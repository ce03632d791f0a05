#!/usr/bin/env bash
# Starts or stops a JACK server with the dummy backend (no sound hardware needed), for the tests
# and the run command. "start" exits 0 when it started a server and 10 when one of that name was
# already answering (it then does nothing); callers run "stop" only when they started one. "stop"
# stops the server that "start" recorded.
# The server name is $JACK_DEFAULT_SERVER ("default" when unset), so a test run can keep to a
# server of its own; the period is $TARNET_JACK_PERIOD frames (1024 when unset).
# The server runs realtime where the machine allows it (as root it does), as a JACK server set up for
# music runs (jackd's own default): its process threads and those of its clients then run before
# ordinary work, so other builds on the machine do not make them late. When the machine refuses
# realtime scheduling, or jackd could not take it up, the server runs without it and "start" says
# so. TARNET_JACK_REALTIME=0: not realtime, the harder case.
# TARNET_JACK_SYNC=1 runs it synchronous (jackd -S): a cycle ends only once every client has
# finished it (or the client time-out passed), instead of the next cycle starting under a late one.
set -uo pipefail
server="${JACK_DEFAULT_SERVER:-default}"
state_dir="${TARNET_JACK_STATE:-/tmp/tarnet-jack}/$server"
mkdir -p "$state_dir"

running() { [ "$(jack_wait -c 2>/dev/null)" = "running" ]; }

# Starts jackd in mode $1 (--realtime or --no-realtime) and waits until it answers; 1 when it did
# not come up.
launch() {
  echo "$1${sync[*]:+ sync}" >"$state_dir/mode"
  nohup jackd -n "$server" "$1" "${sync[@]}" -d dummy -r 48000 -p "${TARNET_JACK_PERIOD:-1024}" >"$state_dir/jackd.log" 2>&1 &
  echo $! >"$state_dir/jackd.pid"
  for _ in $(seq 1 100); do
    running && return 0
    sleep 0.1
  done
  return 1
}

# True when a thread of process $1 runs with a realtime scheduling class (FIFO or round robin).
realtime_threads() { ps -L -o cls= -p "$1" 2>/dev/null | grep -qE 'FF|RR'; }

# Stops the server that launch recorded.
stop_recorded() {
  [ -f "$state_dir/jackd.pid" ] || return 0
  pid=$(cat "$state_dir/jackd.pid")
  kill "$pid" 2>/dev/null
  # A server killed with -9 keeps its entry in JACK's registry of servers (8 on the machine):
  # it gets time to end in order, also with many clients on a busy machine.
  for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$state_dir/jackd.pid"
}

case "${1:-}" in
  start)
    if running; then echo "jack-dummy: JACK server \"$server\" is already running"; exit 10; fi
    # With no JACK server on the machine, every entry in JACK's registry of servers (room for 8
    # names) is stale: left by servers that were killed, by a run cut short for instance. Such an
    # entry stays until a server of the same name starts again, and once 8 are stale no server
    # starts at all ("Too many servers already active"). Nothing can use them, so they go.
    if ! pgrep -x jackd >/dev/null && ! pgrep -x jackdbus >/dev/null; then
      find /dev/shm -maxdepth 1 -user "$(id -u)" \( -name jack-shm-registry -o -name 'jack_*' -o -name 'jack-*' \) \
        -delete 2>/dev/null
    fi
    export JACK_NO_AUDIO_RESERVATION=1
    # Without realtime scheduling, a client that has not finished its cycle when the next one is
    # due has that cycle started again under it ("Process error" in the server's log): a MIDI event
    # written in the unfinished cycle can be cleared before its reader has read it. A period of
    # 1024 frames (21 ms) keeps such a server mostly clear of it on a busy machine; each closed
    # output waits about one period to flush.
    mode=--realtime
    if [ "${TARNET_JACK_REALTIME:-1}" = 0 ]; then
      mode=--no-realtime
    elif ! chrt -f 10 true 2>/dev/null; then
      echo "jack-dummy: realtime scheduling refused here; running without it"
      mode=--no-realtime
    fi
    sync=()
    [ "${TARNET_JACK_SYNC:-0}" = 1 ] && sync=(-S)
    started=0
    launch "$mode" && started=1
    # jackd goes on without realtime scheduling when it cannot take it up (a container that
    # grants no realtime time, for instance), or does not come up: the server then runs as one
    # started without it.
    if [ "$mode" = --realtime ] && { [ "$started" = 0 ] || ! realtime_threads "$(cat "$state_dir/jackd.pid")"; }; then
      echo "jack-dummy: jackd could not use realtime scheduling here; running without it"
      stop_recorded
      mode=--no-realtime
      started=0
      launch "$mode" && started=1
    fi
    if [ "$started" = 1 ]; then
      echo "jack-dummy: started server \"$server\" (pid $(cat "$state_dir/jackd.pid"), $mode)"
      exit 0
    fi
    echo "jack-dummy: jackd did not come up; its log:" >&2
    cat "$state_dir/jackd.log" >&2
    exit 1
    ;;
  stop)
    if [ -f "$state_dir/jackd.pid" ]; then
      stop_recorded
      echo "jack-dummy: stopped"
    fi
    ;;
  *)
    echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
