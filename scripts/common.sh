# Shared by run.sh and test.sh: build trees, a private Wine prefix and a virtual display.
# Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
jobs=$(nproc 2>/dev/null || echo 2)
# Every build here carries the repository's placeholder, so it is for running and testing,
# never for flashing; a release build names the real image instead.
placeholder_image="$repo/resources/firmware/placeholder_140.bin"

export WINEDEBUG=-all
# PRIVATE_WINEPREFIX puts a run into a prefix of your own.
export WINEPREFIX="${PRIVATE_WINEPREFIX:-$build/wineprefix}"
export WINEARCH=win64

configure_and_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$repo" -B "$dir" -DUPDATER_FIRMWARE_IMAGE="$placeholder_image" "$@" \
    >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 ||
    { grep -E 'error|Error' -A3 "$dir.build.log" | head -60; return 1; }
}

build_windows() {  # the 64-bit program, the simulated unit and the Windows tests
  mkdir -p "$build"
  configure_and_build "$build/win64" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR=wine "$@"
}

started_xvfb=""
start_display() {
  # A display of our own, on the first free number from 90 on.
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

# Which halves of Wine are installed: a prefix made before the 32-bit half was added fails
# afterwards, even for 64-bit programs ("could not load kernel32.dll").
wine_halves() {
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "win64+wow64"
  else
    echo "win64"
  fi
}

prepare_wine() {
  local halves
  halves=$(wine_halves)
  if [ -f "$WINEPREFIX/system.reg" ] &&
    [ "$(cat "$WINEPREFIX/.updater-wine-halves" 2>/dev/null || echo win64)" != "$halves" ]; then
    echo "Wine prefix $WINEPREFIX was made for another Wine installation; making it anew"
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # No .NET or HTML engine: nothing here needs them, and their installers must not prompt.
    WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1 || true
    # Unmanaged windows: without a window manager Wine otherwise waits about 2 s whenever a
    # window hides.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    echo "$halves" >"$WINEPREFIX/.updater-wine-halves"
  fi
  # A persistent server with its services already running: otherwise the first Wine program
  # of a test starts them, they inherit its output pipe, and ctest waits on them for ever.
  wineserver -p >/dev/null 2>&1 || true
  wineboot >/dev/null 2>&1 || true
}

stop_started() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
}
