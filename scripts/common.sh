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
# Every 64-bit program starts with the 64-bit loader, named here: `wine` takes the 32-bit loader
# whenever Wine's 32-bit half is installed, and on a kernel that runs no 32-bit code that fails
# with "Exec format error", even for 64-bit programs. A program's children of its own width
# start with the loader it was started with.
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64 || echo wine64)
# The 32-bit loader, there only with Wine's 32-bit half (installed only where 32-bit code runs).
wine32=/usr/lib/wine/wine

# The loader a Windows tree was configured to run its programs with (its
# CMAKE_CROSSCOMPILING_EMULATOR): the 32-bit one for an i686 tree with tests, else the 64-bit one.
tree_loader() {  # tree
  local loader
  loader=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null)
  # A tree configured before the loader was named says `wine`: it is a 64-bit one.
  [ -n "$loader" ] && [ "$loader" != wine ] || loader=$wine64
  echo "$loader"
}

# A compiler cache for every tree, shared between build folders and clones: paths inside the
# clone count relative to it, and the working folder is left out of the hash, so the same file
# compiled in another clone (or in the soak's and the package's trees) is a hit. Only a
# debugger's view of a cached object's source folder can then be another clone's.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$repo" CCACHE_NOHASHDIR=1
  # The scripts that configure trees of their own (soak, package) take it from here.
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  compiler_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
else
  compiler_launcher=()
fi

configure_and_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$repo" -B "$dir" -DUPDATER_FIRMWARE_IMAGE="$placeholder_image" \
    "${compiler_launcher[@]}" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 ||
    { grep -E 'error|Error' -B2 -A3 "$dir.build.log" | head -60; return 1; }
}

build_windows() {  # the 64-bit program, the simulated unit and the Windows tests
  mkdir -p "$build"
  configure_and_build "$build/win64" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR="$wine64" "$@"
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

# Whether this kernel runs 32-bit x86 programs: a 96-byte static i386 ELF that only calls
# exit(0), made here and run. Some kernels have IA-32 emulation off; there Wine's 32-bit half
# must not be installed (it would break `wine` for 64-bit programs too). Sets
# no_32bit_reason when it cannot.
no_32bit_reason=""
runs_32bit_code() {
  local probe
  # In the build folder, not /tmp: that may be mounted without execution.
  mkdir -p "$build" && probe=$(mktemp "$build/i386-probe.XXXXXX") || return 1
  {
    # ELF header
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
    printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'
    printf '\x00\x00\x00\x00\x00\x00'
    # one loadable segment: the whole file at 0x08048000
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00'
    printf '\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # mov eax,1; xor ebx,ebx; int 0x80: exit(0)
    printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80\x00\x00\x00'
  } >"$probe"
  chmod +x "$probe"
  local said rc
  said=$("$probe" 2>&1)
  rc=$?
  rm -f "$probe"
  [ "$rc" -eq 0 ] && return 0
  said=${said##*: }  # the shell's "PATH: cannot execute binary file: Exec format error"
  no_32bit_reason="this kernel runs no 32-bit programs (a static i386 ELF: ${said:-exit code $rc})"
  return 1
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
    WINEDLLOVERRIDES='mscoree,mshtml=' "$wine64" wineboot -i >/dev/null 2>&1 || true
    # Unmanaged windows: without a window manager Wine otherwise waits about 2 s whenever a
    # window hides.
    "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    echo "$halves" >"$WINEPREFIX/.updater-wine-halves"
  fi
  # A persistent server with its services already running: otherwise the first Wine program
  # of a test starts them, they inherit its output pipe, and ctest waits on them for ever.
  wineserver -p >/dev/null 2>&1 || true
  "$wine64" wineboot >/dev/null 2>&1 || true
}

stop_started() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
}
