#!/usr/bin/env bash
# Prints the program's figures as ratios that hold on a noisy machine: a complete update against
# the pipe-served unit under Wine (wall time over the fixed pauses, CPU over wall), start-up over
# an empty dialog program, executable size, peak memory, the work per block on native virtual
# time, what dropping queued input before each request costs per block, and the terminal
# flasher's whole update on Windows (Wine) and Linux (emulated hidraw). Run it on an otherwise
# idle machine.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"

bash "$repo/scripts/install-deps.sh" || exit 1
trap stop_started EXIT
mkdir -p "$build"

configure_and_build "$build/bench-native" -DCMAKE_BUILD_TYPE=Release || exit 1
build_windows || exit 1
if [ -z "${DISPLAY:-}" ]; then start_display; fi
prepare_wine

echo "== figures ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores)"
"$build/bench-native/tests/bench/block_work_bench"
(cd "$build/win64/simunit" && WINEDLLOVERRIDES="setupapi,hid=n" timeout 300 wine pairing_bench.exe)
# CPU time of the updating program, read from /proc: Wine does not report another process's
# times. Only processes that carry this run's token in their environment count (the driver's
# children inherit it); of those, the longest-lived ZirvanoUpdater.exe did the complete update.
bench_token="updater-bench-$$-$RANDOM"
ours() {  # pids of this run's ZirvanoUpdater.exe processes
  local pid
  for pid in $(pgrep -f 'ZirvanoUpdater.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "UPDATER_BENCH_TOKEN=$bench_token" &&
      echo "$pid"
  done
}
sample_cpu() {
  local hz pid stat best_life=0 best_cpu=0
  hz=$(getconf CLK_TCK)
  declare -A first_seen last_cpu last_seen
  while true; do
    for pid in $(ours); do
      read -r stat <"/proc/$pid/stat" 2>/dev/null || continue
      stat=${stat##*) }
      set -- $stat
      [ -n "${first_seen[$pid]:-}" ] || first_seen[$pid]=$EPOCHREALTIME
      last_seen[$pid]=$EPOCHREALTIME
      last_cpu[$pid]=$(( ${12} + ${13} ))
    done
    if [ -e "$build/bench.done" ]; then break; fi
    sleep 0.5  # light sampling: the machine's cores are what is being measured
  done
  if [ "${#first_seen[@]}" -eq 0 ]; then
    echo "updating program, CPU time: no process of this run was seen"
    return
  fi
  for pid in "${!first_seen[@]}"; do
    life=$(echo "${last_seen[$pid]} - ${first_seen[$pid]}" | bc -l)
    if [ "$(echo "$life > $best_life" | bc -l)" = 1 ]; then
      best_life=$life
      best_cpu=$(echo "${last_cpu[$pid]} / $hz" | bc -l)
    fi
  done
  printf 'updating program, CPU time / its lifetime: %.2f %% (%.2f s of %.1f s; target under 2 %%)\n' \
    "$(echo "$best_cpu * 100 / $best_life" | bc -l)" "$best_cpu" "$best_life"
}
rm -f "$build/bench.done"
sample_cpu >"$build/bench-cpu.log" &
sampler=$!
(cd "$build/win64/simunit" &&
  UPDATER_BENCH_TOKEN=$bench_token WINEDLLOVERRIDES="setupapi,hid=n" LANG=en_US.UTF-8 \
    LC_ALL=en_US.UTF-8 timeout 600 wine bench_driver.exe >"$build/bench.log" 2>&1)
rc=$?
touch "$build/bench.done"
wait "$sampler"
cat "$build/bench.log" "$build/bench-cpu.log"

# The terminal flasher's whole command (start to exit, identification included) over the same
# 45,860 ms of fixed pauses: the Windows console program under Wine against the pipe-served unit,
# and the Linux program against the emulated hidraw device.
floor_ms=45860
ratio() {  # label, milliseconds
  printf '%s: %.3f (%d ms over %d ms of fixed pauses)\n' "$1" "$(echo "$2 / $floor_ms" | bc -l)" \
    "$2" "$floor_ms"
}
server_log=$(mktemp)
(cd "$build/win64/simunit" && exec wine unit_server.exe "plug bench") >"$server_log" 2>&1 &
server=$!
for _ in $(seq 200); do grep -q ready "$server_log" && break; sleep 0.1; done
start=$(date +%s%3N)
(cd "$build/win64/simunit" && WINEDLLOVERRIDES="setupapi,hid=n" LANG=en_US.UTF-8 \
  LC_ALL=en_US.UTF-8 timeout 300 wine zirvano-flash.exe update --yes >"$build/bench-cli.log" 2>&1) ||
  rc=1
ratio "zirvano-flash.exe update under Wine, whole command" $(($(date +%s%3N) - start))
(cd "$build/win64/simunit" && timeout 10 wine simctl.exe quit >/dev/null 2>&1)
wait "$server" 2>/dev/null
rm -f "$server_log"
linux_tests="$build/bench-native/tests/linux/linux_flasher_tests"
if [ -x "$linux_tests" ]; then
  took=$("$linux_tests" --gtest_filter='*WholeUpdateInstallsTheCarriedImage*' 2>&1 |
    sed -n 's/^\[       OK \] .*(\([0-9]*\) ms)$/\1/p')
  if [ -n "$took" ]; then ratio "zirvano-flash update on Linux (emulated hidraw), whole command" "$took"
  else echo "zirvano-flash update on Linux: the run failed"; rc=1; fi
fi
exit $rc
