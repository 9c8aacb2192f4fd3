#!/usr/bin/env bash
# Builds a static, release Qt 6 (qtbase only) for 64-bit Windows with
# mingw-w64 from Debian's own qt6-base sources, the same version as the
# installed Linux Qt, whose moc, rcc and uic serve as the host tools.
#
# The result is installed into a cache folder keyed by the Qt version and a
# hash of everything that shapes the build (options, toolchain file, the
# project's patches); a complete installation found there is reused.  The
# script prints that folder on its standard output, and what it does, with
# times and progress, on its standard error.
#
#   scripts/build-qt-mingw.sh            # build if needed, print the prefix
#   scripts/build-qt-mingw.sh --prefix   # print the prefix only, build nothing
#
# Environment:
#   KT40_QT_CACHE  where installations live (default ${XDG_CACHE_HOME:-~/.cache}/kt40)
#   KT40_QT_WORK   where sources are fetched and built (default $KT40_QT_CACHE/work)
#   KT40_QT_JOBS   parallel build jobs (default: the number of processors)
# Adding Debian's deb-src entry for bookworm needs root (once per machine).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
start=$SECONDS
# What it does goes to the standard error; the standard output gets the prefix.
say() { printf 'build-qt-mingw: [%s] %s\n' "$(elapsed $((SECONDS - start)))" "$*" >&2; }
elapsed() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
fail() { echo "build-qt-mingw: $*" >&2; exit 1; }

print_only=0
[ "${1:-}" = "--prefix" ] && print_only=1

# The host tools must come from the same Qt version as the sources.
debver=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null) ||
  fail "qt6-base-dev is not installed (scripts/install-deps.sh installs it)"
upver=${debver%%+*}
upver=${upver%%-*}

toolchain=$repo/cmake/toolchain-mingw-w64-x86_64.cmake
patches=()
if [ -d "$repo/windows/qt/patches" ]; then
  while IFS= read -r p; do patches+=("$p"); done < <(find "$repo/windows/qt/patches" -name '*.patch' | sort)
fi

# Off: modules and features the panel does not use.  tabletevent needs the
# wintab headers, which Debian removes from the sources; dynamicgl does not
# compile in 6.4 with OpenGL off.  No Direct2D, DirectWrite or Vulkan (the panel paints
# through the Windows platform plugin's raster engine), no GIF or ICO image
# plugins (the panel links no image plugin) and no Markdown in text
# documents.  The third-party libraries (zlib, PCRE2,
# FreeType, HarfBuzz, libpng, libjpeg) come from Qt's bundled copies.
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
)
for f in sql network dbus opengl dynamicgl printsupport testlib concurrent xml icu tabletevent \
         direct2d directwrite directwrite3 vulkan gif ico textmarkdownreader textmarkdownwriter; do
  options+=("-DFEATURE_$f=OFF")
done
for f in zlib pcre2 freetype harfbuzz jpeg png; do
  options+=("-DFEATURE_system_$f=OFF")
done
options+=(-DFEATURE_jpeg=ON -DFEATURE_png=ON)

hash=$( { echo "$debver"; printf '%s\n' "${options[@]}"; cat "$toolchain";
          for p in "${patches[@]}"; do cat "$p"; done; } | sha256sum | cut -c1-12)
cache=${KT40_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kt40}
prefix=$cache/qt6-mingw-$upver-$hash
if [ "$print_only" = 1 ]; then echo "$prefix"; exit 0; fi

mkdir -p "$cache"
# One build at a time per cache: a second run waits and then reuses.
exec 9>"$cache/qt6-mingw.lock"
if ! flock -n 9; then
  say "another build holds $cache/qt6-mingw.lock; waiting for it"
  flock 9
fi
if [ -f "$prefix/.complete" ]; then
  say "reusing $prefix"
  echo "$prefix"
  exit 0
fi
say "building Qt $debver for x86_64-w64-mingw32 into $prefix"

work=${KT40_QT_WORK:-$cache/work}/qt6-base-$debver
mkdir -p "$work"

# Sources: Debian's source package, unpacked with Debian's patches applied.
if ! ls "$work"/qt6-base_"${debver#*:}".dsc >/dev/null 2>&1; then
  if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q "^Version: $debver\$"; then
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      [ "$(id -u)" = 0 ] || fail "no deb-src entry in APT's sources; as root, run this script once or add one for bookworm main"
      say "adding the deb-src entry for Debian bookworm main (/etc/apt/sources.list.d/debian-src.sources)"
      cat >/etc/apt/sources.list.d/debian-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    say "apt-get update (source lists)"
    # A list of another architecture that fails (a mirror mid-sync) leaves
    # the source list fetched: what counts is whether it holds the version.
    apt-get update -qq >&2 || say "apt-get update reported errors; going on with the lists it fetched"
    apt-cache showsrc qt6-base 2>/dev/null | grep -q "^Version: $debver\$" ||
      fail "APT's source lists do not hold qt6-base $debver (apt-get update failed?)"
  fi
  say "downloading the qt6-base $debver source package into $work"
  (cd "$work" && apt-get source --download-only -qq "qt6-base=$debver" >&2) ||
    fail "apt-get source qt6-base=$debver failed"
fi
src=$work/src
if [ ! -f "$src/.unpacked" ]; then
  rm -rf "$src"
  say "unpacking with Debian's patches"
  dpkg-source --no-check -x "$work"/qt6-base_"${debver#*:}".dsc "$src" >/dev/null
  for p in "${patches[@]}"; do
    say "applying $(basename "$p")"
    patch -d "$src" -p1 --batch <"$p" >/dev/null || fail "$p does not apply"
  done
  touch "$src/.unpacked"
fi

build=$work/build-$hash
# A build that was interrupted goes on where it stopped.
rm -rf "$prefix"
[ ! -f "$build/CMakeCache.txt" ] || say "resuming the build in $build"
say "configuring in $build"
t=$SECONDS
cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${options[@]}" >"$build.configure.log" 2>&1 ||
  { tail -n 40 "$build.configure.log" >&2; fail "configure failed (log: $build.configure.log)"; }
say "configured in $(elapsed $((SECONDS - t)))"

# Ninja's own lines go to the log; the terminal gets one line per 5 %.
jobs=${KT40_QT_JOBS:-$(nproc 2>/dev/null || echo 2)}
say "building with $jobs jobs (log: $build.log)"
t=$SECONDS
progress() {
  local line n total p next=0
  while IFS= read -r line; do
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    n=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    p=$((100 * n / total))
    if [ "$p" -ge "$next" ]; then
      say "  $p % ($n of $total steps)"
      next=$((p - p % 5 + 5))
    fi
  done
}
if ! NINJA_STATUS='[%f/%t] ' ninja -C "$build" -j "$jobs" 2>&1 | tee "$build.log" | progress; then
  grep -n -m 20 -A 10 'error\|FAILED' "$build.log" >&2 || tail -n 40 "$build.log" >&2
  fail "the build failed (log: $build.log)"
fi
say "built in $(elapsed $((SECONDS - t)))"
cmake --install "$build" >"$build.install.log" 2>&1 ||
  { tail -n 20 "$build.install.log" >&2; fail "install failed"; }
touch "$prefix/.complete"
rm -rf "$build"
say "installed $prefix ($(du -sh "$prefix" | cut -f1)) in $(elapsed $((SECONDS - start))) overall"
echo "$prefix"
