#!/usr/bin/env bash
# Cross-compiles the Windows artefacts with mingw-w64 into build-win/ (or the
# folder given): for 64-bit Windows camac.dll, camac758.dll, kt40.exe and the
# driver package kt40drv.sys + kt40drv.inf; for 32-bit Windows (in
# OUT/win32) camac.dll, camac758.dll and kt40.exe. Checks what the DLLs
# export and every image imports (the 32-bit ones against what Windows
# Vista offers, windows/vista-imports.txt), each image's machine type, PE
# checksum and sections (none both writable and executable), and that the
# driver is a native WDM image entered at DriverEntry that imports from the
# kernel (and the HAL) alone, has no static constructors and carries its
# version information. With --wine it also runs camac.dll's failure path
# under Wine, where no WinDriver service exists. Then it builds the front
# panel tervan.exe (the first run also builds a static Qt, see
# scripts/build-qt-mingw.sh), the distribution folders and zips and an
# installer package (MSI) per word size, and with --wine runs the panel's
# tests under Wine (windows/tests/panel-wine.sh), installs, uses and removes
# the 64-bit package (windows/tests/msi-wine.sh) and runs the 32-bit
# kt40.exe under 32-bit Wine (windows/tests/win32-wine.sh). The INF names
# the virtual adapter's PCI IDs; KT40DRV_PCI_IDS=VVVV:DDDD[:SSSSSSSS]
# (hexadecimal vendor, device and subsystem) names the real card's instead.
#   [KT40DRV_PCI_IDS=...] scripts/build-windows.sh [--wine] [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."

wine=0
if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
out=${1:-build-win}
objdump=x86_64-w64-mingw32-objdump
nm=x86_64-w64-mingw32-nm
windres=x86_64-w64-mingw32-windres

jobs=$(nproc 2>/dev/null || echo 2)
step_start=$SECONDS
took() { echo "build-windows: $1 in $((SECONDS - step_start)) s"; step_start=$SECONDS; }

cmake -S windows -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" \
  -DKT40DRV_PCI_IDS="${KT40DRV_PCI_IDS:-4B54:0040:00404B54}" >/dev/null
cmake --build "$out" -j "$jobs"
took "the 64-bit build"
out32="$out/win32"
cmake -S windows -B "$out32" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-i686.cmake" >/dev/null
cmake --build "$out32" -j "$jobs"
took "the 32-bit build"

fail() { echo "build-windows: $*" >&2; exit 1; }

# Machine type, PE checksum, no section both writable and executable, and
# (as asked) the named exports and the imports: windows/tools/pe_check.py.
pe_check() { python3 windows/tools/pe_check.py "$@" || fail "$1 does not pass its checks"; }
camac_exports="ccinit cccc ccci cccz cclnk cculnk cdata cdreg cgreg cssa ctci ctgl"
# camac758.dll exports exactly the routines its header declares.
camac758_exports=$(sed -n 's/^CAMAC_API .* CAMAC_CALL \([a-z0-9_]*\)(.*/\1/p' camac758/include/camac758.h | tr '\n' ' ')
[ "$(wc -w <<<"$camac758_exports")" -ge 13 ] || fail "camac758.h declares only '$camac758_exports'"
# ... and, for FORTRAN (lower case, a trailing underscore, arguments by
# reference), the same routines and camac's, but cdata (a C pointer).
camac758_exports="$camac758_exports $(for f in $camac758_exports ${camac_exports/cdata/}; do printf '%s_ ' "$f"; done)"
# camactools.dll exports the routines of its header, no more.
camactools_exports=$(sed -n 's/^CT_API .*CT_CALL \([a-z0-9_]*\)(.*/\1/p' camactools/include/camactools.h | tr '\n' ' ')
[ "$(wc -w <<<"$camactools_exports")" -ge 12 ] || fail "camactools.h declares only '$camactools_exports'"
# What the 32-bit images may take from camac.dll and camac758.dll: their
# exports, and camac.dll's private entries by ordinal (src/camac.def).
own_imports="$out32/own-imports.txt"
{ for f in $camac_exports; do echo "camac.dll $f"; done
  sed -n 's/^ *[a-z_0-9]* @\([0-9]*\) NONAME.*/camac.dll #\1/p' camac/src/camac.def
  for f in $camac758_exports; do echo "camac758.dll $f"; done; } >"$own_imports"
check_images() { # check_images <folder> <machine> [pe_check options for the 32-bit allow list...]
  local dir=$1 machine=$2; shift 2
  pe_check "$dir/camac.dll" --machine "$machine" --exports "$camac_exports" --dlls "KERNEL32.dll msvcrt.dll" "$@"
  pe_check "$dir/camac758.dll" --machine "$machine" --exports "$camac758_exports" \
    --dlls "KERNEL32.dll msvcrt.dll camac.dll" "$@"
  pe_check "$dir/kt40.exe" --machine "$machine" --exports "" \
    --dlls "KERNEL32.dll msvcrt.dll camac.dll camac758.dll" "$@"
  pe_check "$dir/camactools.dll" --machine "$machine" --exports "$camactools_exports" \
    --dlls "KERNEL32.dll msvcrt.dll camac.dll" "$@"
}
check_images "$out" x86-64
check_images "$out32" i386 --allow windows/vista-imports.txt --allow "$own_imports"
pe_check "$out/virtual-adapter/camac.dll" --machine x86-64 --exports "$camac_exports" --dlls "KERNEL32.dll msvcrt.dll"
pe_check "$out/kt40drv.sys" --machine x86-64
# The checker itself finds a changed byte and a writable code section.
broken="$out32/broken.dll"
python3 - "$out32/camac.dll" "$broken" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0x55
open(sys.argv[2], "wb").write(data)
PY
! python3 windows/tools/pe_check.py "$broken" --machine i386 2>/dev/null || fail "pe_check passed an image with a changed byte"
python3 - "$out32/camac.dll" "$broken" <<'PY'
import struct, sys
sys.path.insert(0, "windows/tools")
import pe_check
data = bytearray(open(sys.argv[1], "rb").read())
image = pe_check.Image(bytes(data))
at = image.opt + struct.unpack_from("<H", data, image.pe + 20)[0]
flags = struct.unpack_from("<I", data, at + 36)[0]  # the first section, .text
struct.pack_into("<I", data, at + 36, flags | pe_check.SCN_WRITE)
struct.pack_into("<I", data, image.checksum_at, pe_check.Image(bytes(data)).computed_checksum())
open(sys.argv[2], "wb").write(data)
PY
said=$(python3 windows/tools/pe_check.py "$broken" --machine i386 2>&1) && fail "pe_check passed an image with a writable code section"
grep -q 'section .text is writable and executable' <<<"$said" || fail "pe_check said: $said"
rm -f "$broken"
echo "build-windows: the checker finds a changed byte and a writable code section"

for dll in "$out/camac.dll" "$out32/camac.dll"; do
  header=$($objdump -p "$dll")
  for fn in CreateFileA DeviceIoControl CloseHandle CreateThread WaitForSingleObject; do
    grep -qw "$fn" <<<"$header" || fail "$dll does not import $fn"
  done
done
echo "build-windows: camac.dll exports the twelve routines and camac758.dll its header's, both word sizes; they and kt40.exe import only from Windows (the 32-bit ones what Vista offers) and each other"
took "the image checks"

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
# The caller-buffer copy has no __try (GCC): its unwind data must name its
# own exception handler, or a fault on a caller's page stops the machine.
copy=$(address KtGuardedCopy); handler=$(address KtGuardedCopyHandler)
[ -n "$copy" ] && [ -n "$handler" ] || fail "kt40drv.sys has no KtGuardedCopy or no KtGuardedCopyHandler"
unwind=$(awk -v start="$copy" 'index($0, "): " start " - ") {on = 1; next} on && /\(rva:/ {exit} on' <<<"$header")
grep -q "UNW_FLAG_EHANDLER" <<<"$unwind" && grep -q "Handler: $handler\." <<<"$unwind" ||
  fail "the unwind data of KtGuardedCopy does not name KtGuardedCopyHandler as its exception handler"
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
  unset WINEPREFIX WINEDEBUG
  took "camac-no-service.exe under Wine"
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
cmake --build "$out/panel" --target distribution -j "$jobs"
took "the panel and its distribution"
dist="$out/panel/dist/tervan-kt40-1.0-win64"
dist32="$out32/dist/kt40-1.0-win32"
exe="$dist/tervan.exe"
header=$($objdump -p "$exe")
[ "$(field Subsystem)" = 00000002 ] || fail "tervan.exe is not a Windows GUI program"
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$header" | sort -f | tr '\n' ' ')
grep -qw camac.dll <<<"$dlls" || fail "tervan.exe does not import camac.dll"
! grep -Eiq '(^| )(qt6|libgcc|libstdc|libwinpthread)[^ ]*' <<<"$dlls" ||
  fail "tervan.exe needs DLLs that are not shipped: $dlls"
for f in camac.dll camac758.dll camactools.dll kt40.exe tervan.chm help/index.html README.txt \
         driver/kt40drv.sys driver/kt40drv.inf virtual-adapter-demo/camac.dll; do
  [ -s "$dist/$f" ] || fail "the distribution has no $f"
done
for f in camac.dll camac758.dll camactools.dll kt40.exe README.txt; do
  [ -s "$dist32/$f" ] || fail "the 32-bit distribution has no $f"
done
# For a lab's own program (both word sizes): the headers, the import
# libraries and the CMake package; nothing of the virtual adapter's.
for d in "$dist" "$dist32"; do
  for f in include/camac.h include/camac758.h include/camactools.h lib/libcamac.dll.a lib/libcamac758.dll.a \
           lib/libcamactools.dll.a lib/cmake/camac/camacConfig.cmake lib/cmake/camac/camacTargets.cmake; do
    [ -s "$d/$f" ] || fail "$d has no $f"
  done
  [ ! -e "$d/lib/virtual-adapter-demo" ] || fail "$d holds the virtual adapter's import library"
done
# Notepad takes a README without a byte-order mark for the ANSI code page.
for d in "$dist" "$dist32"; do
  [ "$(head -c 3 "$d/README.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "$d/README.txt has no UTF-8 byte-order mark"
done
# help/ holds the help's pages and nothing else.
[ "$(cd "$dist/help" && find . -type f -printf '%P\n' | sort)" = "$(cd tervan/help && ls -- *.html help.css | sort)" ] ||
  fail "the distribution's help folder is not the help's pages: $(cd "$dist/help" && find . -type f -printf '%P ')"
echo "build-windows: $exe is a GUI program that needs only Windows' DLLs and camac.dll ($dlls)"
# What is shipped, as shipped (stripped): the same checks again.
pe_check "$exe" --machine x86-64
check_images "$dist" x86-64
check_images "$dist32" i386 --allow windows/vista-imports.txt --allow "$own_imports"
pe_check "$dist/virtual-adapter-demo/camac.dll" --machine x86-64 --exports "$camac_exports"
pe_check "$dist/driver/kt40drv.sys" --machine x86-64
echo "build-windows: tervan.exe $(stat -c %s "$exe") bytes, $dist.zip $(stat -c %s "$dist.zip") bytes, $dist32.zip $(stat -c %s "$dist32.zip") bytes"

# The installer packages, one per word size, beside the zips.
version=$(sed -n 's/^project(kt40_windows VERSION \([0-9.]*\) .*/\1/p' windows/CMakeLists.txt).0
msi="$out/panel/dist/kt40-camac-$version-x64.msi"
msi32="$out32/dist/kt40-camac-$version-x86.msi"
windows/installer/build-msi.sh x64 "$version" "$dist" "$msi"
windows/installer/build-msi.sh x86 "$version" "$dist32" "$msi32"
took "the installer packages"
if [ "$wine" = 1 ]; then
  windows/tests/panel-wine.sh "$dist" "$out"
  took "the panel's tests under Wine"
  windows/tests/msi-wine.sh "$msi" "$dist"
  took "the 64-bit package under Wine"
  windows/tests/win32-wine.sh "$msi32" "$dist32"
  took "the 32-bit package and kt40.exe under 32-bit Wine"
fi
echo "build-windows: the panel, the distributions and the packages in $((SECONDS - panel_start)) s"
