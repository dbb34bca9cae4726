#!/usr/bin/env bash
# The soak stage: both programs through a long run, their processes counted after a warm-up and
# again at the end; anything a cycle leaves behind piles up past a small margin.
#   window program  soak_driver.exe drives the shipped ZirvanoUpdater.exe under Wine: 1,000
#                   times the unit unplugged, plugged in and identified (failing identifications,
#                   foreign ESCs, no ESC, bootloader mixed in) and 10 updates, most failing.
#   flasher         zirvano-flash update --wait --repeat --yes on the emulated hidraw node
#                   (ctest label soak): a series of 120 ESCs with 10 updates, ended by Ctrl-C.
# Both trees carry a small image made here, the placeholder's first 1,000 bytes (its banner
# included, so both programs still call it a placeholder): an update then lasts its fixed
# pauses, 5.5 s, instead of 46 s. The two parts mostly wait, so they run side by side: the
# Windows tree builds first, since the window program's part is the longer one, and the flasher's
# tree builds and its series runs in the background meanwhile.
#
# Usage: scripts/soak.sh [prefix]
#   prefix  where the trees go: PREFIX-win64, PREFIX-native, PREFIX-image and the Wine prefix
#           PREFIX-wineprefix; default build/soak
#
# Uses the display it finds or starts one; stops what it started.
set -uo pipefail

prefix_arg=${1:-}
scripts=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$scripts/.." && pwd)/build/soak
if [ -n "$prefix_arg" ]; then
  mkdir -p "$(dirname "$prefix_arg")"
  prefix="$(cd "$(dirname "$prefix_arg")" && pwd)/$(basename "$prefix_arg")"
fi
PRIVATE_WINEPREFIX="$prefix-wineprefix"
source "$scripts/common.sh"

mkdir -p "$prefix-image"
image="$prefix-image/soak_140.bin"
# Rewritten only when it changed: the trees are configured again whenever the image does.
head -c 1000 "$placeholder_image" >"$image.new"
if cmp -s "$image.new" "$image"; then rm -f "$image.new"; else mv "$image.new" "$image"; fi

build_tree() {  # dir, preset, target
  local dir=$1 preset=$2 target=$3
  (cd "$repo" && UPDATER_SOAK_IMAGE="$image" cmake --preset "$preset" -B "$dir") \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" --target "$target" >"$dir.build.log" 2>&1 ||
    { grep -E 'error|Error' -B2 -A3 "$dir.build.log" | head -60; return 1; }
}

start=$(date +%s)
# The window program's part takes longer: its tree builds first, its Wine prefix is made
# meanwhile, and its run starts as soon as both are there.
if [ -z "${DISPLAY:-}" ]; then start_display; fi
trap stop_started EXIT
prepare_wine >"$prefix-wineprefix.log" 2>&1 &
wine_job=$!
echo "-- building the Windows tree"
window_log="$prefix-win64/soak.log"
window_built=0
build_tree "$prefix-win64" soak-win64 soak_driver && window_built=1

echo "-- flasher: its tree (small image: $(stat -c %s "$image") bytes) and a series on the" \
  "emulated hidraw node, in the background"
flasher_log="$prefix-native/soak.log"
mkdir -p "$prefix-native"
flasher_start=$(date +%s)
(build_tree "$prefix-native" soak-native linux_soak_tests &&
  cd "$prefix-native" && ctest -L soak -V --timeout 600) >"$flasher_log" 2>&1 &
flasher_job=$!

wait "$wine_job"
window_start=$(date +%s)
if [ "$window_built" -eq 1 ]; then
  echo "-- window program: soak_driver.exe under Wine"
  (cd "$prefix-win64/simunit" &&
    env LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 WINEDLLOVERRIDES="setupapi,hid=n" \
      timeout 600 "$wine64" soak_driver.exe >"$window_log" 2>&1)
  window_rc=$?
  cat "$window_log"
  # A driver that died may have left its unit server running.
  [ "$window_rc" -eq 0 ] ||
    (cd "$prefix-win64/simunit" && timeout 10 "$wine64" simctl.exe quit >/dev/null 2>&1)
else
  window_rc=1
  echo "the Windows tree did not build" >"$window_log"
fi
window_took=$(($(date +%s) - window_start))

wait "$flasher_job"
flasher_rc=$?
flasher_took=$(($(date +%s) - flasher_start))
# ctest -V puts the test's number before each of its lines.
sed -n 's/^[0-9]*: //p' "$flasher_log" |
  grep -E '^(series:|soak:|.*Failure|Expected|  Actual|Which is|.* grew )' | head -40
[ "$flasher_rc" -eq 0 ] || tail -20 "$flasher_log"

echo
echo "== soak summary (window program $window_took s, flasher $flasher_took s," \
  "all $(($(date +%s) - start)) s)"
failed=0
for part in "window program:$window_rc:$window_log" "flasher:$flasher_rc:$flasher_log"; do
  IFS=: read -r name rc log <<<"$part"
  line=$(sed 's/^[0-9]*: //' "$log" | grep -E "^soak: $name: " | tail -1)
  if [ -z "$line" ]; then
    echo "soak: $name: FAILED before its counts (exit code $rc; see $log)"
    failed=1
  else
    echo "$line"
    [ "$rc" -eq 0 ] || failed=1
  fi
done
exit "$failed"
