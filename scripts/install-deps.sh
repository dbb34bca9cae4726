#!/usr/bin/env bash
# Installs the build and test tools on Debian 12 (as root). Quick when everything is there.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 xvfb xdotool imagemagick procps bc
  libhidapi-dev libudev-dev umockdev libumockdev-dev pkg-config libsystemd-dev dbus-daemon
  python3-jsonschema
  debootstrap dpkg-dev
)

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
