#!/usr/bin/env bash
# The newcomer's entry point.
#   ./kt40.sh panel   install what is missing, build, start the front panel on the virtual crate
#   ./kt40.sh test    install what is missing, build, run every test
#   ./kt40.sh bench   build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

build() { # build <dir> [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

case "${1:-}" in
  panel)
    ./scripts/install-deps.sh
    build build -DKT40_PANEL=ON -DKT40_SANITIZE=
    if [ -x build/tervan/tervan ]; then
      exec build/tervan/tervan "${@:2}"
    else
      exec build/camac/camac-demo "${@:2}"
    fi
    ;;
  test)
    ./scripts/install-deps.sh
    export KT40_SIM_STATE=private  # tests never reach the user's virtual crate
    build build -DKT40_PANEL=ON -DKT40_BENCHMARKS=ON -DKT40_SANITIZE=
    ctest --test-dir build --output-on-failure -j "$jobs"
    # CamacDS over TANGO: private MariaDB and DataBaseds, PyTango tests (about a minute).
    ./tango/scripts/test.sh build
    # The Python package, with Debian's pytest on the system's Python.
    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
    # The package again over the packed path (kt40drv under the stand-in kernel);
    # the wait timeouts are left out: 16.7 M polls each take 15-45 s on this path.
    KT40_ADAPTER=virtual-pci /usr/bin/python3 -m pytest -q -p no:cacheprovider \
      -k 'not failed_wait and not q_repeat_failures' \
      python/tests/test_crate.py python/tests/test_block.py python/tests/test_lam.py
    # Memory and undefined-behaviour faults: the whole suite again under ASan + UBSan.
    build build-asan -DKT40_SANITIZE=address -DKT40_PANEL=ON -DKT40_BENCHMARKS=OFF
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j "$jobs"
    # Races: the Qt-free parts again under ThreadSanitizer.
    build build-tsan -DKT40_SANITIZE=thread -DKT40_PANEL=OFF -DKT40_BENCHMARKS=OFF
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --test-dir build-tsan --output-on-failure -j "$jobs"
    # libFuzzer (clang, ASan + UBSan), 60 s each from the stored corpora, two at
    # a time; any finding fails the run: the script loader, the crate
    # description and state loaders, and the driver's request surface (the
    # stand-in kernel's invariants checked after every input).
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKT40_SCRIPT_FUZZ=ON \
      -DKT40_LOADER_FUZZ=ON -DKT40_DRIVER_FUZZ=ON \
      -DKT40_PANEL=OFF -DKT40_BENCHMARKS=OFF -DKT40_SANITIZE= >/dev/null
    cmake --build build-fuzz -j "$jobs" --target tervan_script_fuzz crate_file_fuzz crate_state_fuzz kt40drv_fuzz
    ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -R '^(ScriptFuzz|CrateFileFuzz|CrateStateFuzz|DriverFuzz)$'
    # The Windows library and driver, cross-compiled, their images checked, and
    # the library's failure path run under Wine.
    ./scripts/build-windows.sh --wine build-win
    ./scripts/wine-load-driver.sh build-win  # kt40drv.sys loaded and unloaded by Wine's kernel
    ;;
  bench)
    ./scripts/install-deps.sh
    export KT40_SIM_STATE=private  # benchmarks never reach the user's virtual crate
    build build
    for b in build/bench/bench_*; do [ -x "$b" ] && "$b" "${@:2}"; done
    ./tango/scripts/bench.sh build
    /usr/bin/python3 python/bench/bench_cnaf.py  # crate.cnaf over the C call it makes
    ;;
  *)
    echo "usage: $0 panel|test|bench" >&2
    exit 2
    ;;
esac
