#!/usr/bin/env bash
# The 32-bit package under 32-bit Wine (a fresh private win32 prefix, no
# display): msiexec /i ... /qn installs it into Program Files\KT40 CAMAC with
# the folder on the user's PATH; kt40 --help runs by its bare name; kt40.exe
# with the 32-bit camac.dll, where no WinDriver service exists, refuses a
# command with the front panel's start-up failure text, caption and text,
# byte for byte, and exit code 1; a program built against the installed
# folder with find_package(camac) (tests/install) loads the DLLs; a package of a newer version (made here
# from the same folder) installed over it replaces it (one product left, the
# newer); msiexec /x ... /qn removes every file of it again. Stopped by
# wineserver -k for that prefix, also when a check fails.
#   windows/tests/win32-wine.sh MSI DIST
# DIST: the 32-bit distribution folder the package was made from.
set -euo pipefail
msi=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dist=$(cd "$2" && pwd)
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver32
start=$SECONDS

tag=win32-wine
. "$(dirname "$0")/wine-session.sh"
[ -x "$wine" ] && [ -x "$wineserver" ] || fail "32-bit Wine is not installed ($wine; scripts/install-deps.sh installs wine32:i386)"
# A kernel built or booted without 32-bit emulation (ia32_emulation=off)
# cannot start any 32-bit program, Wine's included: nothing of ours can be
# tried then, and the run says so loudly rather than fail on the machine.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  say "SKIPPED: this kernel does not run 32-bit programs (no ia32 emulation); the 32-bit package was built and its images checked, but not run"
  exit 0
fi

unset DISPLAY WAYLAND_DISPLAY
wine_env=(env WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
run() { "${wine_env[@]}" "$wine" "$@"; }
session_end() { WINEPREFIX=$prefix timeout 60 "$wineserver" -w || fail "the prefix's wineserver did not end"; }
run wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed"
session_end
[ ! -d "$prefix/drive_c/windows/syswow64" ] || fail "the prefix is not a 32-bit one"
say "a fresh 32-bit Wine prefix ready ($((SECONDS - start)) s)"

msi_win=$(run winepath -w "$msi" 2>/dev/null | tr -d '\r')
run msiexec /i "$msi_win" /qn >"$tmp/msiexec.out" 2>&1 || fail "msiexec /i ended with $?"
session_end
folder="$prefix/drive_c/Program Files/KT40 CAMAC"
installed=$(cd "$folder" && find . -type f | sort)
[ "$installed" = "$(cd "$dist" && find . -type f | sort)" ] || fail "the installed files differ from the distribution's: $installed"
help=$(run cmd /c 'kt40 --help' 2>"$tmp/help.out" | tr -d '\r') || fail "kt40 --help by its bare name failed"
[ "$(head -n 1 <<<"$help")" = "kt40: CAMAC crates through the KT40 adapter, from the shell" ] ||
  fail "kt40 --help printed: $help"

rc=0
run 'C:\Program Files\KT40 CAMAC\kt40.exe' status 0 >"$tmp/status.out" 2>"$tmp/status.err" || rc=$?
[ "$rc" = 1 ] || fail "kt40 status without the service ended with $rc, expected 1"
[ ! -s "$tmp/status.out" ] || fail "kt40 status printed on its standard output: $(cat "$tmp/status.out")"
expected=$(printf '%s\n' "kt40: Ошибка инициализации." "Невозожно получить доступ к драйверу. Возможно драйвер не установлен.")
[ "$(tr -d '\r' <"$tmp/status.err")" = "$expected" ] ||
  fail "kt40 status printed:"$'\n'"$(cat "$tmp/status.err")"$'\n'"expected:"$'\n'"$expected"
say "msiexec /i /qn: $(wc -l <<<"$installed") files, kt40 --help by name; kt40 status without the service: the panel's failure text, exit code 1"

# A lab's own program, built against the installed folder with
# find_package(camac), loads the 32-bit DLLs and meets the same refusal.
build_readout "$folder" i686
cp "$tmp/readout/readout.exe" "$folder/"
rc=0
out=$(run 'C:\Program Files\KT40 CAMAC\readout.exe' 2>&1 | tr -d '\r') || rc=$?
rm "$folder/readout.exe"
[ "$rc" = 1 ] && [ "$out" = "readout: no connection to the adapter" ] || fail "readout.exe ended with $rc and printed: $out"
session_end
say "a program built against the installed folder with find_package(camac) loads the 32-bit DLLs: $out"

# A newer version replaces this one: the same upgrade code, a new product code.
version=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" {print $2}')
newer=${version%.*}.$((${version##*.} + 1))
here=$(cd "$(dirname "$0")" && pwd)
"$here/../installer/build-msi.sh" x86 "$newer" "$dist" "$tmp/newer.msi" >"$tmp/build-msi.out"
run msiexec /i "$(run winepath -w "$tmp/newer.msi" 2>/dev/null | tr -d '\r')" /qn >"$tmp/msiexec.out" 2>&1 ||
  fail "msiexec /i of version $newer over $version ended with $?"
session_end
products() { grep -A 30 '^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\{' "$prefix/system.reg" |
             grep -c '^"DisplayName"="KT40 CAMAC (32-bit)"' || true; }
[ "$(products)" = 1 ] || fail "$(products) products KT40 CAMAC (32-bit) after the upgrade to $newer, expected 1"
grep -q "^\"DisplayVersion\"=\"$newer\"" "$prefix/system.reg" || fail "the installed product is not version $newer"
[ -f "$folder/kt40.exe" ] || fail "the upgrade to $newer left no kt40.exe"
say "version $newer installed over $version replaced it (one product, the newer)"

run msiexec /x "$(run winepath -w "$tmp/newer.msi" 2>/dev/null | tr -d '\r')" /qn >"$tmp/msiexec.out" 2>&1 || fail "msiexec /x ended with $?"
session_end
left=$(find "$prefix/drive_c" \( -name 'KT40 CAMAC' -o -name kt40.exe -o -name camac.dll -o -name camac758.dll \) -print)
[ -z "$left" ] || fail "left behind: $left"
say "msiexec /x /qn: nothing of ours left; passed ($((SECONDS - start)) s)"
