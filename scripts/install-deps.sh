#!/usr/bin/env bash
# Installs the build and test tools on Debian 12 (as root), and the browser tests' driver from
# npm. Quick when everything is there.
#   --wine32  also Wine's 32-bit half (the i386 architecture and wine32:i386), for running the
#             i686 executables; test.sh asks for it only where the kernel runs 32-bit programs,
#             since elsewhere it breaks `wine` for 64-bit programs as well.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev googletest ccache
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 xvfb xdotool imagemagick procps bc
  libhidapi-dev libudev-dev umockdev libumockdev-dev pkg-config libsystemd-dev dbus-daemon
  python3-jsonschema
  debootstrap dpkg-dev
)

if [ "${1:-}" = --wine32 ]; then
  packages+=(wine32:i386)
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi

# The browser page: Emscripten (its libraries come prebuilt), the acorn its JavaScript optimizer
# needs, and Chromium for the tests. Without recommends: nothing of theirs is needed here.
browser_packages=(emscripten node-acorn chromium)
# The machine may bring its own node and npm from outside Debian; Debian's npm would clash with
# them, so Debian's are taken only where there is none.
command -v npm >/dev/null 2>&1 || browser_packages+=(nodejs npm)

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_browser < <(missing_of "${browser_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_browser[@]} -gt 0 ]; then
  echo "installing: ${missing[*]} ${missing_browser[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # With recommends, as verified: Wine needs its fonts and the X libraries it only recommends.
  [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq "${missing[@]}" >/dev/null
  [ ${#missing_browser[@]} -eq 0 ] ||
    apt-get install -y -qq --no-install-recommends "${missing_browser[@]}" >/dev/null
fi

# The browser tests' driver, as package-lock.json pins it; it drives the system Chromium and
# never downloads a browser.
web_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/web"
if [ ! -f "$web_tests/node_modules/.package-lock.json" ] ||
  [ "$web_tests/package-lock.json" -nt "$web_tests/node_modules/.package-lock.json" ]; then
  (cd "$web_tests" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
