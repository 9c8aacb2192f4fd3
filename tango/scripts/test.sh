#!/usr/bin/env bash
# Runs CamacDS's tests against a private TANGO control system:
#   tango/scripts/test.sh [BUILD_DIR] [pytest arguments]
# MariaDB and DataBaseds run in a temporary folder on a free port of
# 127.0.0.1; the PyTango tests start and stop the device servers; everything
# is stopped by PID when the tests end, pass or fail.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
shift || true
export CAMACDS=$build/tango/CamacDS KT40_LIBCAMAC=$build/camac/libcamac.so
[ -x "$CAMACDS" ] || { echo "tango tests: no server at $CAMACDS (build it first)" >&2; exit 1; }
export KT40_SIM_STATE=private  # every virtual crate started here is private and fresh
exec "$here/tangoctl.sh" run /usr/bin/python3 -m pytest -p no:cacheprovider -q -s \
  -W ignore::DeprecationWarning "$here/../tests" "$@"
