"""kt40 --json: every record of every command has the shape the schema
(tools/kt40/schema/kt40-records.schema.json) gives, errors included."""

import json
import os
import subprocess

import jsonschema
import pytest

from conftest import REPO, build_dir

SCHEMA = json.loads((REPO / "tools" / "kt40" / "schema" / "kt40-records.schema.json").read_text())
DATA = REPO / "tools" / "kt40" / "tests" / "data"


def kt40(*args, stdin=None):
    env = dict(os.environ, KT40_SIM_STATE="private")
    return subprocess.run([str(build_dir() / "tools" / "kt40" / "kt40"), *map(str, args)], input=stdin,
                          capture_output=True, text=True, env=env, timeout=60)


def records(result):
    out = []
    for line in result.stdout.splitlines():
        record = json.loads(line)  # nothing but records on the standard output
        jsonschema.validate(record, SCHEMA)
        out.append(record)
    return out


def test_every_command_prints_records_of_the_schema():
    session = "\n".join([
        "c0 n5 a0 f16 d1234", "cnaf 0 5 0 0", "cnaf 0 5 0 0 --repeat 3 --timing", "block 0 1 0 16 --data 1,2", "block 0 1 0 0 --count 2 --mode scan", "cnaf 0 1 3 0 --24", "cnaf 0 3 0 24", "cnaf 0 9 0 0", "cnaf 1 5 0 0",
        "z 0", "c 1", "inhibit 0 off", "status 0", "scan 1", "scan 0 --f 8",
        "c0 n3 a0 f26", "c0 n3 a0 f25", "lam 0 --count 1 --ack", "lam 0 --timeout 1 --count 1",
        f"show {DATA / 'demo.tvs'}", f"show {DATA / 'out-of-range.tvs'}",
        f"run {DATA / 'demo.tvs'}", f"run {DATA / 'out-of-range.tvs'}",
        "cnaf 0 25 0 0", "frobnicate", f"run {DATA / 'not-a-script.tvs'}",
    ]) + "\n"
    seen = records(kt40("--json", "shell", stdin=session))
    kinds = {r["type"] for r in seen}
    # (the bench acts on a user's crate, never a private one: the test below)
    assert kinds | {"bench"} == {d for d in SCHEMA["$defs"] if "properties" in SCHEMA["$defs"][d]}, kinds
    errors = [r for r in seen if r["type"] == "error"]
    assert [e["exit"] for e in errors] == [1, 2, 2, 1]  # out of range, N25, no such command, not a script

@pytest.mark.parametrize("args, code, words", [
    (["--json", "cnaf", "0", "25", "0", "0"], 2, "station N must be 1..24, not 25"),
    (["--json", "run", DATA / "out-of-range.tvs"], 1, "1 entry is out of range; nothing was run"),
    (["--json", "show", DATA / "no-such-file.tvs"], 1, "cannot open it"),
    (["--json", "cnaf", "0", "9", "0", "0"], 1, None),
])
def test_errors_are_records_too_with_the_same_exit_code(args, code, words):
    result = kt40(*args)
    assert result.returncode == code, result.stderr
    found = records(result)
    if words is None:  # no X: the action's record says so; the exit code tells
        assert found[-1]["type"] == "action" and found[-1]["status"] == "no_x"
        return
    assert found[-1]["type"] == "error" and found[-1]["exit"] == code and words in found[-1]["message"]
    assert words in result.stderr  # and the same words for people


def test_a_file_name_that_is_no_utf8_still_gives_valid_json(tmp_path):
    path = os.fsencode(tmp_path) + b"/\xffbad.tvs"  # raw bytes on the command line, as a shell passes them
    done = subprocess.run([str(build_dir() / "tools" / "kt40" / "kt40"), "--json", "show", path], capture_output=True,
                          env=dict(os.environ, KT40_SIM_STATE="private"), timeout=60)
    assert b"\xffbad.tvs" in done.stderr  # the text for people names the file as it is
    (line,) = done.stdout.decode("utf-8").splitlines()  # the records are UTF-8
    error = json.loads(line)
    jsonschema.validate(error, SCHEMA)
    assert error["type"] == "error" and error["exit"] == 1 and done.returncode == 1
    assert "\ufffdbad.tvs: cannot open it" in error["message"]


def test_the_bench_records_what_it_did_to_a_crate_of_its_own(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("KT40_SIM_STATE", "KT40_CRATE_FILE")}
    env["XDG_STATE_HOME"] = str(tmp_path)  # a user's crate, in a folder of the test's own
    tool = str(build_dir() / "tools" / "kt40" / "kt40")
    seen = []
    for args in (["lam", "3"], ["drop", "3"], ["input", "12", "5"], ["gate"], ["trigger", "10"], ["trigger", "off"],
                 ["unplug", "5"], ["plug", "5"], ["offline", "1"], ["online", "1"]):
        done = subprocess.run([tool, "--json", "bench", *args], capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == 0, (args, done.stderr)
        seen += records(done)
    assert [r["action"] for r in seen] == ["lam", "drop", "input", "gate", "trigger", "trigger", "unplug", "plug",
                                           "offline", "online"]
