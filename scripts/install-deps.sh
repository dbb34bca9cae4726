#!/usr/bin/env bash
# Installs the build and test tools on Debian 12 (as root). Quick when everything is there.
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

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# With recommends, as verified: Wine needs its fonts and the X libraries it only recommends.
apt-get install -y -qq "${missing[@]}" >/dev/null
