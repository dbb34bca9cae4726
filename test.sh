#!/usr/bin/env bash
# Builds everything and runs every test: the layer check, native (plain and sanitized), fuzzing
# for a bounded time, the 32-bit and the 64-bit Windows builds, the Windows code under Wine, the
# shipped executable end to end, the flasher's Debian package, the soak, and the browser page in
# Chromium.
#
# The trees come from CMakePresets.json; what is found at run time (the Wine loaders, whether
# 32-bit code runs, the compiler cache) goes to them through scripts/wine.sh and
# scripts/common.sh. Most of the work waits on updates in real time, so the stages run side by
# side (scripts/stages.sh): each in the background with its own log in build/test-logs/, a line
# when it ends, a failing one's whole log after it, and at the end one line per stage, then
# "N passed, M failed" and the total time.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"
source "$repo/scripts/stages.sh"
started=$(date +%s)
stages_began=$started

bash "$repo/scripts/install-deps.sh" || exit 1
# The i686 executables run only where the kernel runs 32-bit code; only there is Wine's 32-bit
# half installed, and only there does the 32-bit tree build its tests.
i686_runs=0
export UPDATER_WIN32_TESTS=OFF
if runs_32bit_code; then
  bash "$repo/scripts/install-deps.sh" --wine32 || exit 1
  i686_runs=1
  UPDATER_WIN32_TESTS=ON
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

# ---- what the stages run

native_stage() {
  configure_and_build "$build/native" native &&
    (cd "$build/native" && ctest --output-on-failure --timeout 900 -j"$ctest_jobs")
}

# Its tests compute, so as many at a time as there are cores.
sanitized_stage() {
  configure_and_build "$build/sanitize" sanitize &&
    (cd "$build/sanitize" && ctest --output-on-failure --timeout 900 -j"$jobs")
}

fuzz_stage() {
  configure_and_build "$build/fuzz" fuzz || return 1
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

win32_stage() { configure_and_build "$build/win32" win32; }

# The page built to WebAssembly, then its tests in headless Chromium (tests/web).
browser_stage() {
  configure_and_build "$build/web" web &&
    (cd "$repo/tests/web" && node --test --test-reporter=spec --test-reporter-destination=stdout \
      page.test.mjs)
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

# ---- the stages: name | what it runs | the stage it waits for | priority. The longest first;
# the soak and the Wine parts use the display started here.
stages=(
  "layers|bash $repo/scripts/check-layers.sh||"
  "soak|bash $repo/scripts/soak.sh||"
  "native tests|native_stage||"
  "64-bit Windows build|build_windows||"
  "sanitized native tests|sanitized_stage||"
  "browser page|browser_stage||"
  "fuzzing|fuzz_stage||low"
  "32-bit Windows build|win32_stage||low"
  "package|bash $repo/scripts/package-test.sh||low"
  "Wine tests|wine_stage|64-bit Windows build|"
  "end-to-end tests|e2e_stage|64-bit Windows build|"
)
[ "$i686_runs" -eq 0 ] || stages+=("i686 executables under Wine|i686_stage|32-bit Windows build|")

stop_everything() {
  stop_stages
  local prefix
  for prefix in "$e2e_prefix" "$i686_prefix"; do
    [ ! -d "$prefix" ] || WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
  done
  stop_started
}
trap stop_everything EXIT

start_display
run_stages

echo
echo "== summary"
stages_summary
all_passed=$?
if [ "$i686_runs" -eq 0 ]; then
  printf '%-32s %s\n' "i686 executables" "not run: $no_32bit_reason"
fi
echo "$stages_passed passed, $stages_failed failed in $(($(date +%s) - started)) s (logs in $logs)"
exit "$all_passed"
