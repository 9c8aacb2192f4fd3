#!/usr/bin/env bash
# Loads the cross-built kt40drv.sys for real, under Wine's kernel emulation
# (ntoskrnl.exe and winedevice.exe): registers it as a kernel service in a
# private, fresh WINEPREFIX, starts it, stops it, and checks from the traces
# that the image was loaded natively (relocated, every import resolved),
# that DriverEntry ran and read BreakOnEntry, that the driver object came
# from non-executable pool, and that the unload routine ran and the image
# was unloaded. Then kt40copycheck.sys, the driver's caller-buffer copy on
# its own: its faults on the null page and on a read-only page must reach
# the copy's exception handler through the image's unwind data and end as
# STATUS_INVALID_USER_BUFFER, not as a crash of the service host. Everything within a minute; every Wine process of the prefix
# is stopped at the end (wineserver -k of that prefix), also on failure.
#   scripts/wine-load-driver.sh [BUILD-WIN]   (default build-win, as scripts/build-windows.sh makes it)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build-win}
sys="$out/kt40drv.sys"
check_sys="$out/kt40copycheck.sys"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
limit=60

fail() { echo "wine-load-driver: $*" >&2; exit 1; }
[ -f "$sys" ] && [ -f "$check_sys" ] || fail "$sys or $check_sys is missing (run scripts/build-windows.sh first)"
[ -x "$wine" ] && [ -x "$wineserver" ] || fail "Wine is not installed ($wine, $wineserver)"

work=$(mktemp -d "${TMPDIR:-/tmp}/kt40-wine.XXXXXX")
log="$work/wine.log"
export WINEPREFIX="$work/prefix"
# DbgPrint output (debugstr), the kernel emulation's own steps (ntoskrnl)
# and image loads and unloads (loaddll); no desktop.
export WINEDEBUG=-all,warn+debugstr,trace+ntoskrnl,trace+loaddll
unset DISPLAY WAYLAND_DISPLAY

# Wine's processes (their image in /usr/lib/wine) running with this prefix;
# zombies, already dead, left out.
prefix_processes() {
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in /usr/lib/wine/*) ;; *) continue ;; esac
    [ "$(awk '{print $3}' "$p/stat" 2>/dev/null)" = Z ] && continue
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "${p#/proc/}"
  done
  return 0
}

cleanup() {
  local status=$?
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
  local left
  left=$(prefix_processes | tr '\n' ' ')
  if [ -n "$left" ]; then
    echo "wine-load-driver: Wine processes left behind: $left" >&2
    status=1
  fi
  if [ "$status" != 0 ] && [ -f "$log" ]; then
    echo "wine-load-driver: the Wine log ($log) ends with:" >&2
    grep -v ':trace:ntoskrnl:\(Ke\|Ex\|Io\|Ob\)\|MajorFunction\|: builtin$' "$log" | tail -40 >&2
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT

step() { # step <what> <command...>: a Wine command, its output in the log
  local what=$1; shift
  echo "== $what" >>"$log"
  timeout 30 "$@" >>"$log" 2>&1 || fail "$what failed (exit $?)"
}

SECONDS=0
step "wineboot" "$wine" wineboot -i
# The prefix's first boot finishes only when its server exits: a service
# created before then was not found by the next command (error 1060).
timeout 30 "$wineserver" -w || fail "the first boot of the prefix did not end"
cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/kt40drv.sys"
step "sc create" "$wine" sc create kt40drv type= kernel start= demand binPath= 'C:\windows\system32\drivers\kt40drv.sys'
step "reg add" "$wine" reg add 'HKLM\System\CurrentControlSet\Services\kt40drv\Parameters' /v BreakOnEntry /t REG_DWORD /d 0 /f
step "sc start" "$wine" sc start kt40drv
step "sc stop" "$wine" sc stop kt40drv
# The service host writes the unload's traces as it goes; the stop has
# returned once the service is STOPPED.
grep -q 'STATE *: 1  STOPPED' "$log" || fail "the service did not stop"

expect() { # expect <description> <fixed text>
  grep -qF -- "$2" "$log" || fail "no $1 in the Wine log (looked for: $2)"
  printf '  %-28s %s\n' "$1:" "$(grep -F -- "$2" "$log" | head -1 | sed 's/^[0-9a-f]*:[a-z]*:[a-z]*:[A-Za-z_]* //')"
}
echo "wine-load-driver: kt40drv.sys under Wine's kernel ($(basename "$(readlink -f "$wine")"), $("$wine" --version 2>/dev/null || echo '?')):"
expect "native image loaded" 'Loaded L"C:\\windows\\system32\\drivers\\kt40drv.sys"'
expect "DriverEntry ran" 'kt40drv: In DriverEntry Compiled at '
expect "BreakOnEntry read" 'kt40drv: m_bBreakOnEntry loaded from registry, resulting value: [0x00000000]'
expect "service running" 'STATE              : 4  RUNNING'
expect "unload requested" 'unload_driver L"\\Driver\\kt40drv"'
expect "unload routine ran" 'kt40drv: In DriverUnload'
expect "image unloaded" 'Unloaded module L"C:\\windows\\system32\\drivers\\kt40drv.sys"'
# The driver's pool blocks, between its load and the end of DriverEntry:
# non-paged ones must be NonPagedPoolNx (512), never executable NonPagedPool (0).
pools=$(awk '/Loaded L"C:\\\\windows\\\\system32\\\\drivers\\\\kt40drv.sys"/ {on = 1}
             on && /:ExAllocatePoolWithTag / {print $4}
             on && /init done for L"kt40drv"/ {exit}' "$log" | sort -u | tr '\n' ' ')
[ -n "$pools" ] || fail "no pool allocation of the driver in the Wine log"
case " $pools" in *" 0 "*) fail "the driver allocated executable NonPagedPool (pool types: $pools)" ;; esac
echo "  pool types allocated:        ${pools% } (512 NonPagedPoolNx, 1 PagedPool)"

# The copy that may fault, loaded the same way.
cp "$check_sys" "$WINEPREFIX/drive_c/windows/system32/drivers/kt40copycheck.sys"
step "sc create (copy check)" "$wine" sc create kt40copycheck type= kernel start= demand binPath= 'C:\windows\system32\drivers\kt40copycheck.sys'
step "sc start (copy check)" "$wine" sc start kt40copycheck
step "sc stop (copy check)" "$wine" sc stop kt40copycheck
expect "faults of the copy caught" 'kt40copycheck: good copy 0x00000000 (same words), read of the null page 0xc00000e8, write to a read-only page 0xc00000e8'
expect "copy check unloaded" 'kt40copycheck: unloaded'
(( SECONDS <= limit )) || fail "the load took ${SECONDS} s, more than ${limit} s"
echo "wine-load-driver: loaded, started, stopped and unloaded in ${SECONDS} s"
