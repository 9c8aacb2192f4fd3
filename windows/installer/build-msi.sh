#!/usr/bin/env bash
# Builds the Windows Installer package of one word size from a distribution
# folder with wixl and msibuild (Debian's wixl and msitools), and checks
# its tables: every file of the folder in the package, the PATH entry, the
# upgrade code, and for x64 the Start-menu entry and the driver step.
#   windows/installer/build-msi.sh x64|x86 VERSION DIST OUT.msi
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
arch=$1 version=$2 dist=$(cd "$3" && pwd) msi=$4
fail() { echo "build-msi: $*" >&2; exit 1; }
command -v wixl >/dev/null && command -v msibuild >/dev/null && command -v msiinfo >/dev/null ||
  fail "wixl and msitools are not installed (scripts/install-deps.sh installs them)"

work=$(mktemp -d "${TMPDIR:-/tmp}/kt40-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 "$here/make_wxs.py" --arch "$arch" --version "$version" --source "$dist" -o "$work/kt40.wxs" --sql "$work/kt40.sql"
(cd "$work" && wixl -a "$arch" kt40.wxs -o kt40.msi) 2>"$work/wixl.log" || { cat "$work/wixl.log" >&2; fail "wixl failed"; }
# wixl warns about nothing we use; any line it prints is a fault.
[ ! -s "$work/wixl.log" ] || { cat "$work/wixl.log" >&2; fail "wixl warned"; }
queries=()
while IFS= read -r q; do queries+=(-q "$q"); done <"$work/kt40.sql"
msibuild "$work/kt40.msi" "${queries[@]}" || fail "msibuild could not add the PATH entry and the driver step"

# What the package holds.
table() { msiinfo export "$work/kt40.msi" "$1" | tr -d '\r' | tail -n +4; }
files=$(table File | cut -f3 | sed 's/.*|//' | sort)
expected=$(find "$dist" -type f -printf '%f\n' | sort)
[ "$files" = "$expected" ] || fail "the package's files differ from the folder's:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"
table Environment | grep -qxF $'e_path\t=-PATH\t[~];[INSTALLDIR]\tc_environment' || fail "no PATH entry"
upgrade=$(table Property | awk -F'\t' '$1 == "UpgradeCode" {print $2}')
code=${upgrade#\{} code=${code%\}}
grep -q "\"$arch\": \"$code\"" "$here/make_wxs.py" || fail "the upgrade code $upgrade is not the fixed one of $arch"
table Upgrade | grep -qF "$upgrade" || fail "no major-upgrade row"
if [ "$arch" = x64 ]; then
  table Shortcut | grep -q $'^s_panel\td_menu\t.*Tervan KT40' || fail "no Start-menu entry for the panel"
  table CustomAction | grep -q '^AddDriver	3170	d_driver	.*pnputil.exe" /add-driver' || fail "no driver step"
fi
mv "$work/kt40.msi" "$msi"
echo "build-msi: $msi ($arch, $version): $(wc -l <<<"$files") files, upgrade code $upgrade, $(stat -c %s "$msi") bytes"
