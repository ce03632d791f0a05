#!/usr/bin/env bash
# Soak measurement (not part of the test command): campaigns that must all end at zero faults.
#   loopback-asan, loopback-tsan  update runs on the loopback devices, each closed at a random
#                                 moment (tarnet-soak-runs), under the ASan+UBSan and TSan builds
#   jack-kills                    JACK server and device kills at random moments of a run
#                                 (scripts/jack-kill-campaign.sh, when the tree has it)
#   parallel-jack                 copies of tarnet-update, each against its own tarnet-devsim, side
#                                 by side on one JACK server, for a number of rounds; the server
#                                 runs realtime as JACK is set up for music (SOAK_JACK_REALTIME=0:
#                                 without it, where a busy machine makes clients late and the
#                                 server clears MIDI events before they are read)
#   fuzz                          every libFuzzer target (scripts/fuzz.sh) for a number of runs each
# Prints per campaign: runs, crashes, hangs, sanitizer reports, wrong endings (for the fuzz
# targets a finding, a broken property included, counts as a crash, a slow input as a hang); exits
# 1 when any of them is not 0 (2 when something could not be built). A campaign whose script is
# not in the tree is reported "not available".
#
# Full sizes by default; smaller ones through the environment (0 leaves a campaign out):
#   SOAK_LOOPBACK_RUNS=10000  SOAK_JACK_KILLS=100  SOAK_PARALLEL_COPIES=20  SOAK_PARALLEL_ROUNDS=10
#   SOAK_FUZZ_RUNS=10000000   SOAK_SEED (loopback close moments; random when unset)
# Logs go to build/soak/.
set -uo pipefail
cd "$(dirname "$0")/.."

loop_runs=${SOAK_LOOPBACK_RUNS:-10000}
kills=${SOAK_JACK_KILLS:-100}
copies=${SOAK_PARALLEL_COPIES:-20}
rounds=${SOAK_PARALLEL_ROUNDS:-10}
fuzz_runs=${SOAK_FUZZ_RUNS:-10000000}
seed=${SOAK_SEED:-$RANDOM$RANDOM}
logs=build/soak
mkdir -p "$logs"
jobs=$(nproc)

build() {  # preset, targets...
  local preset=$1; shift
  cmake --preset "$preset" >/dev/null && nice -n 10 cmake --build --preset "$preset" -j "$jobs" --target "$@" >"$logs/build-$preset.log" 2>&1 \
    || { echo "soak: building $* ($preset) failed; see $logs/build-$preset.log"; exit 2; }
}

# Sanitizer reports in a log: ASan/LSan/TSan report headers and UBSan's runtime errors.
sanitizer_reports() {
  grep -cE '^(==[0-9]+==ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|.*runtime error:)' "$1"
}

names=() results=()
record() {  # name runs crashes hangs sanitizer wrong [note]
  names+=("$1"); results+=("$2 $3 $4 $5 $6")
  printf '%-15s runs %7s  crashes %s  hangs %s  sanitizer reports %s  wrong endings %s %s\n' "$1" "$2" "$3" "$4" "$5" "$6" "${7:-}"
}
missing=()
not_available() {
  missing+=("$1")
  printf '%-15s not available: %s\n' "$1" "$2"
}

# ---- Loopback runs closed at random moments, under ASan and under TSan -------------------------
loopback() {  # preset
  local preset=$1 name="loopback-$1" log="$logs/loopback-$1.log"
  build "$preset" tarnet-soak-runs
  echo "--- $name: $loop_runs runs (seed $seed)"
  local start=$SECONDS
  # A bound for the whole campaign well above its length, so a hang that the driver's own
  # deadline misses still ends it.
  ASAN_OPTIONS="detect_leaks=1 abort_on_error=1" \
  TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=0 second_deadlock_stack=1" \
    timeout -k 10 $((600 + loop_runs * 3)) "build/$preset/tests/tarnet-soak-runs" "$loop_runs" "$seed" >"$log" 2>&1
  local rc=$?
  local line runs=0 hangs=0 wrong=0 crashes=0
  line=$(grep -E '^soak-runs: runs [0-9]+ ' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    read -r runs hangs wrong <<<"$(awk '{print $3, $9, $11}' <<<"$line")"
  else
    runs=$(grep -cE '^soak-runs: run [0-9]+ ' "$log")
  fi
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then hangs=$((hangs + 1))
  elif [ $rc -ge 128 ] || { [ -z "$line" ] && [ $rc -ne 0 ]; }; then crashes=1; fi
  record "$name" "$runs" "$crashes" "$hangs" "$(sanitizer_reports "$log")" "$wrong" "($((SECONDS - start)) s)"
}

if [ "$loop_runs" -gt 0 ]; then
  loopback asan
  loopback tsan
fi

# ---- JACK kills -------------------------------------------------------------------------------
if [ "$kills" -gt 0 ]; then
  if [ -x scripts/jack-kill-campaign.sh ]; then
    build default tarnet-update tarnet-devsim
    echo "--- jack-kills: scripts/jack-kill-campaign.sh $kills"
    start=$SECONDS
    TARNET_BIN=build/default/tools scripts/jack-kill-campaign.sh "$kills" >"$logs/jack-kills.log" 2>&1
    rc=$?
    line=$(grep -E '^runs [0-9]+ crashes [0-9]+ hangs [0-9]+ wrong-endings [0-9]+' "$logs/jack-kills.log" | tail -n 1)
    if [ -n "$line" ]; then
      read -r runs crashes hangs wrong <<<"$(awk '{print $2, $4, $6, $8}' <<<"$line")"
      record jack-kills "$runs" "$crashes" "$hangs" 0 "$wrong" "($((SECONDS - start)) s)"
    else
      record jack-kills 0 0 0 0 1 "(no counts from the campaign, exit $rc; see $logs/jack-kills.log)"
    fi
  else
    not_available jack-kills "scripts/jack-kill-campaign.sh is not in this tree"
  fi
fi

# ---- Copies side by side over JACK ------------------------------------------------------------
parallel_jack() {
  build default tarnet-update tarnet-devsim
  local bin=build/default/tools work
  work=$(mktemp -d)
  export XDG_STATE_HOME="$work/state"  # these runs stay out of the user's history of updates
  export JACK_DEFAULT_SERVER="tarnet-soak-$$"
  export TARNET_JACK_STATE="$work/jack"
  TARNET_JACK_REALTIME=${SOAK_JACK_REALTIME:-1} scripts/jack-dummy.sh start >"$work/jack-start.log" 2>&1
  case $? in
    0) ;;
    *) not_available parallel-jack "no JACK server of its own came up"; rm -rf "$work"; return ;;
  esac
  echo "--- parallel-jack: $copies copies x $rounds rounds on JACK server $JACK_DEFAULT_SERVER"
  local start=$SECONDS runs=0 crashes=0 hangs=0 wrong=0
  for round in $(seq 1 "$rounds"); do
    local sims=() upds=() k
    for k in $(seq 1 "$copies"); do
      timeout -k 5 900 "$bin/tarnet-devsim" --name "Soak Device $k" --timeout 840 --quiet \
        >"$work/sim-$round-$k.log" 2>&1 &
      sims+=($!)
    done
    for k in $(seq 1 "$copies"); do
      for _ in $(seq 1 200); do grep -q ready "$work/sim-$round-$k.log" && break; sleep 0.1; done
    done
    # A copy gets 240 s for its update; the bound of 900 s for the process is for its start-up
    # too, which on a crowded server is slow (each device listing opens a JACK client). Only a
    # copy past that bound counts as a hang.
    for k in $(seq 1 "$copies"); do
      timeout -k 5 900 "$bin/tarnet-update" --device "Soak Device $k" --quiet --timeout 240 --linger 0 \
        >"$work/upd-$round-$k.log" 2>&1 &
      upds+=($!)
    done
    for k in $(seq 1 "$copies"); do
      local urc src sim=${sims[$((k - 1))]} held=0
      wait "${upds[$((k - 1))]}"; urc=$?
      # The device ends by itself once the update is through; one that still waits for a
      # message that never came is ended here (its update is a wrong ending anyway).
      for _ in $(seq 1 150); do kill -0 "$sim" 2>/dev/null || break; sleep 0.1; done
      if kill -0 "$sim" 2>/dev/null; then held=1; kill "$sim" 2>/dev/null; fi
      wait "$sim"; src=$?
      runs=$((runs + 1))
      local verdict=""
      # The updater's status decides crash and hang (124/137: ended by its time bound); the
      # device's adds a wrong ending (its verdict), or a crash of its own (abort, FPE, SEGV).
      if [ $urc -eq 124 ] || [ $urc -eq 137 ]; then
        hangs=$((hangs + 1)); verdict=hang
      elif [ $urc -ge 128 ] || [ $src -eq 134 ] || [ $src -eq 136 ] || [ $src -eq 139 ]; then
        crashes=$((crashes + 1)); verdict=crash
      elif [ $urc -ne 0 ] || [ $src -ne 0 ]; then
        wrong=$((wrong + 1)); verdict="wrong ending"
      fi
      if [ -n "$verdict" ]; then
        { echo "== round $round copy $k: $verdict: tarnet-update $urc, tarnet-devsim $src$([ $held -eq 1 ] && echo ' (ended by the soak)')"
          cat "$work/upd-$round-$k.log" "$work/sim-$round-$k.log"; } >>"$logs/parallel-jack.log"
      fi
    done
  done
  local mode restarts
  mode=$(cat "$TARNET_JACK_STATE/$JACK_DEFAULT_SERVER/mode" 2>/dev/null)
  scripts/jack-dummy.sh stop >/dev/null 2>&1
  cp "$TARNET_JACK_STATE/$JACK_DEFAULT_SERVER/jackd.log" "$logs/parallel-jackd.log" 2>/dev/null
  restarts=$(grep -c 'Process error' "$logs/parallel-jackd.log" 2>/dev/null)
  rm -f /dev/shm/jack_"$JACK_DEFAULT_SERVER"_* /dev/shm/jack_sem.*_"$JACK_DEFAULT_SERVER"_* 2>/dev/null
  rm -rf "$work"
  unset JACK_DEFAULT_SERVER TARNET_JACK_STATE
  record parallel-jack "$runs" "$crashes" "$hangs" 0 "$wrong" \
    "($((SECONDS - start)) s; server ${mode#--}, cycles started again under late clients: ${restarts:-0})"
}

if [ "$copies" -gt 0 ] && [ "$rounds" -gt 0 ]; then
  : >"$logs/parallel-jack.log"
  # (measure-parallel.sh measures durations at given periods; it has no rounds and no counts.)
  if command -v jackd >/dev/null; then
    parallel_jack
  else
    not_available parallel-jack "jackd is missing"
  fi
fi

# ---- Fuzz targets -----------------------------------------------------------------------------
if [ "$fuzz_runs" -gt 0 ]; then
  echo "--- fuzz: $fuzz_runs runs per target"
  start=$SECONDS
  TARNET_FUZZ_RUNS=$fuzz_runs scripts/fuzz.sh >"$logs/fuzz.log" 2>&1
  rc=$?
  targets=$(grep -c '^--- .*_fuzz: ' "$logs/fuzz.log")
  failed=$(grep -c '_fuzz FAILED' "$logs/fuzz.log")
  if [ "$targets" -eq 0 ]; then
    echo "soak: the fuzz targets did not build; see $logs/fuzz.log"; exit 2
  fi
  fuzz_hangs=$(grep -c 'ERROR: libFuzzer: timeout' "$logs/fuzz.log")
  [ $rc -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
  record fuzz "$((targets * fuzz_runs))" "$failed" "$fuzz_hangs" "$(sanitizer_reports "$logs/fuzz.log")" 0 \
    "($targets targets, $((SECONDS - start)) s; findings kept in build/fuzz/findings)"
fi

# ---- Closing note -----------------------------------------------------------------------------
echo
total=0
for i in "${!names[@]}"; do
  read -r r c h s w <<<"${results[$i]}"
  total=$((total + c + h + s + w))
done
not_run=""
[ "${#missing[@]}" -ne 0 ] && not_run=" (not run: ${missing[*]})"
if [ "$total" -eq 0 ]; then
  echo "soak: every campaign that ran is at zero faults$not_run"
  exit 0
fi
echo "soak: $total faults$not_run; logs in $logs/"
exit 1
