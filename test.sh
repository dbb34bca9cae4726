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

echo "== fuzzing the response reports and the report descriptors (20 s each)"
fuzz_rc=1
if configure_and_build "$build/fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON -DUPDATER_SANITIZE=ON; then
  fuzz_rc=0
  # Each: the target, its seeds, its corpus and log, and its longest input (a descriptor as long
  # as the kernel hands over).
  for fuzzer in "response_fuzz seeds corpus run.log 1024" \
    "descriptor_fuzz descriptor_seeds descriptor_corpus descriptor_run.log 4096"; do
    read -r target seeds corpus log max_len <<<"$fuzzer"
    mkdir -p "$build/fuzz/$corpus"
    # A crashing input is kept beside the log, not in whatever directory the script ran from.
    "$build/fuzz/tests/fuzz/$target" -max_total_time=20 -max_len="$max_len" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz/$target-" "$build/fuzz/$corpus" "$repo/tests/fuzz/$seeds" \
      >"$build/fuzz/$log" 2>&1 || fuzz_rc=1
    echo "$target:"
    grep -E 'stat::number_of_executed_units|fuzz reach|ERROR|SUMMARY' "$build/fuzz/$log" | head -16
    # A fuzzer that reached nothing fuzzed nothing: that fails the stage too.
    grep -q 'fuzz reach: every .* reached' "$build/fuzz/$log" || fuzz_rc=1
  done
fi
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

echo "== the flasher's Debian package, installed into a clean Debian 12 root and removed again"
bash "$repo/scripts/package-test.sh"
record "package" $?

echo "== soak: the window program and the flasher's series, counts before and after"
bash "$repo/scripts/soak.sh"
record "soak" $?

echo
echo "== summary"
for i in "${!stage_names[@]}"; do printf '%-32s %s\n' "${stage_names[$i]}" "${stage_results[$i]}"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
