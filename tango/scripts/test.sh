#!/usr/bin/env bash
# Runs CamacDS's tests against a private TANGO control system:
#   tango/scripts/test.sh [BUILD_DIR] [pytest arguments]
# Starts MariaDB and DataBaseds in a temporary folder (a free port on
# 127.0.0.1), runs the PyTango tests, which start and stop the device servers,
# and stops everything by PID when the tests end, pass or fail.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true

export CAMACDS=$build/tango/CamacDS
export KT40_LIBCAMAC=$build/camac/libcamac.so
[ -x "$CAMACDS" ] || { echo "tango tests: no server at $CAMACDS (build it first)" >&2; exit 1; }
# The virtual crate of every process started here is private and fresh.
export KT40_SIM_STATE=private

dir=$(mktemp -d "${TMPDIR:-/tmp}/camacds-test.XXXXXX")
cleanup() {
  "$here/tangoctl.sh" down "$dir" || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$here/tangoctl.sh" up "$dir" "$port" >/dev/null
export TANGO_HOST=127.0.0.1:$port TANGO_TEST_DIR=$dir
/usr/bin/python3 -m pytest -p no:cacheprovider -q -s -W ignore::DeprecationWarning "$root/tango/tests" "$@"
