#!/usr/bin/env bash
# Cross-compiles the Windows artefacts with mingw-w64 into build-win/ and
# checks what they export and import.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build-win}
objdump=x86_64-w64-mingw32-objdump

cmake -S windows -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$out" -j "$(nproc 2>/dev/null || echo 2)"

fail() { echo "build-windows: $*" >&2; exit 1; }

dll="$out/camac/camac.dll"
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
