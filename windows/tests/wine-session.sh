# Sourced by the Wine tests: their messages, a private temporary folder with
# a home of its own, a clean-up that stops everything by process id (or by
# wineserver -k for the test's prefix) and shows the logs when a check
# failed, polling, and a private X server with a window manager.
# Before sourcing, set `tag` (the test's name in its messages) and
# `wineserver`; afterwards `tmp`, `prefix` and the pids below are set.
say() { echo "$tag: $*"; }
fail() { echo "$tag: FAILED: $*" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kt40-$tag.XXXXXX")
prefix=$tmp/prefix
xvfb_pid='' wm_pid='' app_pid=''
cleanup() {
  local rc=$?
  set +e
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null
  [ ! -d "$prefix" ] || WINEPREFIX=$prefix timeout 20 "$wineserver" -k 2>/dev/null
  [ -z "$wm_pid" ] || kill "$wm_pid" 2>/dev/null
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  if [ "$rc" != 0 ]; then
    for f in "$tmp"/*.log "$tmp"/*.out; do
      [ -s "$f" ] && { echo "--- $(basename "$f")"; tail -n 20 "$f"; } >&2
    done
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls `command` every 0.2 s for up to `seconds`.
# A lab's own program (tests/install/readout.c) built as its README would
# build it, with find_package(camac) against an installed folder: the
# headers, import libraries and CMake package there. Leaves
# $tmp/readout/readout.exe.
build_readout() { # build_readout <installed folder> <x86_64|i686>
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  { cmake -S "$top/tests/install" -B "$tmp/readout" -G Ninja -DCMAKE_PREFIX_PATH="$1" \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-w64-$2.cmake" &&
    cmake --build "$tmp/readout"; } >"$tmp/readout.log" 2>&1 ||
    { cat "$tmp/readout.log" >&2; fail "a program could not be built against the installed folder"; }
}
wait_for() { # wait_for <seconds> <command...>
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

mkdir -p "$tmp/home"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config XDG_CACHE_HOME=$tmp/home/.cache

# Xvfb on a display of its own choosing, and openbox on it; DISPLAY is set.
start_desktop() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
  xvfb_pid=$!
  wait_for 30 test -s "$tmp/display" || fail "Xvfb did not start"
  export DISPLAY=:$(head -n 1 "$tmp/display")
  openbox --sm-disable >"$tmp/openbox.log" 2>&1 &
  wm_pid=$!
  wait_for 30 wm_ready || fail "openbox did not start"
}
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
