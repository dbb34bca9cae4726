# Wine and the machine's 32-bit support, as the scripts find them: the loaders, the prefix, which
# halves of Wine are installed, and whether this kernel runs 32-bit programs at all. Sourced by
# scripts/common.sh, not run. What it finds goes to the build trees through the presets' $env{}:
# UPDATER_WINE64 and UPDATER_WINE32 (the loaders the Windows trees run their tests with).

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
export UPDATER_WINE64="$wine64" UPDATER_WINE32="$wine32"

# The loader a Windows tree was configured to run its programs with (its
# CMAKE_CROSSCOMPILING_EMULATOR): the 32-bit one for an i686 tree with tests, else the 64-bit one.
tree_loader() {  # tree
  local loader
  loader=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null)
  # A tree configured before the loader was named says `wine`: it is a 64-bit one.
  [ -n "$loader" ] && [ "$loader" != wine ] || loader=$wine64
  echo "$loader"
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
