#!/usr/bin/env bash
# Prints the program's figures as ratios that hold on a noisy machine. The honest floor of an
# update is a minimal reference client (write, read, pause, nothing else) against the same unit
# in the same run, so each program's whole update is set against it: the window program under
# Wine (bench_driver.exe), the terminal flasher under Wine and on Linux (emulated hidraw), each
# run BENCH_ROUNDS times (3 unless set) interleaved with its reference; the medians, the ratios
# program / reference on the unit's clock, and each program's CPU time over its lifetime. Also:
# start-up over an empty dialog program, executable size, peak memory, the work per block on
# native virtual time and what answer pairing costs per block. Then the browser page in headless
# Chromium (tests/web/bench.mjs): its update visible and hidden against a browser reference
# client, the browser's CPU, the time to a drawn panel and the published page's size. Run it on
# an otherwise idle machine.
#
# BENCH_BUILD names a folder of your own for its two build trees (default build/);
# PRIVATE_WINEPREFIX a Wine prefix of your own.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"
build=${BENCH_BUILD:-$build}
rounds=${BENCH_ROUNDS:-3}

bash "$repo/scripts/install-deps.sh" || exit 1
trap stop_started EXIT
mkdir -p "$build"

configure_and_build "$build/bench-native" bench || exit 1
build_windows || exit 1
configure_and_build "$build/web" web || exit 1
cmake --build "$build/web" --target web_reference_files >"$build/web.bench.log" 2>&1 || {
  cat "$build/web.bench.log"
  exit 1
}
if [ -z "${DISPLAY:-}" ]; then start_display; fi
prepare_wine
simunit="$build/win64/simunit"
linux_bench="$build/bench-native/tests/bench/linux_update_bench"
logs="$build/bench-logs"
mkdir -p "$logs"
rc=0

echo "== figures ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores)"
"$build/bench-native/tests/bench/block_work_bench"
(cd "$simunit" && WINEDLLOVERRIDES="setupapi,hid=n" timeout 300 "$wine64" pairing_bench.exe)

# CPU time of a Wine program, read from /proc: Wine does not report another process's times.
# Only Wine processes running it (their command line starts with the program, unlike those of
# the `timeout` and the Wine loader that start them) that carry this run's token in their
# environment count (a driver's children inherit it); of those, the longest-lived one did the
# update.
bench_token="updater-bench-$$-$RANDOM"
ours() {  # program file name: pids of this run's Wine processes running it
  local pid
  for pid in $(pgrep -f "^([A-Za-z]:.*[\\])?$1"); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" |
      grep -qx "UPDATER_BENCH_TOKEN=$bench_token" && echo "$pid"
  done
}
sample_cpu() {  # pattern, done-file: prints "<cpu seconds> <lifetime seconds>" of that process
  local pattern=$1 done_file=$2 hz pid stat life best_life=0 best_cpu=0
  hz=$(getconf CLK_TCK)
  declare -A first_seen last_cpu last_seen
  while true; do
    for pid in $(ours "$pattern"); do
      read -r stat 2>/dev/null <"/proc/$pid/stat" || continue
      stat=${stat##*) }
      set -- $stat
      [ -n "${first_seen[$pid]:-}" ] || first_seen[$pid]=$EPOCHREALTIME
      last_seen[$pid]=$EPOCHREALTIME
      last_cpu[$pid]=$(( ${12} + ${13} ))
    done
    if [ -e "$done_file" ]; then break; fi
    sleep 0.5  # light sampling: the machine's cores are what is being measured
  done
  for pid in "${!first_seen[@]}"; do
    life=$(echo "${last_seen[$pid]} - ${first_seen[$pid]}" | bc -l)
    if [ "$(echo "$life > $best_life" | bc -l)" = 1 ]; then
      best_life=$life
      best_cpu=$(echo "${last_cpu[$pid]} / $hz" | bc -l)
    fi
  done
  echo "$best_cpu $best_life"
}
# pattern, log, command...: runs the command in $simunit with this run's token, the substitute
# DLLs and English texts, samples the matching process's CPU meanwhile, and sets `cpu_pct` (empty
# when no such process was seen) and `whole_ms`.
run_sampled() {
  local pattern=$1 log=$2 done_file="$logs/sampler.done" cpu_life sampler start status
  shift 2
  rm -f "$done_file"
  sample_cpu "$pattern" "$done_file" >"$logs/sampler.out" &
  sampler=$!
  start=$(date +%s%3N)
  (cd "$simunit" && UPDATER_BENCH_TOKEN=$bench_token WINEDLLOVERRIDES="setupapi,hid=n" \
    LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 timeout 600 "$@") >"$log" 2>&1
  status=$?
  whole_ms=$(($(date +%s%3N) - start))
  touch "$done_file"
  wait "$sampler"
  read -r cpu_life <"$logs/sampler.out"
  cpu_pct=$(echo "$cpu_life" | awk '$2 > 0 { printf "%.2f", $1 * 100 / $2 }')
  return $status
}
# On the unit's clock, from the update's first request (the re-identification: the three before
# the lock) to its last (the lock released), from the server's record of `name`.
unit_span_ms() {
  (cd "$simunit" && timeout 20 "$wine64" simctl.exe commands "$1") 2>/dev/null |
    awk '{ written[NR] = $2 } $1 == "0b" { if (!lock) lock = NR; release = NR }
      END { if (lock > 3 && release > lock) print written[release] - written[lock - 3] }'
}
start_server() {
  server_log=$(mktemp)
  (cd "$simunit" && exec "$wine64" unit_server.exe "plug bench") >"$server_log" 2>&1 &
  server=$!
  for _ in $(seq 200); do grep -q ready "$server_log" && break; sleep 0.1; done
}
stop_server() {
  (cd "$simunit" && timeout 10 "$wine64" simctl.exe quit >/dev/null 2>&1)
  wait "$server" 2>/dev/null
  rm -f "$server_log"
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print ""; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" "$2" | head -1; }  # name, file

declare -a win_wall win_span win_cpu wref_span wref_whole wref_cpu wflash_span wflash_whole \
  wflash_cpu lflash_span lflash_whole lflash_cpu lref_span lref_whole lref_cpu win_ratio \
  wflash_ratio lflash_ratio
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.4f", a / b; else print "n/a" }'; }
for round in $(seq "$rounds"); do
  echo "== round $round of $rounds"
  # The window program: start-up figures in the first round only.
  what=update
  [ "$round" -eq 1 ] && what=""
  run_sampled ZirvanoUpdater.exe "$logs/window-$round.log" "$wine64" bench_driver.exe $what || rc=1
  [ "$round" -eq 1 ] && grep -v span_ms "$logs/window-$round.log"
  win_wall+=("$(sed -n 's/.*fixed pauses: [0-9.]* (\([0-9]*\) ms.*/\1/p' "$logs/window-$round.log")")
  win_span+=("$(field span_ms "$logs/window-$round.log")")
  win_cpu+=("$cpu_pct")

  start_server
  run_sampled reference_client.exe "$logs/wine-reference-$round.log" \
    "$wine64" reference_client.exe firmware_140.bin || rc=1
  wref_whole+=("$whole_ms")
  wref_cpu+=("$cpu_pct")
  wref_span+=("$(unit_span_ms bench)")
  (cd "$simunit" && timeout 20 "$wine64" simctl.exe plug bench >/dev/null 2>&1)
  run_sampled zirvano-flash.exe "$logs/wine-flasher-$round.log" \
    "$wine64" zirvano-flash.exe update --yes || rc=1
  wflash_whole+=("$whole_ms")
  wflash_cpu+=("$cpu_pct")
  wflash_span+=("$(unit_span_ms bench)")
  stop_server

  "$linux_bench" flasher >"$logs/linux-flasher-$round.log" 2>&1 || rc=1
  "$linux_bench" reference >"$logs/linux-reference-$round.log" 2>&1 || rc=1
  for which in flasher reference; do
    log="$logs/linux-$which-$round.log"
    cpu=$(awk -F'[ =]' '/^linux-bench/ { for (i = 1; i < NF; i++) v[$i] = $(i + 1); if (v["whole_ms"] > 0) printf "%.2f", v["cpu_ms"] * 100 / v["whole_ms"] }' "$log")
    if [ "$which" = flasher ]; then
      lflash_span+=("$(field span_ms "$log")"); lflash_whole+=("$(field whole_ms "$log")")
      lflash_cpu+=("$cpu")
    else
      lref_span+=("$(field span_ms "$log")"); lref_whole+=("$(field whole_ms "$log")")
      lref_cpu+=("$cpu")
    fi
  done
  win_ratio+=("$(ratio "${win_span[-1]}" "${wref_span[-1]}")")
  wflash_ratio+=("$(ratio "${wflash_span[-1]}" "${wref_span[-1]}")")
  lflash_ratio+=("$(ratio "${lflash_span[-1]}" "${lref_span[-1]}")")
  echo "the update on the unit's clock: window ${win_span[-1]} ms, Wine reference" \
    "${wref_span[-1]} ms, Wine flasher ${wflash_span[-1]} ms, Linux flasher ${lflash_span[-1]} ms," \
    "Linux reference ${lref_span[-1]} ms"
done

# Program over reference: of the medians, and the median of each round's own ratio (its runs lie
# within minutes of each other, so a machine that slows down for a while moves both).
report() {  # label, program spans, reference spans, per-round ratios, CPU %s, [wholes, reference wholes]
  local program reference
  program=$(median $2)
  reference=$(median $3)
  printf '%s: %s ms over the reference client'"'"'s %s ms = %s, round by round %s (target at most 1.000); CPU %s %% of its lifetime (target at most 2 %%)\n' \
    "$1" "$program" "$reference" "$(ratio "$program" "$reference")" "$(median $4)" "$(median $5)"
  if [ -n "${6:-}" ]; then
    printf '  whole command, start to exit: %s ms over the reference'"'"'s %s ms = %s\n' \
      "$(median $6)" "$(median $7)" "$(ratio "$(median $6)" "$(median $7)")"
  fi
}
echo "== medians of $rounds rounds (the update on the unit's clock, from its first request to its last)"
report "window program under Wine" "${win_span[*]}" "${wref_span[*]}" "${win_ratio[*]}" \
  "${win_cpu[*]}"
echo "  OK to the success hint: $(median "${win_wall[@]}") ms, over the fixed pauses:" \
  "$(ratio "$(median "${win_wall[@]}")" 45860)"
report "zirvano-flash.exe under Wine" "${wflash_span[*]}" "${wref_span[*]}" "${wflash_ratio[*]}" \
  "${wflash_cpu[*]}" "${wflash_whole[*]}" "${wref_whole[*]}"
report "zirvano-flash on Linux (emulated hidraw)" "${lflash_span[*]}" "${lref_span[*]}" \
  "${lflash_ratio[*]}" "${lflash_cpu[*]}" "${lflash_whole[*]}" "${lref_whole[*]}"
echo "reference clients: Wine CPU $(median "${wref_cpu[@]}") %, Linux CPU" \
  "$(median "${lref_cpu[@]}") %; their update over the fixed pauses: Wine" \
  "$(ratio "$(median "${wref_span[@]}")" 45860), Linux $(ratio "$(median "${lref_span[@]}")" 45860)"

echo "== the browser page (headless Chromium; the simulated unit behind the WebHID double)"
(cd "$repo/tests/web" && UPDATER_WEB_TREE="$build/web" BENCH_ROUNDS=$rounds node bench.mjs) || rc=1
exit $rc
