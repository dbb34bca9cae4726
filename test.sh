#!/usr/bin/env bash
# Builds everything and runs every test: the layer check, native (plain and sanitized), fuzzing
# for a bounded time, the 32-bit and the 64-bit Windows builds, the Windows code under Wine, the
# shipped executable end to end, the flasher's Debian package and the soak.
#
# Most of it waits on updates in real time, so the stages run side by side, each in the
# background with its own log in build/test-logs/; those nobody waits for at a lower priority,
# so that the waiting ones wake on time. A stage's line comes when it ends, with its seconds and
# when it ran (seconds after test.sh began, so that the overlaps show); a failing stage's whole
# log follows it. At the end: one line per stage, then "N passed, M failed" and the total time.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"
started=$(date +%s)

bash "$repo/scripts/install-deps.sh" || exit 1
# The i686 executables run only where the kernel runs 32-bit code; only there is Wine's 32-bit
# half installed.
i686_runs=0
if runs_32bit_code; then
  bash "$repo/scripts/install-deps.sh" --wine32 || exit 1
  i686_runs=1
fi

logs="$build/test-logs"
mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/*.result "$logs"/*.times
# Side by side, ctest runs this many tests at once: most of them wait on a unit.
ctest_jobs=8
# The Wine tests use build/wineprefix. The end-to-end lanes (and the i686 runs) have Wine servers
# of their own: the in-process window tests change what every window of their desktop sees and
# wait on each of them, which the lanes' programs must not meet. The soak has its own as well.
e2e_prefix="$build/wineprefix-e2e"
i686_prefix="$build/wineprefix-i686"

# ---- running stages side by side

declare -A stage_log=() stage_pid=() stage_reported=()
stage_order=()
passed=0
failed=0

# Starts a stage in the background: its output goes to its own log, and when it ends a result
# file beside the log holds its exit code, its seconds, when it started (seconds after test.sh
# did) and the CPU seconds it took.
start_stage() {  # name, command...
  local name=$1
  shift
  local log
  log="$logs/$(tr -c 'A-Za-z0-9' '-' <<<"$name" | sed 's/-*$//').log"
  stage_order+=("$name")
  stage_log[$name]=$log
  (
    stage_start=$(date +%s)
    "$@"
    rc=$?
    # The CPU seconds of its processes (those that ended; a Wine server it left running is not
    # counted), from the second line of `times`: "0m12.5s 0m3.1s".
    # (`times` in this shell itself: a pipe would run it in a child that has none.)
    times >"$log.times"
    cpu=$(awk 'NR == 2 { n = 0; for (i = 1; i <= 2; i++) { split($i, t, "m");
      n += t[1] * 60 + t[2] } printf "%d", n }' "$log.times")
    echo "$rc $(($(date +%s) - stage_start)) $((stage_start - started)) $cpu" >"$log.result"
  ) >"$log" 2>&1 </dev/null &
  stage_pid[$name]=$!
}

# A stage that cannot run because what it needs failed: it fails at once, saying why.
fail_stage() {  # name, why
  start_stage "$1" sh -c 'echo "$0"; exit 1' "not run: $2"
}

# Runs a stage's commands at a lower priority (its children too): for those nobody waits for.
lower_priority() { renice -n 10 -p "$BASHPID" >/dev/null; }

stage_line() {  # name, exit code, seconds, started at, CPU seconds
  local result=passed
  [ "$2" -eq 0 ] || result=FAILED
  printf '%-32s %-7s %5d s   from %4d s to %4d s, CPU %4d s\n' "$1" "$result" "$3" "$4" \
    $(($4 + $3)) "${5:-0}"
}

# Reports each stage as it ends (the whole log of a failing one) and starts the stages that
# waited for it, until every stage has ended.
await_stages() {
  local name rc seconds at cpu open
  while :; do
    open=0
    for name in "${stage_order[@]}"; do
      [ -z "${stage_reported[$name]:-}" ] || continue
      if [ ! -s "${stage_log[$name]}.result" ]; then
        open=1
        continue
      fi
      wait "${stage_pid[$name]}" 2>/dev/null
      read -r rc seconds at cpu <"${stage_log[$name]}.result"
      stage_reported[$name]=1
      stage_line "$name" "$rc" "$seconds" "$at" "$cpu"
      if [ "$rc" -ne 0 ]; then
        echo "---- $name: ${stage_log[$name]}"
        cat "${stage_log[$name]}"
        echo "---- end of $name"
      fi
      after_stage "$name" "$rc"
      open=1  # it may have started others
    done
    [ "$open" -eq 1 ] || break
    sleep 1
  done
}

stop_everything() {
  for name in "${!stage_pid[@]}"; do kill "${stage_pid[$name]}" 2>/dev/null; done
  local prefix
  for prefix in "$e2e_prefix" "$i686_prefix"; do
    [ ! -d "$prefix" ] || WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
  done
  stop_started
}
trap stop_everything EXIT

# ---- the stages

native_stage() {
  # Debug, optimized as far as debugging allows (-Og): unoptimized, the simulated bus's string
  # compares make the fault campaign several times slower.
  configure_and_build "$build/native" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -Og" \
    -DCMAKE_C_FLAGS_DEBUG="-g -Og" &&
    (cd "$build/native" && ctest --output-on-failure --timeout 900 -j"$ctest_jobs")
}

sanitized_stage() {
  # At the usual priority: its build and its tests are the longest chain of work here.
  # The tests against the emulated hidraw node are real-time updates; the plain native stage
  # builds and runs them, this one the rest. As many at a time as there are cores: they
  # compute.
  configure_and_build "$build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE=ON \
    -DUPDATER_LINUX_TESTS=OFF &&
    (cd "$build/sanitize" && ctest --output-on-failure --timeout 900 -j"$jobs")
}

fuzz_stage() {
  lower_priority
  configure_and_build "$build/fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON -DUPDATER_SANITIZE=ON || return 1
  # Each: the target, its seeds, its corpus and log, and its longest input (a descriptor as long
  # as the kernel hands over). Both at once, each for 20 s.
  local fuzzers=("response_fuzz seeds corpus run.log 1024"
    "descriptor_fuzz descriptor_seeds descriptor_corpus descriptor_run.log 4096")
  local fuzzer target seeds corpus log max_len rc=0 pids=()
  for fuzzer in "${fuzzers[@]}"; do
    read -r target seeds corpus log max_len <<<"$fuzzer"
    mkdir -p "$build/fuzz/$corpus"
    # A crashing input is kept beside the log, not in whatever directory the script ran from.
    "$build/fuzz/tests/fuzz/$target" -max_total_time=20 -max_len="$max_len" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz/$target-" "$build/fuzz/$corpus" "$repo/tests/fuzz/$seeds" \
      >"$build/fuzz/$log" 2>&1 &
    pids+=($!)
  done
  for fuzzer in "${!pids[@]}"; do wait "${pids[$fuzzer]}" || rc=1; done
  for fuzzer in "${fuzzers[@]}"; do
    read -r target seeds corpus log max_len <<<"$fuzzer"
    echo "$target:"
    grep -E 'stat::number_of_executed_units|fuzz reach|ERROR|SUMMARY' "$build/fuzz/$log" | head -16
    # A fuzzer that reached nothing fuzzed nothing: that fails the stage too.
    grep -q 'fuzz reach: every .* reached' "$build/fuzz/$log" || rc=1
  done
  return "$rc"
}

win32_stage() {
  lower_priority
  # Where the i686 executables run, the tree has the simulated unit and the tests as well.
  local tests=(-DUPDATER_TESTS=OFF)
  [ "$i686_runs" -eq 0 ] || tests=(-DUPDATER_TESTS=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$wine32")
  configure_and_build "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${tests[@]}"
}

wine_stage() {
  prepare_wine
  (cd "$build/win64" && ctest --output-on-failure --timeout 900 -j"$ctest_jobs")
}

e2e_stage() {
  PRIVATE_WINEPREFIX="$e2e_prefix" bash "$repo/scripts/e2e.sh" "$build/win64"
}

# The i686 build's console flasher through a whole update, and its end-to-end table.
i686_stage() {
  export WINEPREFIX="$i686_prefix"
  prepare_wine
  (cd "$build/win32" && ctest --output-on-failure --timeout 900 -R '^cli_console_WholeUpdate') \
    >"$logs/i686-console.txt" 2>&1 &
  local console=$! rc=0
  PRIVATE_WINEPREFIX="$i686_prefix" bash "$repo/scripts/e2e.sh" "$build/win32" || rc=1
  wait "$console" || rc=1
  cat "$logs/i686-console.txt"
  return "$rc"
}

package_stage() {
  lower_priority
  bash "$repo/scripts/package-test.sh"
}

# The stages that wait for another: started when it ends, or failed when it failed.
after_stage() {  # name, exit code
  case "$1" in
    "64-bit Windows build")
      if [ "$2" -eq 0 ]; then
        start_stage "Wine tests" wine_stage
        start_stage "end-to-end tests" e2e_stage
      else
        fail_stage "Wine tests" "the 64-bit Windows build failed"
        fail_stage "end-to-end tests" "the 64-bit Windows build failed"
      fi
      ;;
    "32-bit Windows build")
      if [ "$i686_runs" -eq 0 ]; then return; fi
      if [ "$2" -eq 0 ]; then
        start_stage "i686 executables under Wine" i686_stage
      else
        fail_stage "i686 executables under Wine" "the 32-bit Windows build failed"
      fi
      ;;
  esac
}

# One line each; the longest first. The soak and the Wine parts use the display started here.
start_display
start_stage "layers" bash "$repo/scripts/check-layers.sh"
start_stage "soak" bash "$repo/scripts/soak.sh"
start_stage "native tests" native_stage
start_stage "64-bit Windows build" build_windows
start_stage "sanitized native tests" sanitized_stage
start_stage "fuzzing" fuzz_stage
start_stage "32-bit Windows build" win32_stage
start_stage "package" package_stage
await_stages

echo
echo "== summary"
for name in "${stage_order[@]}"; do
  read -r rc seconds at cpu <"${stage_log[$name]}.result"
  stage_line "$name" "$rc" "$seconds" "$at" "$cpu"
  if [ "$rc" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
if [ "$i686_runs" -eq 0 ]; then
  printf '%-32s %s\n' "i686 executables" "not run: $no_32bit_reason"
fi
echo "$passed passed, $failed failed in $(($(date +%s) - started)) s (logs in $logs)"
[ "$failed" -eq 0 ]
