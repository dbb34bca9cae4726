# Shared by run.sh, test.sh, bench.sh and the scripts here: build trees from the presets, a
# private Wine prefix (scripts/wine.sh) and a virtual display. Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
jobs=$(nproc 2>/dev/null || echo 2)
# Every build here carries the repository's placeholder, so it is for running and testing,
# never for flashing; a release build names the real image instead.
placeholder_image="$repo/resources/firmware/placeholder_140.bin"

source "$repo/scripts/wine.sh"

# emcc's JavaScript optimizer finds Debian's acorn only there, with a node from outside Debian.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

# A compiler cache for every tree, shared between build folders and clones: paths inside the
# clone count relative to it, and the working folder is left out of the hash, so the same file
# compiled in another clone (or in the soak's and the package's trees) is a hit. Only a
# debugger's view of a cached object's source folder can then be another clone's.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$repo" CCACHE_NOHASHDIR=1
  # The presets take it from here, for every tree.
  export UPDATER_COMPILER_LAUNCHER=ccache
fi

# Configures the tree `dir` from the preset of CMakePresets.json, with any further -D values,
# and builds it; the logs beside the tree, the first errors shown.
configure_and_build() {  # dir, preset, cmake args...
  local dir=$1 preset=$2
  shift 2
  (cd "$repo" && cmake --preset "$preset" -B "$dir" "$@") >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 ||
    { grep -E 'error|Error' -B2 -A3 "$dir.build.log" | head -60; return 1; }
}

build_windows() {  # the 64-bit program, the simulated unit and the Windows tests
  mkdir -p "$build"
  configure_and_build "$build/win64" win64
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

stop_started() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$started_xvfb" ]; then kill "$started_xvfb" 2>/dev/null || true; fi
}
