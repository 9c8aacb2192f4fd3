#!/usr/bin/env bash
# CamacDS's benchmark against a private TANGO control system on 127.0.0.1:
#   tango/scripts/bench.sh [BUILD_DIR] [rounds]
# Everything started is stopped by PID when the run ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
export CAMACDS=$build/tango/CamacDS BENCH=$build/tango/camacds_bench ROUNDS=${2:-4000}
[ -x "$CAMACDS" ] && [ -x "$BENCH" ] || { echo "tango bench: build CamacDS and camacds_bench first" >&2; exit 1; }
export KT40_SIM_STATE=private
exec "$here/tangoctl.sh" run bash -c \
  '"$0" server "$TANGO_TEST_DIR" bench 0 bench/kt40/crate0 && "$BENCH" bench/kt40/crate0 "$ROUNDS"' \
  "$here/tangoctl.sh"
