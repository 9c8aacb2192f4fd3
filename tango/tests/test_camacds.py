"""CamacDS over TANGO, as a remote client meets it."""
import os
import subprocess
import threading
import time

import pytest
import tango

MEMORY, LAMSOURCE = 1, 3  # stations of the default crate


def failure(call):
    """The first error of the DevFailed that `call` raises."""
    with pytest.raises(tango.DevFailed) as caught:
        call()
    return caught.value.args[0]


def test_every_command_and_attribute(crate0):
    dev = crate0
    assert dev.state() == tango.DevState.ON
    # CNAF, 16 and 24 bits: [data, Q, X].
    assert list(dev.CNAF([MEMORY, 2, 16, 0x1234])) == [0, 1, 1]
    assert list(dev.CNAF([MEMORY, 2, 0])) == [0x1234, 1, 1]
    dev.CNAF([MEMORY, 3, 16, 0xABCDEF, 24])
    assert list(dev.CNAF([MEMORY, 3, 0, 0, 24])) == [0xABCDEF, 1, 1]
    assert list(dev.CNAF([MEMORY, 3, 0, 0, 16])) == [0xCDEF, 1, 1]
    assert dev.LastQ and dev.LastX
    record = list(dev.LastStatusRecord)  # error, x, q, l, i, lamPattern, bit11, bit10, lastRead, lastWritten
    assert record == [0, 1, 1, 0, 0, 0, 0, 1, 0xCDEF, 0xABCDEF]  # bit 10: crate on-line
    assert list(dev.CNAF([20, 0, 0])) == [0, 0, 0]  # an empty station: no X
    assert not dev.LastX and not dev.LastQ
    assert dev.status() == "Crate 0 ready."

    # ExecList: [data, Q, X] for each action, in order.
    out = dev.ExecList([MEMORY, 4, 16, 11, 16, MEMORY, 4, 0, 0, 16, 20, 0, 0, 0, 16])
    assert list(out) == [0, 1, 1, 11, 1, 1, 0, 0, 0]

    # Block: words written, then read back in the three modes.
    assert list(dev.Block([[MEMORY, 5, 16, 3, 7, 8, 9], ["count"]])) == [7, 8, 9]
    assert list(dev.Block([[MEMORY, 5, 0, 4], ["qstop"]])) == [9, 9, 9, 9]
    assert list(dev.Block([[MEMORY, 5, 0, 2], ["qrepeat", "24"]])) == [9, 9]
    # An empty station is not Q = 0, in any mode; nor is it the adapter's failure.
    for mode in ("qstop", "qrepeat", "count", "countq"):
        err = failure(lambda: dev.Block([[20, 0, 0, 3], [mode]]))
        assert err.reason == "CAMAC_NoX" and "did not answer with X" in err.desc, mode
    # countq: the words, then the Q of each (the memory gives Q for each).
    assert list(dev.Block([[MEMORY, 5, 0, 2], ["countq"]])) == [9, 9, 1, 1]

    # Inhibit, Z and C.
    dev.Inhibit = True
    assert dev.Inhibit
    dev.Inhibit = False
    assert not dev.Inhibit
    dev.Z()
    assert dev.Inhibit  # Z sets the inhibit
    dev.Inhibit = False
    dev.CNAF([MEMORY, 2, 16, 77])
    dev.C()
    assert dev.CNAF([MEMORY, 2, 0])[0] == 0  # C clears the memory

    # A LAM is served (acknowledged) by the server: the pattern is clear after it.
    dev.CNAF([LAMSOURCE, 0, 25])
    deadline = time.monotonic() + 5
    while dev.LamPattern != 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert dev.LamPattern == 0


def test_bad_input_is_refused_before_the_crate(crate0):
    dev = crate0
    dev.CNAF([MEMORY, 6, 16, 4321])
    cases = [
        (lambda: dev.CNAF([MEMORY, 6, 16, 70000]), "data for 16-bit F16 must be 0..65535, not 70000"),
        (lambda: dev.CNAF([MEMORY, 6, 16, 1 << 24, 24]), "data for 24-bit F16 must be 0..16777215, not 16777216"),
        (lambda: dev.CNAF([MEMORY, 6, 16, 1, 12]), "bits must be 16 or 24, not 12"),
        (lambda: dev.CNAF([MEMORY, 22, 16, 1]), "subaddress A must be 0..15, not 22"),
        (lambda: dev.CNAF([33, 6, 16, 1]), "station N must be 1..24, not 33"),
        (lambda: dev.CNAF([0, 6, 16, 1]), "station N must be 1..24, not 0"),
        (lambda: dev.CNAF([25, 6, 16, 1]), "station N must be 1..24, not 25"),
        (lambda: dev.CNAF([MEMORY, 6, 48, 1]), "function F must be 0..31, not 48"),
        (lambda: dev.CNAF([MEMORY, 6, 16]), "F16 writes: give the data word"),
        (lambda: dev.CNAF([MEMORY, 6, 0, 99]), "F0 does not write: data must be 0, not 99"),
        (lambda: dev.CNAF([MEMORY, 6]), "not 2 numbers"),
        (lambda: dev.ExecList([MEMORY, 6, 16, 1, 16, MEMORY, 6, 16, -5, 16]),
         "action 2: data for 16-bit F16 must be 0..65535, not -5"),
        (lambda: dev.ExecList([MEMORY, 6, 9, 3, 16]), "action 1: F9 does not write: data must be 0, not 3"),
        (lambda: dev.ExecList([MEMORY, 6, 16, 1]), "not a whole number"),
        (lambda: dev.Block([[MEMORY, 6, 16, 2, 1, 1 << 16], ["count"]]),
         "word 2: data for 16-bit F16 must be 0..65535, not 65536"),
        (lambda: dev.Block([[MEMORY, 6, 16, 3, 1], ["count"]]), "needs 3 data words, not 1"),
        (lambda: dev.Block([[MEMORY, 6, 0, 0], ["qstop"]]), "count must be 1..65536, not 0"),
        (lambda: dev.Block([[MEMORY, 6, 0, 2], ["fast"]]),
         "mode must be 'qstop', 'qrepeat', 'count' or 'countq', not 'fast'"),
    ]
    for call, says in cases:
        err = failure(call)
        assert err.reason == "CAMAC_BadArgument", says
        assert says in err.desc, (says, err.desc)
        assert err.origin.startswith("CamacCrate::")
    # Nothing reached the crate: the word and the last action are as they were.
    assert list(dev.CNAF([MEMORY, 6, 0])) == [4321, 1, 1]
    record = list(dev.LastStatusRecord)
    assert record[8] == 4321 and record[9] == 4321


def test_lams_as_events_for_twenty_seconds(crate0):
    """Every LAM the LAM source raises arrives once: the data-ready counter
    is the LAM's sequence number, so a lost or repeated event shows."""
    dev = crate0
    cond = threading.Condition()
    ready, changes, errors = [], [], []

    def on_ready(ev):
        with cond:
            (errors if ev.err else ready).append(ev.errors if ev.err else ev.ctr)
            cond.notify_all()

    def on_change(ev):
        with cond:
            (errors if ev.err else changes).append(ev.errors if ev.err else
                                                   (ev.attr_value.value, ev.attr_value.time.totime()))

    ids = [dev.subscribe_event("LamPattern", tango.EventType.DATA_READY_EVENT, on_ready),
           dev.subscribe_event("LamPattern", tango.EventType.CHANGE_EVENT, on_change)]
    try:
        time.sleep(0.5)
        with cond:
            first = len(ready)
            changes.clear()  # the value at subscription
        fired = 0
        end = time.monotonic() + float(os.environ.get("CAMACDS_SOAK_SECONDS", "20"))
        while time.monotonic() < end:
            dev.CNAF([LAMSOURCE, 0, 25])
            fired += 1
            with cond:
                assert cond.wait_for(lambda: len(ready) >= first + fired, timeout=5), \
                    f"LAM {fired} brought no event"
        time.sleep(1)  # anything late or doubled would arrive now
    finally:
        for i in ids:
            dev.unsubscribe_event(i)
    with cond:
        print(f"\nsoak: {fired} LAMs fired, {len(ready) - first} data-ready and {len(changes)} change events")
        assert not errors
        counters = ready[first:]
        assert len(counters) == fired
        assert counters == list(range(counters[0], counters[0] + fired))
        # Each LAM: the pattern seen, then the pattern after the server's
        # acknowledgement (cleared), as a read of the attribute gives it.
        assert [value for value, _ in changes] == [1 << (LAMSOURCE - 1), 0] * fired
        stamps = [t for _, t in changes]
        assert stamps == sorted(stamps)  # the pattern after comes at or after the one seen
        seen = stamps[::2]
        assert len(set(seen)) == len(seen)
    assert dev.LamPattern == 0
    assert fired > 1000


def test_server_restart_while_a_client_holds_a_proxy(servers):
    dev = servers.start("restart", 0, "test/kt40/restart")
    dev.CNAF([MEMORY, 7, 16, 55])
    servers.kill("restart")
    with pytest.raises(tango.DevFailed):
        tango.DeviceProxy("test/kt40/restart").ping()  # gone (another proxy, so as not to delay ours)
    servers.start("restart", 0, "test/kt40/restart")
    # The same proxy: the next call reaches the new server (a fresh crate).
    assert list(dev.CNAF([MEMORY, 7, 0])) == [0, 1, 1]
    assert dev.state() == tango.DevState.ON


def test_a_bad_crate_property_is_a_fault_until_fixed(servers):
    dev = servers.start("badcrate", 7, "test/kt40/badcrate")
    assert dev.state() == tango.DevState.FAULT
    assert "the property Crate must be a crate number 0-3, not '7'" in dev.status()
    err = failure(lambda: dev.CNAF([MEMORY, 0, 0]))
    assert err.reason == "API_CommandNotAllowed"
    with pytest.raises(tango.DevFailed):
        dev.Inhibit = True
    tango.Database().put_device_property("test/kt40/badcrate", {"Crate": ["0"]})
    dev.Init()
    assert dev.state() == tango.DevState.ON
    assert not dev.Inhibit  # the refused write did not reach the crate


def test_an_adapter_held_by_another_program_is_a_fault_until_released(servers, tmp_path):
    """The crate of a user (here in a private state folder) is held by one
    program at a time: while another holds it, the server cannot open the
    adapter."""
    user = {"XDG_STATE_HOME": str(tmp_path), "KT40_SIM_STATE": None}
    env = {k: v for k, v in {**os.environ, **user}.items() if v is not None}
    holder = subprocess.Popen(
        ["/usr/bin/python3", "-c", "import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); "
         "print(lib.ccinit(), flush=True); sys.stdin.read()", os.environ["KT40_LIBCAMAC"]],
        env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "0"  # it holds the crate
        dev = servers.start("held", 0, "test/kt40/held", env=user)
        assert dev.state() == tango.DevState.FAULT
        assert "the KT40 adapter cannot be opened" in dev.status()
        assert "run Init to retry now" in dev.status()
        assert failure(lambda: dev.CNAF([MEMORY, 0, 0])).reason == "API_CommandNotAllowed"
    finally:
        holder.stdin.close()  # the holder ends, and with it its hold
        holder.wait(timeout=10)
    dev.Init()
    assert dev.state() == tango.DevState.ON
    assert list(dev.CNAF([MEMORY, 0, 0]))[1:] == [1, 1]


def test_the_packed_path_serves_the_same(servers):
    """CamacDS over the PCI adapter's path: kt40drv under the stand-in kernel."""
    dev = servers.start("crate0pci", 0, "test/kt40/crate0pci", env={"KT40_ADAPTER": "virtual-pci"})
    try:
        assert dev.state() == tango.DevState.ON
        dev.CNAF([MEMORY, 3, 16, 0xABCDEF, 24])
        assert list(dev.CNAF([MEMORY, 3, 0, 0, 24])) == [0xABCDEF, 1, 1]
        assert list(dev.CNAF([MEMORY, 3, 0, 0, 16])) == [0xCDEF, 1, 1]
        # The same status record as the register path gives after the same actions.
        assert list(dev.LastStatusRecord) == [0, 1, 1, 0, 0, 0, 0, 1, 0xCDEF, 0xABCDEF]
        out = dev.ExecList([MEMORY, 4, 16, 11, 16, MEMORY, 4, 0, 0, 16, 20, 0, 0, 0, 16])
        assert list(out) == [0, 1, 1, 11, 1, 1, 0, 0, 0]
        assert list(dev.Block([[MEMORY, 5, 16, 3, 7, 8, 9], ["count"]])) == [7, 8, 9]
        assert list(dev.Block([[MEMORY, 5, 0, 4], ["qstop"]])) == [9, 9, 9, 9]
        dev.Z()
        assert dev.Inhibit
        dev.Inhibit = False
        dev.CNAF([LAMSOURCE, 0, 25])  # served by the server's LAM handler, polled on this path
        deadline = time.monotonic() + 5
        while dev.LamPattern != 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert dev.LamPattern == 0
    finally:
        servers.stop("crate0pci")
