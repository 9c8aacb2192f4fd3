"""Script files: the layout, all or nothing, and byte for byte the panel's own reader and writer."""

import json
import os
import random
import stat
import subprocess

import pytest

from conftest import REPO, build_dir
from kt40 import Command, Script, ScriptFormatError, read_script, write_script

CORPUS = sorted((REPO / "tervan" / "tests" / "script_corpus").glob("*.tvs"))


def run(tool, *args, text=None):
    return subprocess.run([str(tool), *map(str, args)], input=text, capture_output=True, text=True, timeout=60)


def as_text(script):
    """The helper's text form of a program."""
    lines = [str(script.run_position), script.reserved.hex()]
    lines += [" ".join(str(getattr(e, f)) for f in ("kind", "lam_operation", "addressed", "mode", "crate", "n", "a",
                                                    "f", "data", "code")) for e in script.entries]
    return "\n".join(lines) + "\n"


def random_script(rng, count):
    def word():
        return rng.choice([0, 1, -1, 0x7FFFFFFF, -0x80000000, rng.randrange(-(1 << 31), 1 << 31)])

    entries = [rng.choice([
        lambda: Command.cnaf(rng.randrange(4), rng.randrange(1, 25), rng.randrange(16), rng.randrange(32),
                             rng.randrange(1 << 16)),
        lambda: Command.cnaf(rng.randrange(4), 24, 15, 16, 0xFFFFFF, bits=24),
        lambda: Command.unaddressed(rng.randrange(4), rng.choice("CZ") if rng.random() < 0.5 else rng.choice([4, 8])),
        lambda: Command.read_lam(rng.randrange(4), rng.choice([16, 24])),
        # what a foreign file may hold in any field
        lambda: Command.raw(rng.randrange(256), word(), rng.randrange(256), *(word() for _ in range(7))),
    ])() for _ in range(count)]
    return Script(entries, rng.choice([-1, 0, count - 1]), bytes(rng.randrange(256) for _ in range(44)))


class TestLayout:
    def test_an_empty_program(self):
        assert Script().to_bytes() == b"TVS" + b"\xff\xff\xff\xff" + bytes(4) + bytes(44)

    def test_one_addressed_command(self, tmp_path):
        path = tmp_path / "one.tvs"
        write_script(path, Script([Command.cnaf(1, 3, 2, 16, 0x00FF)], run_position=0))
        image = path.read_bytes()
        assert len(image) == 95 and image[7:11] == b"\x01\x00\x00\x00"
        record = image[55:]
        assert record[0] == 0 and record[8] == 1
        fields = [int.from_bytes(record[o:o + 4], "little") for o in range(12, 40, 4)]
        assert fields == [16, 1, 3, 2, 16, 255, 0]
        assert str(read_script(path).entries[0]) == "B16 C01 N03 A02 F16 D00FF"

    def test_loading_sets_the_run_position_to_0_and_keeps_reserved_bytes(self):
        script = Script([Command.read_lam(2)], run_position=-1, reserved=bytes(range(44)))
        loaded = Script.from_bytes(script.to_bytes() + b"trailing bytes are ignored")
        assert loaded == Script(script.entries, 0, bytes(range(44)))
        assert str(loaded.entries[0]) == "RDL"

    def test_grid_texts(self):
        assert str(Command.cnaf(0, 5, 0, 0, bits=24)) == "B24 C00 N05 A00 F00"
        assert [str(Command.unaddressed(3, c)) for c in ("c", "Z", 4, "NI")] == ["C03 C", "C03 Z", "C03 I", "C03 NI"]


class TestAllOrNothing:
    @pytest.mark.parametrize("image, words", [
        (b"", "does not start with"),
        (b"TV", "does not start with"),
        (b"tvs" + bytes(52), "does not start with"),
        (b"TVS" + bytes(51), "shorter than the 55-byte header"),
        (b"TVS" + bytes(4) + (256).to_bytes(4, "little") + bytes(44) + bytes(40 * 256), "count 256 outside 0..255"),
        (b"TVS" + bytes(4) + (-1).to_bytes(4, "little", signed=True) + bytes(44), "count -1"),
        (b"TVS" + bytes(4) + (2).to_bytes(4, "little") + bytes(44) + bytes(79), "only 1 whole entries"),
    ])
    def test_damaged_images_give_nothing(self, image, words):
        with pytest.raises(ScriptFormatError, match=words):
            Script.from_bytes(image)

    def test_a_refused_save_leaves_the_old_file_and_no_litter(self, tmp_path):
        path = tmp_path / "kept.tvs"
        write_script(path, Script([Command.read_lam(0)]))
        before = path.read_bytes()
        with pytest.raises(ValueError, match="at most 255 entries"):
            write_script(path, Script([Command.read_lam(0)] * 256))
        with pytest.raises(ValueError, match="data 4294967296 does not fit"):
            write_script(path, Script([Command.raw(data=1 << 32)]))
        bad = Command.read_lam(0)
        bad.n = 1 << 40  # changed after it was made
        with pytest.raises(ValueError, match="n 1099511627776 does not fit"):
            write_script(path, Script([bad]))
        path.chmod(stat.S_IRUSR)
        with pytest.raises(PermissionError, match="read-only"):
            write_script(path, Script())
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["kept.tvs"]

    def test_a_save_through_a_link_replaces_the_file_it_names(self, tmp_path):
        (tmp_path / "real.tvs").write_bytes(b"old")
        (tmp_path / "link.tvs").symlink_to("real.tvs")
        write_script(tmp_path / "link.tvs", Script())
        assert (tmp_path / "link.tvs").is_symlink() and len((tmp_path / "real.tvs").read_bytes()) == 55

    def test_bad_entries_are_refused_when_made(self):
        for make, words in [
            (lambda: Command.cnaf(4, 1, 0, 0), "crate C must be 0..3"),
            (lambda: Command.cnaf(0, 25, 0, 0), "station N must be 1..24"),
            (lambda: Command.cnaf(0, 1, 0, 16, 0x10000), "data for 16-bit F16 must be 0..65535"),
            (lambda: Command.cnaf(0, 1, 0, 16, bits=20), "bits must be 16 or 24"),
            (lambda: Command.unaddressed(0, "X"), "one of C, Z, I, NI"),
            (lambda: Command.unaddressed(0, 3), "one of C, Z, I, NI"),
            (lambda: Command(kind=256), "kind must be 0..255"),
            (lambda: Command(addressed=1, mode=16, n=37), "entry out of range: station N 37"),
            (lambda: Command(addressed=1, mode=24, n=1, data=1 << 24), "entry out of range: data 16777216"),
            (lambda: Command(kind=1, crate=4), "entry out of range: crate 4"),
            (lambda: Command(), "entry out of range: command code 0"),
        ]:
            with pytest.raises(ValueError, match=words):
                make()

    def test_foreign_entries_load_as_they_are_and_say_what_is_wrong(self, tmp_path):
        """A file may hold what Command() refuses: it loads, and kt40 show marks the same entries."""
        foreign = [Command.raw(addressed=1, mode=16, n=37, f=8), Command.raw(addressed=2, crate=1),
                   Command.raw(kind=1, lam_operation=3), Command.cnaf(0, 5, 0, 16, 7)]
        path = tmp_path / "foreign.tvs"
        write_script(path, Script(foreign))
        loaded = read_script(path).entries
        assert [e.out_of_range() for e in loaded] == ["station N 37", "addressed 2", "LAM operation 3", ""]
        tool = build_dir() / "tools" / "kt40" / "kt40"
        shown = run(tool, "--json", "show", path)
        assert [json.loads(line)["out_of_range"] or "" for line in shown.stdout.splitlines()] == \
            [e.out_of_range() for e in loaded]


class TestSameAsThePanel:
    @pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
    def test_the_panel_corpus_gets_the_same_verdict_and_bytes(self, tvs_tool, tmp_path, path):
        out = tmp_path / "panel.tvs"
        panel = run(tvs_tool, "copy", path, out)
        if path.name.startswith("bad-"):
            assert panel.returncode == 3, panel.stderr
            with pytest.raises(ScriptFormatError, match=path.name):
                read_script(path)
        else:
            assert panel.returncode == 0, panel.stderr
            assert read_script(path).to_bytes() == out.read_bytes()

    def test_python_writes_what_the_panel_reads(self, tvs_tool, tmp_path):
        rng = random.Random(16)
        for count in (0, 1, 2, 7, 255):
            script = random_script(rng, count)
            ours = tmp_path / f"ours-{count}.tvs"
            write_script(ours, script)
            dumped = run(tvs_tool, "dump", ours)
            assert dumped.returncode == 0, dumped.stderr
            assert dumped.stdout == as_text(Script(script.entries, 0, script.reserved))
            copied = tmp_path / f"copy-{count}.tvs"
            assert run(tvs_tool, "copy", ours, copied).returncode == 0
            script.run_position = 0
            assert copied.read_bytes() == script.to_bytes()

    def test_the_panel_writes_what_python_reads_and_writes_again(self, tvs_tool, tmp_path):
        rng = random.Random(758)
        for count in (0, 1, 3, 50, 255):
            script = random_script(rng, count)
            theirs = tmp_path / f"theirs-{count}.tvs"
            written = run(tvs_tool, "write", theirs, text=as_text(script))
            assert written.returncode == 0, written.stderr
            assert theirs.read_bytes() == script.to_bytes()
            loaded = read_script(theirs)
            assert loaded == Script(script.entries, 0, script.reserved)
            again = tmp_path / f"again-{count}.tvs"
            write_script(again, loaded)
            assert again.read_bytes()[7:] == theirs.read_bytes()[7:]  # all but the run position


def test_entries_read_as_the_panel_grid_shows_them(tmp_path):
    """Each entry's text is the grid's, as `kt40 show` prints it with the panel's own code."""
    tool = build_dir() / "tools" / "kt40" / "kt40"
    if not tool.is_file():
        pytest.fail(f"{tool} is missing: build the tree first (cmake --build build)")
    script = random_script(random.Random(24), 200)
    script.entries += [Command.raw(addressed=2, crate=1, code=4), Command.raw(kind=1, lam_operation=1),
                       Command.raw(kind=7), Command.raw(addressed=1, mode=-1, crate=-2, n=100, a=-3, f=17, data=-1),
                       Command.raw(addressed=0, crate=-1, code=-8)]
    path = tmp_path / "grid.tvs"
    write_script(path, script)
    shown = run(tool, "show", "--json", path)
    assert shown.returncode == 0, shown.stderr
    texts = [json.loads(line)["text"] for line in shown.stdout.splitlines()]
    assert texts == [str(entry) for entry in script.entries]
