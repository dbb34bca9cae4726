#!/usr/bin/env bash
# Builds everything and runs every test: native (plain and sanitized), fuzzing for a bounded
# time, the Windows code under Wine, and the shipped executable end to end.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"

bash "$repo/scripts/install-deps.sh" || exit 1
trap stop_started EXIT

declare -a stage_names stage_results
passed=0
failed=0
record() {  # name, exit code
  stage_names+=("$1")
  if [ "$2" -eq 0 ]; then stage_results+=("passed"); passed=$((passed + 1))
  else stage_results+=("FAILED"); failed=$((failed + 1)); fi
}

run_ctest() {  # dir
  (cd "$1" && ctest --output-on-failure --timeout 900)
}

mkdir -p "$build"
echo "== layers"
bash "$repo/scripts/check-layers.sh"
record "layers" $?

echo "== native build and tests"
configure_and_build "$build/native" -DCMAKE_BUILD_TYPE=Debug && run_ctest "$build/native"
record "native tests" $?

echo "== native tests with address and undefined-behaviour sanitizers"
# The terminal flasher's end-to-end runs against the emulated device are real-time updates; the
# plain native stage runs them, the sanitized one the rest.
configure_and_build "$build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE=ON &&
  (cd "$build/sanitize" && ctest --output-on-failure --timeout 900 -LE linux)
record "sanitized native tests" $?

echo "== fuzzing the response reports (30 s)"
configure_and_build "$build/fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON -DUPDATER_SANITIZE=ON &&
  mkdir -p "$build/fuzz/corpus" &&
  "$build/fuzz/tests/fuzz/response_fuzz" -max_total_time=30 -max_len=1024 -print_final_stats=1 \
    "$build/fuzz/corpus" "$repo/tests/fuzz/seeds" >"$build/fuzz/run.log" 2>&1
fuzz_rc=$?
grep -E 'stat::number_of_executed_units|fuzz reach|ERROR|SUMMARY' "$build/fuzz/run.log" | head -16
# A parser that never got an answer was not fuzzed: that fails the stage too.
grep -q 'fuzz reach: every parser reached' "$build/fuzz/run.log" || fuzz_rc=1
record "fuzzing" $fuzz_rc

echo "== 32-bit Windows build"
configure_and_build "$build/win32" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=OFF
record "32-bit Windows build" $?

echo "== Windows build and tests under Wine"
windows_built=0
if build_windows; then
  windows_built=1
  start_display
  prepare_wine
  run_ctest "$build/win64"
  record "Wine tests" $?
else
  record "Wine tests" 1
fi

echo "== end to end: the shipped program driven from outside under Wine"
if [ "$windows_built" -eq 1 ]; then
  bash "$repo/scripts/e2e.sh" "$build/win64"
  record "end-to-end tests" $?
else
  record "end-to-end tests" 1
fi

echo
echo "== summary"
for i in "${!stage_names[@]}"; do printf '%-32s %s\n' "${stage_names[$i]}" "${stage_results[$i]}"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
