"""LAM handlers end to end: the LAM source in station 3 raises its LAM with F25."""

import threading
import time

import pytest


LAMSOURCE = 3
WAIT = 5.0  # seconds; only reached when a LAM is lost


def raise_lam(crate):
    crate.cnaf(LAMSOURCE, 0, 25)


def clear_lam(crate):
    crate.cnaf(LAMSOURCE, 0, 10)


def test_callback_runs_in_python_on_the_wait_thread(crate):
    events, seen = [], threading.Event()

    def served(event):
        clear_lam(crate)  # actions from the callback work
        events.append((event, threading.current_thread() is threading.main_thread()))
        seen.set()

    with crate.lam_handler(served) as link:
        raise_lam(crate)
        assert seen.wait(WAIT)
    assert link.closed and link.count == 1
    event, on_main = events[0]
    assert not on_main
    assert (event.crate, event.pattern, event.stations) == (0, 1 << (LAMSOURCE - 1), [LAMSOURCE])
    assert abs(event.time - time.time()) < 60


def test_a_callback_that_raises_is_reported_and_the_link_survives(crate, capfd):
    calls, second = [], threading.Event()

    def faulty(event):
        clear_lam(crate)
        calls.append(event)
        if len(calls) == 1:
            raise RuntimeError("fault in the callback")
        second.set()

    with crate.lam_handler(faulty) as link:
        raise_lam(crate)
        deadline = time.monotonic() + WAIT
        while not link.errors and time.monotonic() < deadline:
            time.sleep(0.005)
        raise_lam(crate)
        assert second.wait(WAIT)
    assert [type(e) for e in link.errors] == [RuntimeError]
    err = capfd.readouterr().err
    assert "the LAM callback raised (the link stays)" in err and "RuntimeError: fault in the callback" in err
    assert len(calls) == 2


def test_poll_takes_events_one_at_a_time(crate):
    with crate.lam_handler() as link:
        assert link.poll(0.05) is None
        raise_lam(crate)
        event = link.poll(WAIT)
        assert event is not None and event.stations == [LAMSOURCE]
        clear_lam(crate)  # served before the next poll, as a callback would
        assert link.poll(0.1) is None
        raise_lam(crate)
        assert link.poll(WAIT).stations == [LAMSOURCE]
        clear_lam(crate)
    assert link.count == 2
    with pytest.raises(RuntimeError, match="its callback"):
        with crate.lam_handler(lambda e: None) as other:
            other.poll(0)


def test_one_link_at_a_time_and_a_new_one_after_closing(crate):
    first = crate.lam_handler(lambda e: None)
    try:
        with pytest.raises(RuntimeError, match="linked already"):
            crate.lam_handler()
    finally:
        first.close()
    first.close()  # a second close does nothing
    with crate.lam_handler() as second:
        raise_lam(crate)
        assert second.poll(WAIT) is not None
        clear_lam(crate)
    assert first.count == 0


def test_the_callback_cannot_close_its_own_link(crate):
    done = threading.Event()

    def closing(event):
        clear_lam(crate)
        try:
            link.close()
        finally:
            done.set()

    link = crate.lam_handler(closing)
    try:
        raise_lam(crate)
        assert done.wait(WAIT)
        assert not link.closed
        assert "cannot close its own link" in str(link.errors[0])
    finally:
        link.close()


def test_callback_and_other_threads_act_on_the_crate_together(crate):
    """The wait thread's actions and another thread's keep their own results."""
    served, bad = [], []

    def callback(event):
        clear_lam(crate)
        served.append(crate.cnaf(5, 0, 0).x)

    stop = threading.Event()

    def busy():
        i = 0
        while not stop.is_set():
            i = (i + 1) & 0xFFFF
            crate.cnaf(1, 7, 16, data=i)
            if crate.cnaf(1, 7, 0) != (i, True, True):
                bad.append(i)

    with crate.lam_handler(callback):
        worker = threading.Thread(target=busy)
        worker.start()
        try:
            for k in range(20):
                raise_lam(crate)
                deadline = time.monotonic() + WAIT
                while len(served) <= k and time.monotonic() < deadline:
                    time.sleep(0.001)
        finally:
            stop.set()
            worker.join()
    assert served == [True] * 20 and bad == []
