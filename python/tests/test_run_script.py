"""kt40.run_script: the panel's worker through camactools, as kt40 run uses it."""

import json
import os
import subprocess

import pytest
from conftest import build_dir

import kt40
from kt40 import Command, Script

REGISTER = 5


def program(*entries):
    return Script(list(entries))


def test_a_pass_shows_each_entry_and_a_cycle_counts_its_passes(crate, tmp_path):
    script = program(Command.cnaf(0, REGISTER, 0, 16, 0x0ABC), Command.cnaf(0, REGISTER, 0, 0),
                     Command.cnaf(0, 9, 0, 0))
    once = kt40.run_script(script)
    assert (once.entries, once.errors, once.interrupted) == (3, 0, False)
    write, read, empty = once.steps
    assert (read.r, read.q, read.x, read.error) == (0x0ABC, True, True, False)
    assert str(write.command) == "B16 C00 N05 A00 F16 D0ABC"
    assert empty.x is False
    path = tmp_path / "p.tvs"
    script.save(path)
    seen = []
    cycled = kt40.run_script(path, cycle=True, count=3, on_step=seen.append)
    assert cycled.entries == 9 and cycled.steps == []
    assert [(s.pass_number, s.entry) for s in seen] == [(p, e) for p in (1, 2, 3) for e in (1, 2, 3)]


def test_what_kt40_run_prints_is_what_run_script_gives(crate, tmp_path):
    script = program(Command.cnaf(0, REGISTER, 0, 16, 0x0123), Command.cnaf(0, REGISTER, 0, 0), Command.read_lam(0))
    path = tmp_path / "p.tvs"
    script.save(path)
    tool = build_dir() / "tools" / "kt40" / "kt40"
    done = subprocess.run([str(tool), "--json", "run", str(path)], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, KT40_SIM_STATE="private"))
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    printed = [(r["entry"], r["r"], r["x"], r["q"], r["lam_pattern"]) for r in records if r["type"] == "run_entry"]
    given = [(s.entry, s.r, s.x, s.q, s.lam) for s in kt40.run_script(path).steps]
    assert printed == given and len(given) == 3


def test_out_of_range_entries_are_refused_before_any_action(crate, sim, tmp_path):
    foreign = program(Command.cnaf(0, REGISTER, 0, 16, 0x0111), Command.raw(0, 0, 1, 16, 0, 37, 0, 16, 0x0222, 0))
    before = sim.accesses()
    with pytest.raises(ValueError, match=r"1 entry is out of range; nothing was run \(as_panel=True .*\n  entry 2: station N 37"):
        kt40.run_script(foreign)
    assert sim.accesses() == before
    ran = kt40.run_script(foreign, as_panel=True)
    assert ran.entries == 2
    assert crate.cnaf(REGISTER, 0, 0).data == 0x0222  # station 37 is station 5 to the panel
    with pytest.raises(ValueError, match="the program is empty"):
        kt40.run_script(Script())
    with pytest.raises(ValueError, match="count counts the passes of a cycle"):
        kt40.run_script(foreign, count=2)


def test_a_failing_callback_ends_an_endless_cycle_and_is_raised(crate):
    class Enough(Exception):
        pass

    seen = []

    def stop_at_five(step):
        seen.append(step)
        if len(seen) == 5:
            raise Enough

    with pytest.raises(Enough):
        kt40.run_script(program(Command.cnaf(0, REGISTER, 0, 0)), cycle=True, on_step=stop_at_five)
    assert len(seen) >= 5
