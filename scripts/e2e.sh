#!/usr/bin/env bash
# The shipped program end to end: e2e_driver.exe runs its scenario table against the unmodified
# ZirvanoUpdater.exe and the pipe-served unit under Wine, in English and in German. The rows run
# in lanes side by side, each row that waits out a whole update in real time in a lane of its
# own; each lane's output is kept in build-dir/e2e/lane-N.log and printed whole at the end.
#
# Usage: scripts/e2e.sh [--all] [build-dir] [name...]
#   build-dir  a Windows tree, default build/win64
#   --all      also the German whole update, a second 46-second run left out by default
#   name       only the rows whose name contains it (either language), =name only the row of
#              exactly that name; -name leaves them out. Named rows run in one lane per language
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
loader=$(tree_loader "$tree")
if [ ! -f "$simunit/e2e_driver.exe" ] || [ ! -f "$simunit/ZirvanoUpdater.exe" ]; then
  echo "e2e: no e2e_driver.exe and ZirvanoUpdater.exe in $simunit (build the Windows tree first)"
  exit 1
fi

if [ -z "${DISPLAY:-}" ]; then
  start_display
  trap stop_started EXIT
fi
prepare_wine

# Without names, each language's rows run in lanes side by side (`e2e_driver.exe lanes`): each
# row that waits out a whole transfer alone, the rest together; each lane with a unit server of
# its own under its own pipe stem, and its own log.
lane_specs=()  # locale, stem and the lane's suite arguments, separated by \x1f
# The stems name the tree, so that two trees' lanes under one Wine server keep apart too.
stem="zirvano-sim-e2e-$(basename "$tree" | tr -c 'A-Za-z0-9_\n-' '_')"
for locale in en_US.UTF-8 de_DE.UTF-8; do
  language=${locale%%_*}
  if [ ${#names[@]} -gt 0 ]; then
    spec="$locale"$'\x1f'"$stem-$language"
    for name in "${names[@]}"; do spec+=$'\x1f'"$name"; done
    lane_specs+=("$spec")
    continue
  fi
  if ! lanes=$(cd "$simunit" && env LANG="$locale" LC_ALL="$locale" \
    timeout 120 "$loader" e2e_driver.exe lanes $all); then
    echo "e2e: e2e_driver.exe lanes failed in $locale: $lanes"
    exit 1
  fi
  n=0
  while IFS= read -r lane; do
    [ -n "$lane" ] || continue
    n=$((n + 1))
    lane_specs+=("$locale"$'\x1f'"$stem-$language$n"$'\x1f'"$lane")
  done <<<"$lanes"
done

run_lane() {  # log, locale, stem, suite arguments...
  local log=$1 locale=$2 stem=$3
  shift 3
  # The program inherits the driver's Unix environment: the DLL overrides, the pipe stem and
  # the locale that picks its language. The log is a file, not a pipe, so that no Wine process
  # left behind can hold the output open.
  (cd "$simunit" &&
    env LANG="$locale" LC_ALL="$locale" WINEDLLOVERRIDES="setupapi,hid=n" \
      ZIRVANO_SIM_PIPES="$stem" timeout 900 "$loader" e2e_driver.exe suite $all "$@" \
      >"$log" 2>&1)
  local rc=$?
  if ! grep -qE '^[0-9]+ passed, [0-9]+ failed$' "$log"; then
    # A driver that died may have left its unit server running.
    (cd "$simunit" && ZIRVANO_SIM_PIPES="$stem" timeout 10 "$loader" simctl.exe quit \
      >/dev/null 2>&1)
  fi
  echo "$rc" >"$log.rc"
}

mkdir -p "$tree/e2e"
rm -f "$tree/e2e"/lane-*.log "$tree/e2e"/lane-*.log.rc
start=$(date +%s)
pids=()
for i in "${!lane_specs[@]}"; do
  IFS=$'\x1f' read -r -a spec <<<"${lane_specs[$i]}"
  run_lane "$tree/e2e/lane-$((i + 1)).log" "${spec[@]}" &
  pids+=($!)
done
wait "${pids[@]}"

passed=0
failed=0
for i in "${!lane_specs[@]}"; do
  IFS=$'\x1f' read -r -a spec <<<"${lane_specs[$i]}"
  log="$tree/e2e/lane-$((i + 1)).log"
  rc=$(cat "$log.rc" 2>/dev/null || echo 1)
  echo "-- lane $((i + 1)): LANG=${spec[0]}, ${spec[*]:2} ($log)"
  cat "$log"
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
  if [ -z "$summary" ]; then
    echo "e2e: lane $((i + 1)) ended without a summary (exit code $rc)"
    failed=$((failed + 1))
    continue
  fi
  lane_passed=${summary%% passed*}
  lane_failed=${summary#*, }
  lane_failed=${lane_failed%% failed}
  passed=$((passed + lane_passed))
  failed=$((failed + lane_failed))
  # A language none of the named rows is in runs nothing, which is no failure.
  if [ "$rc" -ne 0 ] && [ "$lane_failed" -eq 0 ] &&
    { [ ${#names[@]} -eq 0 ] || [ "$lane_passed" -ne 0 ]; }; then
    failed=$((failed + 1))
  fi
done
echo "e2e: $passed passed, $failed failed in ${#lane_specs[@]} lanes, $(($(date +%s) - start)) s"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
