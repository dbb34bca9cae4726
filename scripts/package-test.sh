#!/usr/bin/env bash
# Builds the Debian package of zirvano-flash and proves it in a clean Debian 12 root: installed
# with apt (its Depends come from the mirror), the program and its manual page run, udev itself
# shows that the installed rule gives a unit's hidraw node to the user at the computer and
# leaves every other device alone, and a purge leaves nothing of it behind.
#
#   bash scripts/package-test.sh [BUILD_DIR]
#
# BUILD_DIR: a configured build tree to package; default build/package, configured here
# (Release, no tests). Needs root: the Debian root is made once with debootstrap from this
# machine's Debian mirror and kept between runs, outside the clone, in
# ZIRVANO_PACKAGE_ROOT (default /var/cache/zirvano-flash/debian12-root). A pristine copy of it
# lies beside it; a root that a run left dirty is restored from that copy.
# Prints PASS or FAIL per check; exits non-zero on any failure.
set -uo pipefail
source "$(dirname "$0")/common.sh"

package_dir=$(realpath -m "${1:-$build/package}")
root=${ZIRVANO_PACKAGE_ROOT:-/var/cache/zirvano-flash/debian12-root}
ready_marker=$root.ready         # written last when the root is made: a half-made root is made anew
pristine_copy=$root.tar          # the root as made, to restore a dirty one from
pristine_packages=$root.packages # its packages, to tell a clean root
in_use_marker=$root.in-use       # a run that stops before it cleaned up leaves this behind
# apt dates its lists by the mirror's files, so the root keeps its own note of the last fetch.
lists_fetched=$root/var/lib/apt/package-test.lists-fetched
suite=bookworm
rule_name=70-zirvano-programming-unit.rules
rule_path=/usr/lib/udev/rules.d/$rule_name
manual_path=/usr/share/man/man1/zirvano-flash.1.gz

failures=0
pass() { echo "PASS  $*"; }
fail() {
  echo "FAIL  $*"
  failures=$((failures + 1))
}
# A check's outcome from its exit code; the details on failure come from the check itself.
check() {  # description, command...
  local description=$1
  shift
  if "$@"; then pass "$description"; else fail "$description"; fi
}
now() { echo "$EPOCHREALTIME"; }
seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f s", b - a }'; }

# Runs a command inside the root with a plain environment.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

# Mounts made by this run, undone in reverse on exit whatever happens.
mounted=()
mount_in_root() {  # type, path inside the root
  mount -t "$1" "$1" "$root$2" || return 1
  mounted+=("$root$2")
}
unmount_last() {
  local last=$((${#mounted[@]} - 1))
  umount "${mounted[$last]}" && mounted=("${mounted[@]:0:$last}")
}
scratch=""
clean_up() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" || umount -l "${mounted[$i]}"
  done
  mounted=()
  if [ -n "$scratch" ]; then rm -rf "$scratch"; fi
  scratch=""
}
trap clean_up EXIT

# Nothing may be mounted below the root when it is deleted: that would delete the host's files.
mounts_below() { findmnt -rn -o TARGET | grep -F "$root/"; }
delete_root() {
  local target
  for target in $(mounts_below | sort -r); do umount "$target" || umount -l "$target"; done
  if mounts_below >/dev/null; then
    echo "still mounted below $root, not deleting it:"
    mounts_below
    return 1
  fi
  rm -rf --one-file-system "$root"
}

# The first URI of this machine's apt sources that ends in /NAME.
apt_source() {  # name
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | grep -E '^[[:space:]]*(URIs:|deb[[:space:]])' | grep -oE 'https?://[^[:space:]]+' |
    sed 's#/$##' | grep -E "/$1\$" | head -1
}

root_packages() { in_root dpkg-query -W -f '${Package} ${Version} ${Status}\n' | sort; }

make_root() {
  local mirror security
  mirror=$(apt_source debian)
  security=$(apt_source debian-security)
  mirror=${mirror:-http://deb.debian.org/debian}
  security=${security:-http://deb.debian.org/debian-security}
  rm -f "$ready_marker" "$pristine_copy" "$pristine_packages" "$in_use_marker"
  delete_root || return 1
  mkdir -p "$(dirname "$root")"
  echo "making the Debian 12 root from $mirror (once; kept in $root)"
  local start
  start=$(now)
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -20 "$root.debootstrap.log"; return 1; }
  echo "      debootstrap: $(seconds_since "$start")"
  start=$(now)
  cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  # The same date checks as this machine's apt, which fetches from the same mirror.
  apt-config dump | grep -E '^Acquire::Check-(Valid-Until|Date) ' \
    >"$root/etc/apt/apt.conf.d/90zirvano-package-test"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  mount_in_root proc /proc || return 1
  # man-db to read the page, udev and umockdev to run the rule against an emulated unit.
  { in_root apt-get update -qq &&
    in_root apt-get dist-upgrade -y -qq &&
    in_root apt-get install -y -qq --no-install-recommends man-db udev umockdev &&
    in_root apt-get clean; } >"$root.setup.log" 2>&1 || { tail -20 "$root.setup.log"; return 1; }
  root_packages >"$pristine_packages" || return 1
  touch "$lists_fetched"
  echo "      updates, man-db, udev, umockdev: $(seconds_since "$start")"
  start=$(now)
  unmount_last || return 1
  tar --numeric-owner --one-file-system -C "$root" -cf "$pristine_copy.part" . &&
    mv "$pristine_copy.part" "$pristine_copy" || return 1
  echo "      pristine copy: $(seconds_since "$start")"
  touch "$ready_marker"
}

restore_root() {
  echo "the root was left in use or changed; restoring its pristine copy"
  delete_root || return 1
  mkdir -p "$root" && tar --numeric-owner -C "$root" -xpf "$pristine_copy"
}

# A ready root, as it was made; root_state says how it came to be.
root_state=reused
prepare_root() {
  if [ ! -f "$ready_marker" ] || [ ! -f "$pristine_copy" ] || [ ! -f "$pristine_packages" ]; then
    root_state=made
    make_root
    return
  fi
  if [ -e "$in_use_marker" ] || ! root_packages | cmp -s - "$pristine_packages"; then
    root_state=restored
    restore_root && rm -f "$in_use_marker"
  fi
}

# --- the package ---------------------------------------------------------------------------

build_package() {
  mkdir -p "$(dirname "$package_dir")"
  if [ ! -f "$package_dir/CMakeCache.txt" ]; then
    (cd "$repo" && cmake --preset package -B "$package_dir") >"$package_dir.configure.log" 2>&1 ||
      { cat "$package_dir.configure.log"; return 1; }
  fi
  cmake --build "$package_dir" -j"$jobs" --target zirvano-flash zirvano-flash-manual \
    >"$package_dir.build.log" 2>&1 || { grep -E 'error|Error' -A3 "$package_dir.build.log" | head -40; return 1; }
  (cd "$package_dir" && cpack -G DEB) >"$package_dir.cpack.log" 2>&1 ||
    { tail -20 "$package_dir.cpack.log"; return 1; }
  deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$package_dir.cpack.log")
  [ -f "$deb" ] || { echo "cpack named no package"; return 1; }
}

control_field() { dpkg-deb -f "$deb" "$1"; }

fields_are_complete() {
  local ok=0 field maintainer_form='^[^<]+ <[^>@]+@[^>]+>$' hidapi_form=', libhidapi-hidraw0[ ,]'
  for field in Package Version Maintainer Description Depends; do
    echo "      $field: $(control_field "$field" | head -1)"
  done
  [ "$(control_field Package)" = zirvano-flash ] || ok=1
  [ -n "$(control_field Version)" ] || ok=1
  [[ "$(control_field Maintainer)" =~ $maintainer_form ]] || ok=1
  [ -n "$(control_field Description)" ] || ok=1
  [[ ", $(control_field Depends)," =~ $hidapi_form ]] || ok=1
  return $ok
}

# The program, its rule and its page, nothing else: no test programs, no libraries.
holds_only_the_program() {
  local expected actual
  expected=$(printf '%s\n' "./usr/bin/zirvano-flash" ".$manual_path" ".$rule_path" | sort)
  actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ print $6 }' | sort)
  [ "$actual" = "$expected" ] || { diff <(echo "$expected") <(echo "$actual"); return 1; }
}

# Whole outputs are captured before they are searched: `grep -q` stops reading at its match, and
# under pipefail the writer's broken pipe would count as a failure.
has_maintainer_scripts() {
  local info
  info=$(dpkg-deb -I "$deb") || return 1
  # An executable script is starred.
  grep -qE '^ +[0-9]+ bytes, +[0-9]+ lines +\* +postinst ' <<<"$info" &&
    grep -qE '^ +[0-9]+ bytes, +[0-9]+ lines +\* +postrm ' <<<"$info"
}

# --- in the root -----------------------------------------------------------------------------

installed() {  # package
  [ "$(in_root dpkg-query -W -f '${Status}' "$1" 2>/dev/null)" = 'install ok installed' ]
}

apt_installs_it() {
  in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" \
    >"$scratch/install.log" 2>&1 || { tail -20 "$scratch/install.log"; return 1; }
  installed zirvano-flash && installed libhidapi-hidraw0 ||
    { tail -20 "$scratch/install.log"; return 1; }
}

help_says_usage() {
  local out
  out=$(in_root zirvano-flash --help) || { echo "      exit code $?"; return 1; }
  grep -q '^Usage:' <<<"$out" && grep -q 'zirvano-flash update \[--unit PATH\]' <<<"$out"
}

german_help() {
  local out
  out=$(in_root env LANG=de_DE.UTF-8 zirvano-flash --help) && grep -q '^Aufruf:' <<<"$out"
}

version_matches_package() {
  local said
  said=$(in_root zirvano-flash --version) || return 1
  said=${said%%$'\n'*}
  echo "      $said"
  [[ "$said" == "zirvano-flash $(control_field Version) ("* ]]
}

manual_renders() {
  local out
  if ! in_root env MANWIDTH=80 man --warnings -l "$manual_path" >"$scratch/man.out" \
    2>"$scratch/man.err" || [ -s "$scratch/man.err" ]; then
    cat "$scratch/man.err"
    return 1
  fi
  grep -qx 'NAME' "$scratch/man.out" &&
    grep -q 'zirvano-flash - install the carried firmware' "$scratch/man.out" &&
    grep -qx 'EXIT STATUS' "$scratch/man.out" || { head -20 "$scratch/man.out"; return 1; }
  # And man finds it by name, where the package put it.
  out=$(in_root man -w zirvano-flash) && [ "$out" = "$manual_path" ] || { echo "      man -w: $out"; return 1; }
}

# A programming unit as the kernel shows it: the USB device, its HID interface, the HID device
# and its hidraw node, in umockdev's record format (the node first, then up its parents).
usb_parent=/devices/pci0000:00/0000:00:14.0/usb3/3-1
device_record() {  # vendor, product (lower-case hex)
  local vendor=$1 product=$2 hid
  hid=$(printf '0003:%s:%s.0001' "${vendor^^}" "${product^^}")
  cat <<EOF
P: $usb_parent/3-1:1.0/$hid/hidraw/hidraw0
N: hidraw0=00
E: DEVNAME=/dev/hidraw0
E: SUBSYSTEM=hidraw
A: dev=243:0

P: $usb_parent/3-1:1.0/$hid
E: SUBSYSTEM=hid
E: HID_ID=0003:0000${vendor^^}:0000${product^^}

P: $usb_parent/3-1:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
A: bInterfaceClass=03

P: $usb_parent
N: bus/usb/003/002
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
E: DEVNAME=/dev/bus/usb/003/002
A: idVendor=$vendor
A: idProduct=$product
A: dev=189:257
EOF
}

# `udevadm test` of one device of an emulated unit, in the root, with the rules installed
# there. udev keeps its database under /run/udev: a fresh /run per case, so that no case sees
# another's tags, and none is left in the root.
udev_test() {  # vendor, product, device (a sysfs path), output file
  device_record "$1" "$2" >"$root/tmp/unit.umockdev"
  mount_in_root tmpfs /run || return 1
  in_root umockdev-run -d /tmp/unit.umockdev -- udevadm test "$3" >"$4" 2>&1
  local status=$?
  unmount_last
  rm -f "$root/tmp/unit.umockdev"
  return $status
}

# udev ran its rules on the emulated hidraw node: its properties are printed at the end.
udev_saw_node() {  # output file, vendor, product
  grep -qx "DEVPATH=$usb_parent/3-1:1.0/0003:${2^^}:${3^^}.0001/hidraw/hidraw0" "$1" &&
    grep -qx 'SUBSYSTEM=hidraw' "$1"
}

# TAG+="uaccess" shows in the device's tags (TAGS: ever set, CURRENT_TAGS: set now).
uaccess_tagged() { grep -qE '^CURRENT_TAGS=.*:uaccess:' "$1"; }
untagged() { ! grep -qE '^(CURRENT_)?TAGS=.*:uaccess:' "$1"; }

rule_gives_node() {  # vendor, product
  local out=$scratch/udev-$1-$2.out
  udev_test "$1" "$2" /sys/class/hidraw/hidraw0 "$out" && udev_saw_node "$out" "$1" "$2" &&
    uaccess_tagged "$out" && grep -q "$rule_name:[0-9]* MODE 0660" "$out" ||
    { grep -vE '^Reading rules file' "$out" | tail -25; return 1; }
}

rule_leaves_node() {  # vendor, product
  local out=$scratch/udev-$1-$2.out
  udev_test "$1" "$2" /sys/class/hidraw/hidraw0 "$out" && udev_saw_node "$out" "$1" "$2" &&
    untagged "$out" && ! grep -q "$rule_name:" "$out" ||
    { grep -vE '^Reading rules file' "$out" | tail -25; return 1; }
}

# Only the hidraw node: the unit's USB device itself keeps its default access.
rule_leaves_usb_device() {
  local out=$scratch/udev-usb.out
  udev_test f0e1 0001 "/sys$usb_parent" "$out" && grep -qx "DEVPATH=$usb_parent" "$out" &&
    untagged "$out" && ! grep -q "$rule_name:" "$out" ||
    { grep -vE '^Reading rules file' "$out" | tail -25; return 1; }
}

purge_removes_it() {
  { in_root apt-get purge -y -q zirvano-flash && in_root apt-get autoremove --purge -y -q; } \
    >"$scratch/purge.log" 2>&1 || { tail -20 "$scratch/purge.log"; return 1; }
  local status
  status=$(in_root dpkg-query -W -f '${db:Status-Status}' zirvano-flash 2>/dev/null)
  [ -z "$status" ] || [ "$status" = not-installed ] || { echo "      dpkg: $status"; return 1; }
}

# Every file the package had is gone; a folder it had stays only where another package owns it.
nothing_left() {
  local path left=0
  while IFS= read -r path; do
    [ -n "$path" ] && [ "$path" != /. ] || continue
    if [ -d "$root$path" ] && [ ! -L "$root$path" ]; then
      in_root dpkg-query -S "$path" >/dev/null 2>&1 || { echo "      left: $path/"; left=1; }
    elif [ -e "$root$path" ] || [ -L "$root$path" ]; then
      echo "      left: $path"
      left=1
    fi
  done <"$scratch/files"
  return $left
}

# The root's files by name, but for the package system's own records and caches.
root_files() {
  (cd "$root" && find etc usr opt var -xdev -print 2>/dev/null) |
    grep -vE '^var/(lib/dpkg|lib/apt|cache|log)(/|$)' | sort
}

# Nothing the package's scripts made is left either.
files_as_before() {
  root_files | cmp -s - "$scratch/files-before" ||
    { diff "$scratch/files-before" <(root_files) | head -20; return 1; }
}

root_is_pristine() {
  root_packages | cmp -s - "$pristine_packages" ||
    { diff "$pristine_packages" <(root_packages) | head -20; return 1; }
}

# --- the run ---------------------------------------------------------------------------------

if [ "$(id -u)" -ne 0 ]; then
  echo "FAIL  package test: needs root (debootstrap, chroot)"
  exit 1
fi
command -v debootstrap >/dev/null || { echo "FAIL  package test: no debootstrap"; exit 1; }
scratch=$(mktemp -d)
run_start=$(now)

step_start=$(now)
if ! build_package; then
  fail "package built ($package_dir)"
  exit 1
fi
pass "package built: $deb ($(seconds_since "$step_start"))"
check "package: name, version, maintainer, description, Depends on libhidapi-hidraw0" \
  fields_are_complete
check "package: holds the program, its udev rule and its manual page, nothing else" \
  holds_only_the_program
check "package: has postinst and postrm (udev reload and hidraw trigger)" has_maintainer_scripts

# One run at a time on the root.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

step_start=$(now)
if ! prepare_root; then
  fail "Debian 12 root ready"
  exit 1
fi
pass "Debian 12 root $root_state: $root ($(seconds_since "$step_start"))"

touch "$in_use_marker"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount_in_root proc /proc || { fail "mounting /proc in the root"; exit 1; }
# The package lists: fresh enough to resolve Depends, fetched again after a day.
if [ -z "$(find "$lists_fetched" -mmin -1440 2>/dev/null)" ]; then
  in_root apt-get update -qq >"$scratch/update.log" 2>&1 ||
    { fail "apt-get update in the root"; cat "$scratch/update.log"; exit 1; }
  touch "$lists_fetched"
fi
cp "$deb" "$root/tmp/"

root_files >"$scratch/files-before"
step_start=$(now)
check "apt installs the package, its Depends from the mirror (libhidapi-hidraw0)" apt_installs_it
echo "      install: $(seconds_since "$step_start")"
step_start=$(now)
in_root dpkg-query -L zirvano-flash >"$scratch/files" 2>/dev/null
check "zirvano-flash --help: exit 0, shows the usage" help_says_usage
check "zirvano-flash --help in German with LANG=de_DE.UTF-8" german_help
check "zirvano-flash --version names the package's version" version_matches_package
check "man -l $manual_path renders without warnings; man finds the page" manual_renders
check "udev: TAVILINK node (f0e1:0001) tagged uaccess, mode 0660" rule_gives_node f0e1 0001
check "udev: ZELQUAD node (f0e1:0002) tagged uaccess, mode 0660" rule_gives_node f0e1 0002
check "udev: f0e1:0003 node left alone" rule_leaves_node f0e1 0003
check "udev: another vendor's node (046d:c52b) left alone" rule_leaves_node 046d c52b
check "udev: another vendor's node with a unit's product number (1209:0001) left alone" \
  rule_leaves_node 1209 0001
check "udev: the unit's USB device itself left alone" rule_leaves_usb_device
echo "      program, page and udev checks: $(seconds_since "$step_start")"

step_start=$(now)
check "apt-get purge removes the package (and autoremove its Depends)" purge_removes_it
check "no file of the package left ($(grep -c . "$scratch/files") paths)" nothing_left
check "no other file left or taken away under /etc, /usr, /opt, /var" files_as_before
check "udev: after the purge the TAVILINK node is no longer tagged" rule_leaves_node f0e1 0001
rm -f "$root/tmp/$(basename "$deb")"
check "root back as made (same packages)" root_is_pristine
echo "      purge and its checks: $(seconds_since "$step_start")"

clean_up
# A dirty root is restored at the next run.
[ "$failures" -eq 0 ] && rm -f "$in_use_marker"

echo "package test: $failures failed, $(seconds_since "$run_start") in all"
[ "$failures" -eq 0 ]
