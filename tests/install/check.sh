#!/bin/bash
# Installs a build into a scratch prefix and builds a user's program against
# it twice, with find_package(camac) and with pkg-config, then runs each on a
# private virtual crate; also imports the installed Python package and runs
# the installed kt40. Nothing outside the scratch folder is touched.
#   tests/install/check.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kt40-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "install-check: $*" >&2; exit 1; }
export KT40_SIM_STATE=private
unset KT40_CAMAC_LIBRARY KT40_CAMAC758_LIBRARY

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "install failed"; }
libdir=$(find "$prefix" -name 'libcamac.so.1' -printf '%h\n' | head -1)
[ -n "$libdir" ] || fail "no libcamac.so.1 installed"
for f in include/camac.h include/camac758.h bin/kt40; do [ -e "$prefix/$f" ] || fail "$f not installed"; done
[ ! -e "$prefix/include/camac_private.h" ] || fail "the private header was installed"

# find_package(camac CONFIG): camac::camac758 brings camac::camac and the headers.
cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; fail "find_package(camac) failed"; }
cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "the CMake build failed"; }
out=$("$work/cmake-build/readout") || fail "the find_package build ran and failed: $out"
echo "install-check: find_package: $out"

# pkg-config: camac758 requires camac; the files find the prefix from where they are.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs camac758) || fail "pkg-config does not know camac758"
cc -Wall -Werror -o "$work/readout-pc" "$here/readout.c" $flags -Wl,-rpath,"$libdir" || fail "the pkg-config build failed ($flags)"
out=$("$work/readout-pc") || fail "the pkg-config build ran and failed: $out"
echo "install-check: pkg-config ($(pkg-config --modversion camac)): $out"

# The tools and the Python package as installed, the library found beside them.
"$prefix/bin/kt40" --version | grep -qx 'kt40 1.0' || fail "the installed kt40 does not run"
"$prefix/bin/kt40" cnaf 0 5 0 0 >/dev/null || fail "the installed kt40 cannot reach the virtual crate"
pydir=$(find "$prefix" -type d -path '*dist-packages' | head -1)
out=$(cd "$work" && LD_LIBRARY_PATH="$libdir" PYTHONPATH="$pydir" /usr/bin/python3 -c \
  'import kt40; c = kt40.Crate(0); c.cnaf(5, 0, 16, data=77); print(kt40.__file__, c.cnaf(5, 0, 0).data)') ||
  fail "the installed Python package failed"
case "$out" in "$pydir"/kt40/__init__.py\ 77) ;; *) fail "the installed Python package said: $out" ;; esac
echo "install-check: python: the installed package reads back 77"
