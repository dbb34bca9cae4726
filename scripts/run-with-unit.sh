#!/usr/bin/env bash
# Runs the real ZirvanoUpdater.exe under Wine against the simulated programming unit.
#
# Usage: scripts/run-with-unit.sh [scenario]
#   ready                  a TAVILINK with a ZIRVANO 60 LV ESC on firmware 3.2 (default)
#   no-unit                nothing plugged in
#   bootloader             the unit runs its own bootloader
#   no-esc                 the unit reports no updatable ESC
#   other-esc              an ESC of another type
#   erase-fails            ready, but the unit answers the erase with an error
#   vanishes-mid-transfer  ready, but the unit disappears after 1000 data blocks
#   german, german-no-unit ready / nothing plugged in, with a German user interface
#
# With a DISPLAY the program opens there and you use it; closing it ends the run. Without one,
# the script starts a virtual display, plays the scenario through e2e_driver.exe (for a ready
# unit: Update, the boxes, the whole transfer) and saves screenshots into build/screenshots/.
#
# The tree is build/win64 (UPDATER_TREE overrides it); PRIVATE_WINEPREFIX puts the run into a
# Wine prefix of your own instead of build/wineprefix.
set -euo pipefail
source "$(dirname "$0")/common.sh"

scenario=${1:-ready}
tree=${UPDATER_TREE:-$build/win64}
simunit="$tree/simunit"
locale=en_US.UTF-8
faults=()
case "$scenario" in
  ready) units=("plug unit") ;;
  no-unit) units=() ;;
  bootloader) units=("plug unit mode=boot") ;;
  no-esc) units=("plug unit esc=1") ;;
  other-esc) units=("plug unit type=0B07403C") ;;
  erase-fails) units=("plug unit"); faults=("fault unit 1e 1 error 5") ;;
  vanishes-mid-transfer) units=("plug unit"); faults=("fault unit 1b 1000 disconnect") ;;
  german) units=("plug unit"); locale=de_DE.UTF-8 ;;
  german-no-unit) units=(); locale=de_DE.UTF-8 ;;
  *) sed -n '4,13p' "$0"; exit 2 ;;
esac
for file in ZirvanoUpdater.exe unit_server.exe simctl.exe setupapi.dll hid.dll e2e_driver.exe; do
  [ -f "$simunit/$file" ] || { echo "missing $simunit/$file: build the Windows tree first"; exit 1; }
done

server_pid=""
stop_everything() {
  if [ -n "$server_pid" ]; then
    (cd "$simunit" && timeout 10 wine simctl.exe quit >/dev/null 2>&1) || true
    wait "$server_pid" 2>/dev/null || true
  fi
  stop_started
}
trap stop_everything EXIT

interactive=1
if [ -z "${DISPLAY:-}" ]; then
  interactive=0
  start_display
fi
prepare_wine

# The server plugs the units named on its command line before it listens.
server_log=$(mktemp)
(cd "$simunit" && exec wine unit_server.exe "${units[@]}" "${faults[@]}") >"$server_log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do grep -q ready "$server_log" && break; sleep 0.1; done
grep -q ready "$server_log" || { echo "the unit server did not start:"; cat "$server_log"; exit 1; }
rm -f "$server_log"

# Only the updater gets the substitute DLLs, and the locale that picks its language.
run_env=(env LANG="$locale" LC_ALL="$locale" WINEDLLOVERRIDES="setupapi,hid=n")

if [ "$interactive" -eq 1 ]; then
  echo "ZirvanoUpdater.exe on $DISPLAY, scenario $scenario; close its window to end."
  tool="cd $simunit && WINEPREFIX=$WINEPREFIX wine"
  echo "To unplug the unit meanwhile: ($tool simctl.exe unplug unit && $tool e2e_driver.exe remove)"
  echo "To plug it in again:          ($tool simctl.exe plug unit && $tool e2e_driver.exe arrive)"
  (cd "$simunit" && "${run_env[@]}" wine ZirvanoUpdater.exe) || true
  exit 0
fi

# Headless: a virtual desktop, so that captions are drawn, and the driver on the same desktop.
desktop=zirvano
shots="$build/screenshots"
mkdir -p "$shots"
rm -f "$shots/$scenario"-[0-9]-*.png
(cd "$simunit" && exec "${run_env[@]}" wine explorer /desktop=$desktop,1280x1024 ZirvanoUpdater.exe) \
  >/dev/null 2>&1 &
drive() { (cd "$simunit" && wine e2e_driver.exe --desktop "$desktop" "$@"); }
shot_number=0
shot() {  # name
  shot_number=$((shot_number + 1))
  local file
  file="$shots/$scenario-$shot_number-$1.png"
  # Without a window manager nothing activates the window; a user's start would.
  drive activate >/dev/null || true
  # Let the last paint reach the screen before it is read.
  sleep 0.5
  local area
  area=$(drive rect)
  import -window root -crop "$area" +repage "$file"
  echo "screenshot: $file"
}

# The incompatibility box comes up before the window shows.
[ "$scenario" = other-esc ] || drive wait-window 60
case "$scenario" in
  ready | german | erase-fails | vanishes-mid-transfer)
    drive wait-hint ready 30
    shot ready
    drive press-update
    drive wait-box 30
    shot warning
    drive answer ok 30
    case "$scenario" in
      ready | german)
        drive wait-flash 40000 120
        shot transfer
        drive wait-transfer-end 180
        drive wait-hint success 30
        shot success ;;
      erase-fails)
        drive wait-box 60
        shot error
        drive answer ok 30
        drive wait-hint failure 30
        shot failure-hint ;;
      vanishes-mid-transfer)
        drive wait-flash 20000 120
        shot transfer
        drive wait-box 120
        # The system reports the vanished unit while the box is open; the link is gone already.
        drive remove
        shot error
        drive answer ok 30
        drive wait-hint failure 30
        shot failure-hint ;;
    esac ;;
  no-unit | german-no-unit) drive wait-hint no-unit 30; shot no-unit ;;
  bootloader) drive wait-hint wrong-mode 30; shot wrong-mode ;;
  no-esc) drive wait-hint no-esc 30; shot no-esc ;;
  other-esc)
    drive wait-box 30
    shot incompatible
    drive answer ok 30
    drive wait-hint incompatible 30
    shot incompatible-hint ;;
esac
drive show
drive close 30
echo "screenshots in $shots"
