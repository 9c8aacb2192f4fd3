"""Actions on the default virtual crate: memory in station 1, scaler in 2, LAM source in 3, register in 5."""

import threading

import pytest

import kt40
from conftest import Simulator

MEMORY, SCALER, LAMSOURCE, REGISTER, EMPTY = 1, 2, 3, 5, 20


class TestActions:
    def test_memory_keeps_a_word_per_subaddress(self, crate):
        for a in range(16):
            assert crate.cnaf(MEMORY, a, 16, data=0x1111 * (a % 15) + a) == (None, True, True)
        assert [crate.cnaf(MEMORY, a, 0).data for a in range(16)] == [0x1111 * (a % 15) + a for a in range(16)]

    def test_24_bit_words_and_16_bit_reads_of_them(self, crate):
        crate.cnaf(REGISTER, 0, 16, data=0xABCDEF, bits=24)
        assert crate.cnaf(REGISTER, 0, 0, bits=24) == (0xABCDEF, True, True)
        assert crate.cnaf(REGISTER, 0, 0).data == 0xCDEF
        # a 16-bit write leaves the high byte alone on the dataway: 0
        crate.cnaf(REGISTER, 0, 16, data=0xFFFF)
        assert crate.cnaf(REGISTER, 0, 0, bits=24).data == 0xFFFF

    def test_q_and_x_tell_a_missing_word_from_a_missing_module(self, crate):
        assert crate.cnaf(REGISTER, 1, 0) == (0, False, True)  # the register has A0 only
        assert crate.cnaf(EMPTY, 0, 0) == (0, False, False)
        assert crate.cnaf(REGISTER, 0, 9) == (None, True, True)  # F9 clears
        assert crate.cnaf(REGISTER, 0, 27) == (None, False, False)  # unknown function

    def test_scaler_counts_pulses_only_while_the_crate_is_not_inhibited(self, crate):
        crate.inhibit = True
        assert crate.inhibit is True
        crate.cnaf(SCALER, 0, 9)
        for _ in range(3):
            crate.cnaf(SCALER, 1, 25)
        assert crate.cnaf(SCALER, 1, 0).data == 3
        assert crate.cnaf(SCALER, 1, 2).data == 3  # read and clear
        assert crate.cnaf(SCALER, 1, 0).data == 0
        crate.inhibit = False
        assert crate.inhibit is False

    def test_z_initialises_and_inhibits_c_clears(self, crate):
        crate.cnaf(MEMORY, 4, 16, data=77)
        crate.c()
        assert crate.cnaf(MEMORY, 4, 0).data == 0
        crate.inhibit = False
        crate.z()
        assert crate.inhibit is True

    def test_lam_pattern_names_the_requesting_stations(self, crate):
        assert not crate.test_lam() and crate.lam_pattern() == 0
        crate.cnaf(LAMSOURCE, 0, 25)
        assert crate.test_lam()
        assert kt40.stations(crate.lam_pattern()) == [LAMSOURCE]
        assert crate.cnaf(LAMSOURCE, 0, 8).q  # F8: LAM requested
        crate.cnaf(LAMSOURCE, 0, 10)
        assert not crate.test_lam()

    def test_status_record_after_actions(self, crate):
        crate.cnaf(MEMORY, 0, 16, data=0x4321)
        crate.cnaf(MEMORY, 0, 0)
        st = kt40.status()
        assert (st.lastWritten, st.lastRead, st.x, st.q, st.error) == (0x4321, 0x4321, True, True, 0)
        crate.cnaf(EMPTY, 0, 0)
        assert kt40.status().x is False
        assert kt40.status().error_text == "no error"

    def test_crates_are_separate(self, crate):
        crate.cnaf(MEMORY, 0, 16, data=5)
        other = kt40.Crate(1)  # not on-line in the default crate
        assert other.cnaf(MEMORY, 0, 0) == (0, False, False)
        assert crate.cnaf(MEMORY, 0, 0).data == 5


class TestFailures:
    @pytest.mark.parametrize("fault, cls, code, words", [
        (Simulator.DONE_NEVER, kt40.CamacTimeoutError, 0x0100, 'did not report the action done in time'),
        (Simulator.ERROR_BIT, kt40.AdapterError, 0x0200, "error bit"),
        (Simulator.BUSY_STUCK, kt40.CamacTimeoutError, 0x0500, 'stayed busy taking in the data'),
    ])
    def test_a_failed_wait_raises_with_code_and_words(self, crate, sim, fault, cls, code, words):
        sim.set_fault(fault)
        with pytest.raises(cls) as caught:
            crate.cnaf(MEMORY, 2, 16, data=1)
        err = caught.value
        assert (err.code, err.routine) == (code, "cssa")
        assert words in str(err) and "crate 0 N1 A2 F16" in str(err)
        if fault != Simulator.BUSY_STUCK:  # these wait for "done" only
            for action in (crate.z, crate.c, crate.test_lam, lambda: crate.inhibit):
                with pytest.raises(kt40.CamacError):
                    action()
        sim.set_fault(Simulator.NONE)
        assert crate.cnaf(MEMORY, 2, 0).q

    BAD = [
        (dict(n=0, a=0, f=0), ValueError, "station N must be 1..24, not 0"),
        (dict(n=25, a=0, f=0), ValueError, "station N must be 1..24"),
        (dict(n=1, a=16, f=0), ValueError, "subaddress A must be 0..15, not 16"),
        (dict(n=1, a=-1, f=0), ValueError, "subaddress A"),
        (dict(n=1, a=0, f=32), ValueError, "function F must be 0..31, not 32"),
        (dict(n=1, a=0, f=16), ValueError, "F16 writes: give the data word"),
        (dict(n=1, a=0, f=0, data=5), ValueError, "F0 does not write"),
        (dict(n=1, a=0, f=16, data=0x10000), ValueError, "data for 16-bit F16 must be 0..65535"),
        (dict(n=1, a=0, f=16, data=0x1000000, bits=24), ValueError, "data for 24-bit F16"),
        (dict(n=1, a=0, f=16, data=-1), ValueError, "must be 0..65535, not -1"),
        (dict(n=1, a=0, f=0, bits=32), ValueError, "bits must be 16 or 24"),
        # beyond what a C int holds: refused, never cut to its low bits on the way
        (dict(n=1, a=0, f=0, bits=(1 << 32) + 16), ValueError, "bits must be 16 or 24"),
        (dict(n=1, a=0, f=16, data=1 << 40), ValueError, "must be 0..65535, not 1099511627776"),
        (dict(n=(1 << 32) + 1, a=0, f=0), ValueError, "does not fit a 32-bit field"),
        (dict(n=1, a=0, f=0, bits=16.0), ValueError, "bits must be 16 or 24"),
        (dict(n=5.0, a=0, f=0), TypeError, "station N must be an integer, not float"),
        (dict(n=1, a="0", f=0), TypeError, "subaddress A must be an integer"),
        (dict(n=1, a=0, f=16, data=1.5), TypeError, "must be an integer"),
    ]

    @pytest.mark.parametrize("args, cls, words", BAD)
    def test_bad_arguments_never_reach_the_crate(self, crate, sim, args, cls, words):
        crate.cnaf(1, 0, 0)
        crate.cnaf(5, 0, 0)  # addresses in the cache already
        before = sim.accesses()
        with pytest.raises(cls, match=words.replace("(", r"\(").replace(".", r"\.")):
            crate.cnaf(**args)
        assert sim.accesses() == before

    def test_bad_crate_and_inhibit_values(self, crate, sim):
        with pytest.raises(ValueError, match="crate C must be 0..3, not 4"):
            kt40.Crate(4)
        before = sim.accesses()
        with pytest.raises(ValueError, match="inhibit must be True or False"):
            crate.inhibit = 2
        assert sim.accesses() == before


def test_threads_share_a_crate_and_each_sees_its_own_results(crate):
    """Each action's Q and X are its own even while other threads act on the same crate."""
    failures = []

    def worker(a):
        for i in range(400):
            crate.cnaf(MEMORY, a, 16, data=(a << 12) | i)
            got = crate.cnaf(MEMORY, a, 0)
            if got != ((a << 12) | i, True, True):
                failures.append((a, i, got))

    def absent():
        for _ in range(800):
            got = crate.cnaf(EMPTY, 0, 0)
            if got != (0, False, False):
                failures.append(("empty", got))

    threads = [threading.Thread(target=worker, args=(a,)) for a in range(3)] + [threading.Thread(target=absent)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_a_closed_crate_lets_the_adapter_go_and_a_new_one_takes_it(tmp_path):
    """After close() (or a with block) the next program gets the crate at once;
    this process takes it again with a new Crate."""
    import os
    import subprocess
    import sys
    import textwrap

    from conftest import PYTHON_DIR, build_dir

    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path), PYTHONPATH=str(PYTHON_DIR))
    env.pop("KT40_SIM_STATE", None)  # one crate for both programs
    tool = str(build_dir() / "tools" / "kt40" / "kt40")
    program = textwrap.dedent(f"""
        import subprocess, sys, kt40
        def other(*args):
            return subprocess.run([{tool!r}, *args], capture_output=True, text=True)
        with kt40.Crate(0) as crate:
            crate.cnaf(5, 0, 16, data=4321)
            held = other("cnaf", "0", "5", "0", "0")
        try:
            crate.cnaf(5, 0, 0)
        except ValueError as e:
            closed = str(e)
        freed = other("cnaf", "0", "5", "0", "16", "77")
        again = kt40.Crate(0).cnaf(5, 0, 0).data
        print(held.returncode, "Resource overlap" in held.stderr, closed, freed.returncode, again)
    """)
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["1", "True", "crate", "0", "is", "closed", "0", "77"]
    # At the interpreter's exit the adapter goes as well (the last crate was never closed).
    assert subprocess.run([tool, "cnaf", "0", "5", "0", "0"], env=env, capture_output=True).returncode == 0
