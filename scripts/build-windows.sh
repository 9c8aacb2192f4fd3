#!/usr/bin/env bash
# Cross-compiles the Windows artefacts with mingw-w64 into build-win/ (or the
# folder given) and checks what they export and import. With --wine it also
# runs camac.dll's failure path under Wine, where no WinDriver service exists.
#   scripts/build-windows.sh [--wine] [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."

wine=0
if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
out=${1:-build-win}
objdump=x86_64-w64-mingw32-objdump

cmake -S windows -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$out" -j "$(nproc 2>/dev/null || echo 2)"

fail() { echo "build-windows: $*" >&2; exit 1; }

dll="$out/camac.dll"
header=$($objdump -p "$dll")
exports=$(printf '%s\n' "$header" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NR > 1 {print $3}' | sort | tr '\n' ' ')
expected="ccinit cccc ccci cccz cclnk cculnk cdata cdreg cgreg cssa ctci ctgl"
expected=$(tr ' ' '\n' <<<"$expected" | sort | tr '\n' ' ')
[ "$exports" = "$expected" ] || fail "camac.dll exports '$exports', expected '$expected'"

dlls=$(printf '%s\n' "$header" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "camac.dll imports from '$dlls'"
for fn in CreateFileA DeviceIoControl CloseHandle CreateThread WaitForSingleObject; do
  grep -qw "$fn" <<<"$header" || fail "camac.dll does not import $fn"
done
echo "build-windows: $dll exports the twelve routines and imports only KERNEL32 and msvcrt"

if [ "$wine" = 1 ]; then
  export WINEPREFIX="$(cd "$out" && pwd)/wineprefix" WINEDEBUG=-all
  if ! /usr/lib/wine/wine64 "$out/camac-no-service.exe" 2>"$out/wine.err"; then
    cat "$out/wine.err" >&2
    fail "camac-no-service.exe failed under Wine"
  fi
fi
