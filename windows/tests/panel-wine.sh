#!/usr/bin/env bash
# Runs tervan.exe of the Windows distribution under Wine, on a private X
# server (Xvfb) with a window manager (openbox):
#  1. with the distribution's camac.dll, where no WinDriver service exists:
#     the start-up failure box shows its caption and text (copied with
#     Ctrl+C), no panel window appears, and the program ends with exit code
#     0 when the box is dismissed;
#  2. with the virtual-adapter camac.dll (copied next to tervan.exe as the
#     README tells): the window "Tervan KT40" has a 599 x 520 client area
#     over its artwork; clicks and keys write 0xFFFF and then 0xA5C3 to the
#     register in station 5 and read each back; the R field shows the bits
#     read (screenshots) and the crate saw the commands and holds the value
#     (the DLL's report); closing the window ends the program with exit
#     code 0 and no Wine process is left.
# Everything runs in a private temporary folder (Wine prefix, home) and is
# stopped by process id, or by wineserver -k for that prefix, also when a
# check fails.
#   windows/tests/panel-wine.sh DIST TOOLS [SHOTS]
# DIST: the distribution folder; TOOLS: the folder of clipboard-text.exe;
# SHOTS: a folder that receives the screenshots as PNG files.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dist=$(cd "$1" && pwd)
tools=$(cd "$2" && pwd)
shots=${3:-}
[ -z "$shots" ] || { mkdir -p "$shots" && shots=$(cd "$shots" && pwd); }
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
pixels=(python3 "$here/panel_pixels.py")
start=$SECONDS

tag=panel-wine
. "$here/wine-session.sh"

# ---- X server, window manager, Wine prefix --------------------------------
start_desktop

# The Wine variables go to Wine's processes only, so that the processes of
# the prefix can be told by them.
wine_env=(env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" KT40_SIM_STATE=private)
"${wine_env[@]}" "$wine" wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed"
say "X server $DISPLAY, openbox and a fresh Wine prefix ready ($((SECONDS - start)) s)"

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
shoot() { import -window "$1" "$tmp/$2.ppm"; }
keep() { [ -z "$shots" ] || convert "$tmp/$1.ppm" "$shots/$1.png"; }

# Waits for the program started as app_pid to end; its exit code in app_rc.
ended() {
  local state
  state=$(ps -o stat= -p "$app_pid" 2>/dev/null) || return 0
  [[ $state == Z* ]]
}
wait_app() {
  wait_for "$1" ended || fail "tervan.exe did not end"
  app_rc=0
  wait "$app_pid" || app_rc=$?
  app_pid=''
}

# Every process of this test's Wine prefix has ended (wineserver included).
no_wine_left() {
  local p
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" && return 1
  done
  return 0
}

# ---- 1. The real camac.dll without the WinDriver service --------------------
"${wine_env[@]}" "$wine" "$dist/tervan.exe" >"$tmp/real.out" 2>&1 &
app_pid=$!
box=''
wait_for 120 eval 'box=$(window "^Ошибка инициализации\.$"); [ -n "$box" ]' ||
  fail "no box captioned \"Ошибка инициализации.\" appeared"
[ -z "$(window '^Tervan KT40$')" ] || fail "the panel window appeared although the start failed"
shoot "$box" failure-box
keep failure-box
xdotool windowactivate --sync "$box" key ctrl+c
copied=''
wait_for 20 eval 'copied=$("${wine_env[@]}" "$wine" "$tools/clipboard-text.exe" 2>/dev/null | tr -d "\r"); [ -n "$copied" ]' ||
  fail "the box copied nothing to the clipboard"
sep=---------------------------
expected=$(printf '%s\n' "$sep" "Ошибка инициализации." "$sep" \
  "Невозожно получить доступ к драйверу. Возможно драйвер не установлен." "$sep")
[ "$(head -n 5 <<<"$copied")" = "$expected" ] ||
  fail "the box shows:"$'\n'"$copied"$'\n'"expected:"$'\n'"$expected"
xdotool windowactivate --sync "$box" key Return
wait_app 30
[ "$app_rc" = 0 ] || fail "tervan.exe ended with exit code $app_rc after the box was dismissed"
say "real camac.dll without the service: the box \"Ошибка инициализации.\" with its text; exit code 0 after OK"

# ---- 2. The virtual-adapter camac.dll ---------------------------------------
run=$tmp/virtual
mkdir -p "$run"
cp "$dist/tervan.exe" "$dist/tervan.chm" "$dist/virtual-adapter-demo/camac.dll" "$run/"
report=$tmp/report.txt
report_path=$("${wine_env[@]}" "$wine" winepath -w "$report" 2>/dev/null | tr -d '\r')
"${wine_env[@]}" KT40_VIRTUAL_REPORT="$report_path" "$wine" "$run/tervan.exe" >"$tmp/virtual.out" 2>&1 &
app_pid=$!
panel=''
wait_for 120 eval 'panel=$(window "^Tervan KT40$"); [ -n "$panel" ]' || fail "the window \"Tervan KT40\" did not appear"
size=$(xwininfo -id "$panel" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h}')
[ "$size" = 599x520 ] || fail "the client area is $size, expected 599x520"

# The artwork under the controls, compared with the JPEG decoded here.
artwork=$tmp/artwork.ppm
convert "$here/../../tervan/artwork/panel.jpg" "$artwork"
# A loaded machine may show the window a moment before its first paint.
artwork_shown() {
  local xy x y r g b
  shoot "$panel" start
  for xy in "2 2" "300 3" "280 190" "340 30" "488 300" "503 372" "595 515" "28 12"; do
    read -r x y <<<"$xy"
    IFS=, read -r r g b <<<"$("${pixels[@]}" pixel "$artwork" "$x" "$y")"
    "${pixels[@]}" near "$tmp/start.ppm" "$x" "$y" "$r" "$g" "$b" 12 >"$tmp/artwork.out" 2>&1 || return 1
  done
}
wait_for 20 artwork_shown || fail "the window does not show the artwork: $(cat "$tmp/artwork.out")"
keep start
say "window \"Tervan KT40\", client area $size, artwork in place"

# Client coordinates of the controls.
click() { xdotool mousemove --window "$panel" "$1" "$2" click 1; }
N05() { click 365 118; }
A00() { click 413 43; }
F00() { click 458 35; }
F16() { click 458 275; }
BIN() { click 275 34; }
HEX() { click 275 58; }
once_up() { shoot "$panel" probe && "${pixels[@]}" near "$tmp/probe.ppm" 513 445 178 178 178 8; }
once() {
  click 547 456
  sleep 0.5
  wait_for 20 once_up || fail "\"Однократно\" did not come back up"
}
typeW() {
  HEX
  click 200 39
  xdotool key Home
  xdotool type --delay 50 "$1"
}
R=(17 91 217 14) # RMonitor

xdotool windowactivate --sync "$panel"
# Write 0xFFFF and read it back: R in binary shows sixteen ones.
typeW ffff
N05
A00
F16
once
F00
once
BIN
wait_for 20 eval 'shoot "$panel" ones && "${pixels[@]}" differ "$tmp/start.ppm" "$tmp/ones.ppm" "${R[@]}"' ||
  fail "R did not change after reading 0xFFFF back"
keep ones
# The same with 0xA5C3: R must show its bits.
typeW a5c3
F16
once
F00
once
BIN
wait_for 20 eval 'shoot "$panel" value && "${pixels[@]}" differ "$tmp/ones.ppm" "$tmp/value.ppm" "${R[@]}"' ||
  fail "R did not change after reading 0xA5C3 back"
keep value
shown=$("${pixels[@]}" bits "$tmp/start.ppm" "$tmp/ones.ppm" "$tmp/value.ppm" "${R[@]}" 4)
[ "$shown" = A5C3 ] || fail "R shows 0x$shown, expected 0xA5C3"
say "clicks and keys wrote 0xFFFF and 0xA5C3 to N5 A0 and read them back; R shows 0xA5C3 in binary"

# Closing the window ends the program, and with it every Wine process.
xdotool windowactivate --sync "$panel" key alt+F4
wait_app 30
[ "$app_rc" = 0 ] || fail "tervan.exe ended with exit code $app_rc after its window was closed"
timeout 60 env WINEPREFIX="$prefix" "$wineserver" -w || fail "the wineserver of the prefix did not end"
wait_for 30 no_wine_left || fail "Wine processes are left after the program ended"
say "closing the window: exit code 0, no Wine process left"

# What the crate saw: the commands in order, and the register's word.
[ -s "$report" ] || fail "the virtual adapter wrote no report"
sed -i 's/\r$//' "$report"
sequence=$(grep '^command crate 0 N 5 A 0 ' "$report" | sed 's/ x [0-9]*$//' | uniq)
expected_sequence=$(printf '%s\n' \
  "command crate 0 N 5 A 0 F 16 data 0x00FFFF" "command crate 0 N 5 A 0 F 0 data 0x00FFFF" \
  "command crate 0 N 5 A 0 F 16 data 0x00A5C3" "command crate 0 N 5 A 0 F 0 data 0x00A5C3")
[ "$sequence" = "$expected_sequence" ] ||
  fail "the crate saw at N5 A0:"$'\n'"$sequence"$'\n'"expected:"$'\n'"$expected_sequence"
grep -qx 'word crate 0 N 5 A 0 0x00A5C3' "$report" || fail "the register in station 5 does not hold 0xA5C3"
say "the crate saw F16 and F0 at N5 A0 for both values; the register holds 0xA5C3"
say "passed ($((SECONDS - start)) s)"
