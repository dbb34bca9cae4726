#!/usr/bin/env bash
# Runs the real ZirvanoUpdater.exe under Wine against the simulated programming unit, in one of
# the situations of the end-to-end table (tests/e2e/scenarios.cpp).
#
# Usage: scripts/run-with-unit.sh [situation]
#   situation  a name from `e2e_driver.exe situations` (default: ready, the whole update), or
#              the name of any row of the table, as `e2e_driver.exe list` prints it
#
# With a DISPLAY the program opens there, with the row's unit set-up and language, and you use
# it; closing it ends the run. Without one, the script starts a virtual display and the driver
# plays the row itself, checking every step as the e2e suite does, and the screenshots of what
# the steps leave on screen are saved into build/screenshots/.
#
# The tree is build/win64 (UPDATER_TREE overrides it); PRIVATE_WINEPREFIX puts the run into a
# Wine prefix of your own instead of build/wineprefix.
set -euo pipefail
source "$(dirname "$0")/common.sh"

scenario=${1:-ready}
tree=${UPDATER_TREE:-$build/win64}
simunit="$tree/simunit"
for file in ZirvanoUpdater.exe unit_server.exe simctl.exe setupapi.dll hid.dll e2e_driver.exe; do
  [ -f "$simunit/$file" ] || { echo "missing $simunit/$file: build the Windows tree first"; exit 1; }
done

server_pid=""
acks=""
stop_everything() {
  if [ -n "$server_pid" ]; then
    (cd "$simunit" && timeout 10 "$wine64" simctl.exe quit >/dev/null 2>&1) || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ -n "$acks" ]; then rm -f "$acks"; fi
  stop_started
}
trap stop_everything EXIT

interactive=1
if [ -z "${DISPLAY:-}" ]; then
  interactive=0
  start_display
fi
prepare_wine

driver() { (cd "$simunit" && "$wine64" e2e_driver.exe "$@"); }

# The row's language on the first line, then the unit server's set-up commands.
if ! setup=$(driver setup "$scenario"); then
  echo "no situation or row \"$scenario\"; the situations are:"
  driver situations | sed 's/^/  /'
  echo "and every row that \`$wine64 e2e_driver.exe list\` prints in $simunit"
  exit 2
fi
mapfile -t lines <<<"$setup"
commands=("${lines[@]:1}")
locale=en_US.UTF-8
[ "${lines[0]}" = german ] && locale=de_DE.UTF-8

# Only the updater and the driver get the substitute DLLs, and the locale that picks the
# language; the updater inherits them from the driver.
run_env=(env LANG="$locale" LC_ALL="$locale" WINEDLLOVERRIDES="setupapi,hid=n")

if [ "$interactive" -eq 1 ]; then
  # The server runs the set-up commands on its command line before it listens.
  server_log=$(mktemp)
  (cd "$simunit" && exec "$wine64" unit_server.exe "${commands[@]}") >"$server_log" 2>&1 &
  server_pid=$!
  for _ in $(seq 200); do grep -q ready "$server_log" && break; sleep 0.1; done
  grep -q ready "$server_log" || { echo "the unit server did not start:"; cat "$server_log"; exit 1; }
  rm -f "$server_log"
  echo "ZirvanoUpdater.exe on $DISPLAY, situation $scenario; close its window to end."
  tool="cd $simunit && WINEPREFIX=$WINEPREFIX $wine64"
  echo "To unplug the unit meanwhile: ($tool simctl.exe unplug unit && $tool e2e_driver.exe remove)"
  echo "To plug it in again:          ($tool simctl.exe plug unit && $tool e2e_driver.exe arrive)"
  (cd "$simunit" && "${run_env[@]}" "$wine64" ZirvanoUpdater.exe) || true
  exit 0
fi

# Headless: a virtual desktop, so that captions are drawn; the driver opens the program on it.
desktop=zirvano
shots="$build/screenshots"
name=${scenario// /-}
mkdir -p "$shots"
rm -f "$shots/$name"-[0-9]*-*.png
(cd "$simunit" && exec "$wine64" explorer /desktop=$desktop,1280x1024) >/dev/null 2>&1 &

# The driver says "shot NAME WxH+X+Y" and waits for a line back; the screenshot is taken
# meanwhile. The answers go through a FIFO held open here, so that opening it never blocks.
acks=$(mktemp -u)
mkfifo "$acks"
exec 3<>"$acks"
shot_number=0
status=0
(cd "$simunit" &&
  exec "${run_env[@]}" "$wine64" e2e_driver.exe --desktop "$desktop" play "$scenario" --shots <"$acks") |
  while IFS= read -r line; do
    case "$line" in
      "shot "*)
        read -r _ shot area <<<"$line"
        shot_number=$((shot_number + 1))
        file="$shots/$name-$shot_number-$shot.png"
        # Let the last paint reach the screen before it is read.
        sleep 0.5
        import -window root -crop "$area" +repage "$file"
        echo "screenshot: $file"
        echo >&3
        ;;
      *) echo "$line" ;;
    esac
  done || status=$?
exec 3>&-
echo "screenshots in $shots"
exit "$status"
