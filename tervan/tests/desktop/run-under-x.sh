#!/usr/bin/env bash
# Runs a test program under a real X server (Xvfb, on a display it picks
# itself) with a window manager (openbox), both private to this run: own
# temporary home, stopped by their process ids when the run ends, also when
# it fails.
#   run-under-x.sh <program> [arguments...]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 program [arguments...]" >&2; exit 2; }
for tool in Xvfb openbox xprop; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kt40-x.XXXXXX")
xpid=""
wmpid=""
stop() {
  for pid in $wmpid $xpid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT

# The server writes the number of the free display it took to fd 3 once it
# accepts connections.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xpid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xpid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "$0: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/display" ] || { echo "$0: Xvfb gave no display" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

mkdir -m 700 "$work/home" "$work/runtime"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime"
export XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" XDG_DATA_HOME="$work/home/.local/share"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wmpid=$!
# The window manager is up when it has announced itself on the root window.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  kill -0 "$wmpid" 2>/dev/null || { cat "$work/openbox.log" >&2; echo "$0: openbox did not start" >&2; exit 1; }
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' \
  || { echo "$0: openbox did not take the display" >&2; exit 1; }

QT_QPA_PLATFORM=xcb "$@"
