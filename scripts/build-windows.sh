#!/usr/bin/env bash
# Cross-compiles the Windows artefacts with mingw-w64 into build-win/ (or the
# folder given): camac.dll, and the driver package kt40drv.sys + kt40drv.inf.
# Checks what the DLL exports and imports, and that the driver is a native
# WDM image entered at DriverEntry that imports from the kernel (and the HAL)
# alone, has no static constructors and carries its version information.
# With --wine it also runs camac.dll's failure path under Wine, where no
# WinDriver service exists. At the end it builds the front panel tervan.exe
# (the first run also builds a static Qt, see scripts/build-qt-mingw.sh) and
# the distribution folder and zip, and with --wine runs the panel's tests
# under Wine (windows/tests/panel-wine.sh). The INF names the virtual
# adapter's PCI IDs; KT40DRV_PCI_IDS=VVVV:DDDD[:SSSSSSSS] (hexadecimal vendor, device and
# subsystem) names the real card's instead.
#   [KT40DRV_PCI_IDS=...] scripts/build-windows.sh [--wine] [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."

wine=0
if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
out=${1:-build-win}
objdump=x86_64-w64-mingw32-objdump
nm=x86_64-w64-mingw32-nm
windres=x86_64-w64-mingw32-windres

cmake -S windows -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" \
  -DKT40DRV_PCI_IDS="${KT40DRV_PCI_IDS:-4B54:0040:00404B54}" >/dev/null
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

sys="$out/kt40drv.sys"
header=$($objdump -p "$sys")
field() { awk -v f="$1" '$1 == f {print $2; exit}' <<<"$header"; }
[ "$(field Subsystem)" = 00000001 ] || fail "kt40drv.sys is not a native image (subsystem $(field Subsystem))"
(( 16#$(field DllCharacteristics) & 0x2000 )) || fail "kt40drv.sys is not marked as a WDM driver"
symbols=$($nm "$sys")
address() { awk -v s="$1" '$3 == s {print $1; exit}' <<<"$symbols"; }
entry=$(address DriverEntry)
[ -n "$entry" ] && (( 16#$(field ImageBase) + 16#$(field AddressOfEntryPoint) == 16#$entry )) ||
  fail "the entry of kt40drv.sys is not DriverEntry"
# The kernel loads a driver wherever it has room: relocations are a must.
grep -Eq 'Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory' <<<"$header" ||
  fail "kt40drv.sys has no base relocations"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$header" | sort | tr '\n' ' ')
case "$dlls" in
  "ntoskrnl.exe " | "HAL.dll ntoskrnl.exe ") ;;
  *) fail "kt40drv.sys imports from '$dlls', expected ntoskrnl.exe and HAL.dll only" ;;
esac
! grep -q 'There is an export table' <<<"$header" || fail "kt40drv.sys exports symbols"
# Nothing would run a static constructor: the linker's list must hold only
# its two sentinels (8 bytes each).
(( 16#$(address ___DTOR_LIST__) - 16#$(address ___CTOR_LIST__) == 16 )) ||
  fail "kt40drv.sys has static constructors"
resources=$($windres -i "$sys" -O rc)
for v in '"OriginalFilename", "kt40drv.sys"' '"FileVersion", "1.00"' '"ProductName", "CAMAC KT40 PCI Adapter Driver"'; do
  grep -qF "VALUE $v" <<<"$resources" || fail "kt40drv.sys has no version value $v"
done
grep -q '^ FILETYPE 0x3$' <<<"$resources" || fail "kt40drv.sys's version information does not call it a driver"
[ -f "$out/kt40drv.inf" ] || fail "kt40drv.inf is missing next to kt40drv.sys"
ids=$(grep -o 'PCI\\VEN_[^,]*' "$out/kt40drv.inf" | head -1)
echo "build-windows: $sys is a native WDM driver entered at DriverEntry, imports from ${dlls% } only, no static constructors, version information present; kt40drv.inf beside it, for $ids"

if [ "$wine" = 1 ]; then
  export WINEPREFIX="$(cd "$out" && pwd)/wineprefix" WINEDEBUG=-all
  if ! /usr/lib/wine/wine64 "$out/camac-no-service.exe" 2>"$out/wine.err"; then
    cat "$out/wine.err" >&2
    fail "camac-no-service.exe failed under Wine"
  fi
fi

# The front panel tervan.exe, linked statically against a Qt for mingw-w64
# built once from Debian's sources and kept in a cache folder, and the
# distribution folder and zip; with --wine also the panel's tests under Wine.
panel_start=$SECONDS
qt=$(scripts/build-qt-mingw.sh)
# A build folder made with another Qt starts afresh: CMake keeps the
# toolchain of its first run.
toolchain="$qt/lib/cmake/Qt6/qt.toolchain.cmake"
if [ -f "$out/panel/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain\$" "$out/panel/CMakeCache.txt"; then
  rm -rf "$out/panel"
fi
cmake -S windows/panel -B "$out/panel" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" \
  -DKT40_WINDOWS_BUILD="$(cd "$out" && pwd)" >/dev/null
cmake --build "$out/panel" --target distribution -j "$(nproc 2>/dev/null || echo 2)"
dist="$out/panel/dist/tervan-kt40-1.0-win64"
exe="$dist/tervan.exe"
header=$($objdump -p "$exe")
[ "$(field Subsystem)" = 00000002 ] || fail "tervan.exe is not a Windows GUI program"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$header" | sort -f | tr '\n' ' ')
grep -qw camac.dll <<<"$dlls" || fail "tervan.exe does not import camac.dll"
! grep -Eiq '(^| )(qt6|libgcc|libstdc|libwinpthread)[^ ]*' <<<"$dlls" ||
  fail "tervan.exe needs DLLs that are not shipped: $dlls"
for f in camac.dll tervan.chm README.txt driver/kt40drv.sys driver/kt40drv.inf virtual-adapter-demo/camac.dll; do
  [ -s "$dist/$f" ] || fail "the distribution has no $f"
done
echo "build-windows: $exe is a GUI program that needs only Windows' DLLs and camac.dll ($dlls)"
echo "build-windows: tervan.exe $(stat -c %s "$exe") bytes, $dist.zip $(stat -c %s "$dist.zip") bytes"
if [ "$wine" = 1 ]; then
  windows/tests/panel-wine.sh "$dist" "$out"
fi
echo "build-windows: the panel and the distribution in $((SECONDS - panel_start)) s"
