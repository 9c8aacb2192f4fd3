"""Block transfers through camac758: Q-stop, Q-repeat and address scans on the default crate."""

from array import array

import pytest

import kt40
from conftest import Simulator

MEMORY, SCALER, REGISTER, EMPTY = 1, 2, 5, 20


def test_a_scan_writes_and_reads_a_whole_memory_module(crate):
    assert crate.write_block(MEMORY, 0, range(0xF000, 0xF010), mode="scan") == 16
    words = crate.read_block(MEMORY, 0, 100, mode="scan")
    assert isinstance(words, array) and words.typecode == "l"
    assert words.tolist() == list(range(0xF000, 0xF010))
    assert crate.read_block(MEMORY, 4, 3, mode="scan").tolist() == [0xF004, 0xF005, 0xF006]


def test_a_scan_leaves_a_module_at_its_first_q_0(crate):
    crate.inhibit = True  # the scaler counts only what we send it
    crate.cnaf(SCALER, 0, 9)
    for channel in range(4):
        for _ in range(channel + 1):
            crate.cnaf(SCALER, channel, 25)
    # four channels, then Q = 0 at A4 moves on to station 3, where the scan ends
    assert crate.read_block(SCALER, 0, 64, mode="scan", until=(SCALER, 15)).tolist() == [1, 2, 3, 4]


def test_q_stop_and_q_repeat_at_one_address(crate):
    crate.cnaf(MEMORY, 3, 16, data=0x0777)
    assert crate.read_block(MEMORY, 3, 5).tolist() == [0x0777] * 5  # Q = 1 every time: count words
    assert crate.read_block(REGISTER, 1, 5).tolist() == []  # the first Q = 0 ends it
    assert crate.read_block(MEMORY, 3, 4, mode="qrepeat").tolist() == [0x0777] * 4
    assert crate.write_block(REGISTER, 1, [1, 2, 3]) == 0
    assert crate.write_block(MEMORY, 2, (5, 6, 7)) == 3
    assert crate.cnaf(MEMORY, 2, 0).data == 7
    assert crate.read_block(MEMORY, 0, 0).tolist() == []


def test_24_bit_blocks(crate):
    assert crate.write_block(REGISTER, 0, array("l", [0xABCDEF]), bits=24) == 1
    assert crate.read_block(REGISTER, 0, 2, bits=24).tolist() == [0xABCDEF] * 2
    assert crate.read_block(REGISTER, 0, 1).tolist() == [0xCDEF]


def test_q_repeat_failures_carry_what_was_transferred(crate):
    with pytest.raises(kt40.CamacTimeoutError) as no_q:
        crate.read_block(REGISTER, 1, 3, mode="qrepeat")
    assert no_q.value.code == 0x0900 and no_q.value.transferred.tolist() == []
    with pytest.raises(kt40.CamacError, match=r"csubr \(crate 0 N20 A0 F16 qrepeat\).*did not answer with X") as no_x:
        crate.write_block(EMPTY, 0, [1, 2], mode="qrepeat")
    assert (no_x.value.code, no_x.value.transferred) == (0x0A00, 0)


def test_a_failed_wait_mid_block_keeps_the_words_read_before(crate, sim):
    crate.write_block(MEMORY, 0, range(10, 26), mode="scan")
    before = sim.accesses()
    crate.read_block(MEMORY, 0, 1)
    per_word = sim.accesses() - before
    sim.set_fault_after(3 * per_word, Simulator.DONE_NEVER)
    with pytest.raises(kt40.CamacTimeoutError) as caught:
        crate.read_block(MEMORY, 0, 8, mode="scan")
    assert caught.value.transferred.tolist() == [10, 11, 12]


@pytest.mark.parametrize("call, cls, words", [
    (lambda c: c.read_block(1, 0, 4, f=16), ValueError, "F16 does not read"),
    (lambda c: c.write_block(1, 0, [1], f=0), ValueError, "F0 does not write"),
    (lambda c: c.read_block(1, 0, -1), ValueError, "count must be 0"),
    (lambda c: c.read_block(1, 0, 4, mode="fast"), ValueError, "mode must be 'qstop', 'qrepeat' or 'scan'"),
    (lambda c: c.read_block(1, 5, 4, mode="scan", until=(1, 4)), ValueError, "until N1 A4 lies before N1 A5"),
    (lambda c: c.read_block(1, 0, 4, until=(2, 0)), ValueError, "until is for mode 'scan'"),
    (lambda c: c.read_block(1, 0, 4, mode="scan", until=2), TypeError, r"until must be a pair \(N, A\)"),
    (lambda c: c.read_block(25, 0, 4), ValueError, "station N must be 1..24"),
    (lambda c: c.write_block(1, 0, [1, 2, 0x10000]), ValueError, r"data\[2\] for 16-bit F16 must be 0..65535"),
    (lambda c: c.write_block(1, 0, [1, -1], bits=24), ValueError, r"data\[1\] for 24-bit F16"),
    (lambda c: c.write_block(1, 0, [1, 2.0]), TypeError, r"data\[1\] for 16-bit F16 must be an integer"),
    (lambda c: c.write_block(1, 0, 5), TypeError, "data must be a sequence of ints"),
])
def test_bad_block_arguments_never_reach_the_crate(crate, sim, call, cls, words):
    crate.read_block(1, 0, 1)  # the library loaded, addresses known
    before = sim.accesses()
    with pytest.raises(cls, match=words):
        call(crate)
    assert sim.accesses() == before
