#!/bin/bash
# Installs a build into a scratch prefix, and unpacks its Debian packages
# (cpack) into a scratch root; in each it builds a user's program twice, with
# find_package(camac) and with pkg-config, runs each on a private virtual
# crate, and runs the installed kt40 and Python package. Nothing outside the
# scratch folder (and the build's packages/ folder) is touched.
#   tests/install/check.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kt40-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "install-check: $*" >&2; exit 1; }
export KT40_SIM_STATE=private
unset KT40_CAMAC_LIBRARY KT40_CAMAC758_LIBRARY KT40_CAMACTOOLS_LIBRARY

check_prefix() { # check_prefix PREFIX WHAT
local prefix=$1 what=$2 out flags libdir pydir
libdir=$(find "$prefix" -name 'libcamac.so.1' -printf '%h\n' | head -1)
[ -n "$libdir" ] || fail "no libcamac.so.1 installed"
for f in include/camac.h include/camac758.h bin/kt40; do [ -e "$prefix/$f" ] || fail "$f not installed"; done
[ ! -e "$prefix/include/camac_private.h" ] || fail "the private header was installed"
# The manual pages, made of the programs' --help: each names what it documents.
zcat "$prefix/share/man/man1/kt40.1.gz" 2>/dev/null | grep -q 'kt40 shell' || fail "no manual page of kt40"
if [ -x "$build/tervan/tervan" ]; then
  zcat "$prefix/share/man/man1/tervan.1.gz" 2>/dev/null | grep -q 'KT40_ADAPTER' || fail "no manual page of tervan"
  # The panel looks for its help in PREFIX/share/kt40 when it is not beside it.
  [ -f "$prefix/share/kt40/help/index.html" ] || fail "the panel's help is not in share/kt40"
fi
if [ -x "$build/tango/CamacDS" ]; then
  zcat "$prefix/share/man/man1/CamacDS.1.gz" 2>/dev/null | grep -q 'LamAcknowledge' || fail "no manual page of CamacDS"
fi

# find_package(camac CONFIG): camac::camac758 brings camac::camac and the headers.
cmake -S "$here" -B "$work/cmake-build-$what" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; fail "find_package(camac) failed"; }
cmake --build "$work/cmake-build-$what" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "the CMake build failed"; }
out=$("$work/cmake-build-$what/readout") || fail "the find_package build ran and failed: $out"
echo "install-check: $what: find_package: $out"

# pkg-config: camac758 requires camac; the files find the prefix from where they are.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs camac758) || fail "pkg-config does not know camac758"
cc -Wall -Werror -o "$work/readout-pc-$what" "$here/readout.c" $flags -Wl,-rpath,"$libdir" || fail "the pkg-config build failed ($flags)"
out=$("$work/readout-pc-$what") || fail "the pkg-config build ran and failed: $out"
echo "install-check: $what: pkg-config ($(pkg-config --modversion camac)): $out"

# The tools and the Python package as installed, the library found beside them.
"$prefix/bin/kt40" --version | grep -qx 'kt40 1.0' || fail "the installed kt40 does not run"
"$prefix/bin/kt40" cnaf 0 5 0 0 >/dev/null || fail "the installed kt40 cannot reach the virtual crate"
pydir=$(find "$prefix" -type d -path '*dist-packages' | head -1)
out=$(cd "$work" && LD_LIBRARY_PATH="$libdir" PYTHONPATH="$pydir" /usr/bin/python3 -c \
  'import kt40; c = kt40.Crate(0); c.cnaf(5, 0, 16, data=77); print(kt40.__file__, c.cnaf(5, 0, 0).data)') ||
  fail "the installed Python package failed"
case "$out" in "$pydir"/kt40/__init__.py\ 77) ;; *) fail "the installed Python package said: $out" ;; esac
echo "install-check: $what: python: the installed package reads back 77"
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "install failed"; }
check_prefix "$work/prefix" install

# The packages: each component's, with the dependencies a user's system needs.
(cd "$build" && rm -rf packages && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
declare -A depends=(
  [libcamac1]="libc6" [libcamac-dev]="libcamac1 (= 1.0)" [kt40-tools]="libcamac1 (= 1.0)"
  [python3-kt40]="python3")
[ -x "$build/tango/CamacDS" ] && depends[camacds]="libtango9"  # where TANGO is installed
for name in "${!depends[@]}"; do
  deb=$(ls "$build"/packages/"${name}"_1.0_*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || fail "no package $name"
  dpkg-deb -f "$deb" Depends | grep -qF "${depends[$name]}" || fail "$name does not depend on ${depends[$name]}"
  dpkg-deb -x "$deb" "$work/root"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' >>"$work/files"
done
dups=$(sort "$work/files" | uniq -d)
[ -z "$dups" ] || fail "files in two packages: $dups"
check_prefix "$work/root/usr" packages
echo "install-check: packages: $(cd "$build/packages" && ls | tr '\n' ' ')"
