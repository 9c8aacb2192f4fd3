#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Idempotent: when every package is present it does nothing (and needs no root).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-liberation fonts-dejavu-core
  fp-utils
  binutils
  clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
  g++-mingw-w64-i686-posix mingw-w64-i686-dev
  wixl msitools
  dpkg-dev xz-utils help2man
  xvfb xauth x11-utils xdotool openbox imagemagick
  qt6-translations-l10n
  libedit-dev nlohmann-json3-dev libfmt-dev
  python3 python3-pytest python3-jsonschema
  wine32:i386
  libtango-dev python3-tango tango-db mariadb-server mariadb-client dbconfig-no-thanks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
# wine32 (the 32-bit Windows programs' tests) comes from Debian's i386
# architecture, which dpkg must know before APT lists its packages.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
# tango-db would set up its database in the system's MariaDB; the tests start
# a private MariaDB and TANGO database of their own instead.
echo 'tango-db tango-db/dbconfig-install boolean false' | "${as_root[@]}" debconf-set-selections
# Packages must not start system services (MariaDB): a policy that refuses
# every start, in place only while apt-get runs.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod 755 "$policy"
  own_policy=1
fi
trap '[ "$own_policy" -eq 0 ] || "${as_root[@]}" rm -f "$policy"' EXIT
# A mirror in the middle of a sync answers with lists of the wrong size for a
# minute or two: the lists and the install are tried again, with pauses, before
# the run gives up. A list that fails again in just the same way (the same
# file, the same sizes) is not being synced but stays broken: waiting longer
# would not mend it.
apt() { "${as_root[@]}" apt-get -o DPkg::Lock::Timeout=900 "$@"; }
failed='' before=''
for try in 1 2 3 4; do
  failed=$(apt update -qq 2>&1 >/dev/null) && break
  printf '%s\n' "$failed" >&2
  failed=$(grep '^E: Failed to fetch' <<<"$failed" || true)
  if [ "$try" -eq 4 ] || { [ -n "$failed" ] && [ "$failed" = "$before" ]; }; then
    echo "install-deps: the package lists could not be fetched; trying with the ones there are" >&2
    break
  fi
  before=$failed
  echo "install-deps: the package lists failed (try $try of 4); again in $((try * 30)) s" >&2
  sleep $((try * 30))
done
# With one architecture's list missing (i386's security list, say), the
# versions of the two architectures cannot match; the release's own suite
# (-t CODENAME), whose lists are complete, still gives a consistent set.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
release=()
for try in 1 2 3; do
  apt install -y -qq --no-install-recommends "${release[@]}" "${missing[@]}" && exit 0
  [ "$try" -lt 3 ] || { echo "install-deps: could not install ${missing[*]}" >&2; exit 1; }
  if [ ${#release[@]} -eq 0 ] && [ -n "$codename" ]; then
    echo "install-deps: the install failed (try $try of 3); again from the $codename suite alone" >&2
    release=(-t "$codename")
  else
    echo "install-deps: the install failed (try $try of 3); again in 60 s with fresh lists" >&2
    sleep 60
    apt update -qq || true
  fi
done
