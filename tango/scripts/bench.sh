#!/usr/bin/env bash
# CamacDS's benchmark against a private TANGO system on 127.0.0.1:
#   tango/scripts/bench.sh [BUILD_DIR] [rounds]
# Everything started here is stopped by PID when the run ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export CAMACDS=$build/tango/CamacDS
[ -x "$CAMACDS" ] && [ -x "$build/tango/camacds_bench" ] || { echo "tango bench: build CamacDS and camacds_bench first" >&2; exit 1; }
export KT40_SIM_STATE=private

dir=$(mktemp -d "${TMPDIR:-/tmp}/camacds-bench.XXXXXX")
cleanup() {
  "$here/tangoctl.sh" down "$dir" || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$here/tangoctl.sh" up "$dir" "$port" >/dev/null
export TANGO_HOST=127.0.0.1:$port
"$here/tangoctl.sh" server "$dir" bench 0 bench/kt40/crate0
"$build/tango/camacds_bench" bench/kt40/crate0 "${2:-4000}"
