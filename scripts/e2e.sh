#!/usr/bin/env bash
# The shipped program end to end: e2e_driver.exe runs its scenario table against the unmodified
# ZirvanoUpdater.exe and the pipe-served unit under Wine, once in English and once in German.
#
# Usage: scripts/e2e.sh [--all] [build-dir] [name...]
#   build-dir  a Windows tree, default build/win64
#   --all      also the German whole update, a second 46-second run left out by default
#   name       only the rows whose name contains it (either language); -name leaves them out
#
# Uses the display it finds and build/wineprefix (test.sh prepares both; PRIVATE_WINEPREFIX names
# a prefix of your own instead); starts a display of its own when there is none, and stops what
# it started.
set -uo pipefail
source "$(dirname "$0")/common.sh"


all=""
tree="$build/win64"
names=()
for arg in "$@"; do
  case "$arg" in
    --all) all="--all" ;;
    *)
      if [ -d "$arg" ]; then
        tree=$(cd "$arg" && pwd)  # absolute: the runs below change directory
      else
        names+=("$arg")
      fi
      ;;
  esac
done
simunit="$tree/simunit"
if [ ! -f "$simunit/e2e_driver.exe" ] || [ ! -f "$simunit/ZirvanoUpdater.exe" ]; then
  echo "e2e: no e2e_driver.exe and ZirvanoUpdater.exe in $simunit (build the Windows tree first)"
  exit 1
fi

if [ -z "${DISPLAY:-}" ]; then
  start_display
  trap stop_started EXIT
fi
prepare_wine

passed=0
failed=0
run_pass() {  # locale, log
  # The program inherits the driver's Unix environment: the DLL overrides and the locale that
  # picks its language. The log is a file, not a pipe, so that no Wine process left behind can
  # hold the output open.
  (cd "$simunit" &&
    env LANG="$1" LC_ALL="$1" WINEDLLOVERRIDES="setupapi,hid=n" \
      timeout 900 wine e2e_driver.exe suite $all "${names[@]}" >"$2" 2>&1)
  local rc=$?
  cat "$2"
  local summary
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$2" | tail -1)
  if [ -z "$summary" ]; then
    echo "e2e: the $1 run ended without a summary (exit code $rc)"
    failed=$((failed + 1))
    # A driver that died may have left its unit server running.
    (cd "$simunit" && timeout 10 wine simctl.exe quit >/dev/null 2>&1)
    return
  fi
  passed=$((passed + ${summary%% passed*}))
  local f=${summary#*, }
  failed=$((failed + ${f%% failed}))
  # A language none of the named rows is in runs nothing, which is no failure.
  if [ "$rc" -ne 0 ] && [ "${f%% failed}" -eq 0 ] &&
    { [ ${#names[@]} -eq 0 ] || [ "${summary%% passed*}" -ne 0 ]; }; then
    failed=$((failed + 1))
  fi
}

mkdir -p "$tree/e2e"
start=$(date +%s)
echo "-- English (LANG=en_US.UTF-8)"
run_pass en_US.UTF-8 "$tree/e2e/english.log"
echo "-- German (LANG=de_DE.UTF-8)"
run_pass de_DE.UTF-8 "$tree/e2e/german.log"
echo "e2e: $passed passed, $failed failed in $(($(date +%s) - start)) s"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
