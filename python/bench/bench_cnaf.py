#!/usr/bin/env python3
"""The cost of ``Crate.cnaf`` over the C call it makes, per action, in one run.

Both sides run in this process against the same library and virtual crate:
a C loop of ``cssa`` calls (``libkt40py_cnafloop.so``, built in the tree) and
a Python loop of ``crate.cnaf`` calls, alternating in rounds. Printed: the
time per action of each, the overhead (Python minus C) and the ratio, from
the fastest round of each side (the figure least disturbed by other work on
the machine), and the median overhead over the rounds beside it. Both sides
count the processor time of their thread, not wall time, so that other work
on a shared machine does not show up as cost (the virtual adapter answers in
the calling thread, so nothing is left out).

    python3 python/bench/bench_cnaf.py [--actions N] [--rounds R]
"""

import argparse
import ctypes
import os
import statistics
import sys
import time
from pathlib import Path

os.environ["KT40_SIM_STATE"] = "private"  # a fresh crate of our own, never the user's
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import kt40  # noqa: E402
from kt40 import _library  # noqa: E402

GOAL_US = 3.0


def quiet_simulator() -> None:
    """Switches the virtual adapter's access log off: it costs the same on both sides."""
    try:
        sim = ctypes.CDLL("libkt40sim.so.1")
        instance = sim._ZN7kt40sim7Adapter8instanceEv
        instance.restype = ctypes.c_void_p
        set_logging = sim._ZN7kt40sim7Adapter10setLoggingEb
        set_logging.argtypes = [ctypes.c_void_p, ctypes.c_bool]
        set_logging(instance(), False)
    except (OSError, AttributeError):
        pass  # not the simulator: nothing to switch off


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--actions", type=int, default=10000, help="actions per round and side (default 10000)")
    parser.add_argument("--rounds", type=int, default=15, help="rounds (default 15)")
    args = parser.parse_args()

    crate = kt40.Crate(0)
    quiet_simulator()
    loop_path = Path(_library.paths["camac"]).resolve().parent.parent / "python" / "libkt40py_cnafloop.so"
    try:
        loop = ctypes.CDLL(str(loop_path)).kt40py_cnaf_loop
    except OSError as err:
        print(f"bench_cnaf: {err} (build the tree first)", file=sys.stderr)
        return 1
    loop.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_longlong]
    loop.restype = ctypes.c_longlong

    cases = [("read  F0  N5 A0 16-bit", 5, 0, 0, None, 16),
             ("write F16 N5 A0 16-bit", 5, 0, 16, 0x1234, 16),
             ("read  F0  N5 A0 24-bit", 5, 0, 0, None, 24)]
    n = args.actions
    print(f"crate.cnaf against the bare cssa call it makes, {n} actions x {args.rounds} rounds")
    print(f"{'action':24} {'C (ns)':>9} {'Python (ns)':>12} {'overhead (us)':>14} {'ratio':>7} {'median overhead (us)':>21}")
    worst = 0.0
    for name, station, a, f, data, bits in cases:
        ext = crate._address(station, a, bits)
        c_times, py_times = [], []
        for _ in range(args.rounds):
            elapsed = loop(f, ext, data or 0, n)
            if elapsed < 0:
                print("bench_cnaf: an action failed in the C loop", file=sys.stderr)
                return 1
            c_times.append(elapsed / n)
            cnaf = crate.cnaf
            start = time.thread_time_ns()
            if data is None:
                for _ in range(n):
                    cnaf(station, a, f, bits=bits)
            else:
                for _ in range(n):
                    cnaf(station, a, f, data, bits)
            py_times.append((time.thread_time_ns() - start) / n)
        c_ns, py_ns = min(c_times), min(py_times)
        overhead = (py_ns - c_ns) / 1000
        median = statistics.median(p - c for p, c in zip(py_times, c_times)) / 1000
        worst = max(worst, overhead)
        print(f"{name:24} {c_ns:9.0f} {py_ns:12.0f} {overhead:14.2f} {py_ns / c_ns:7.2f} {median:21.2f}")
    print(f"largest overhead {worst:.2f} us per action (goal at most {GOAL_US:.0f} us): "
          + ("met" if worst <= GOAL_US else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
