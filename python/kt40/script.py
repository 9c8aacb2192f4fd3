"""Script files (``*.tvs``): the front panel's command programs.

Layout (integers 32-bit signed little-endian)::

    offset  size      content
    0       3         b"TVS"
    3       4         run position when saved (ignored when loading)
    7       4         count of entries, 0..255
    11      44        reserved: kept from a loaded file, written back
    55      40*count  the entries: kind (1 byte), 3 padding, LAM operation,
                      addressed (1 byte), 3 padding, mode, crate, N, A, F,
                      data, code

The codec, the range rules and the grid text are the panel's own, shared
through the ``camactools`` library. Files are read all or nothing, as the
panel reads them: a file that is not a
script, claims a count outside 0..255 or is shorter than its count demands
raises :class:`ScriptFormatError` and gives nothing. Bytes behind the last
entry are ignored. Files are written byte for byte as the panel writes them
(padding zero), through a temporary file that replaces the target only once
it is complete.
"""

from __future__ import annotations

import ctypes
import dataclasses
import os
import threading
from typing import Callable, List, NamedTuple, Optional, Union

from . import _library

__all__ = ["Command", "RunResult", "RunStep", "Script", "ScriptFormatError", "read_script", "run_script",
           "write_script"]

MAGIC = b"TVS"
HEADER_SIZE = 52  # run position, count, reserved
RESERVED_SIZE = 44
RECORD_SIZE = 40
FIXED_SIZE = len(MAGIC) + HEADER_SIZE
MAX_COUNT = 255
MAX_SIZE = FIXED_SIZE + RECORD_SIZE * MAX_COUNT

KIND_CAMAC = 0
KIND_LAM = 1
LAM_READ = 0
CODES = {"C": 1, "Z": 2, "I": 4, "NI": 8}

PathLike = Union[str, "os.PathLike[str]"]


class ScriptFormatError(ValueError):
    """The bytes are not a complete script file; nothing was taken from them."""


def _in(name: str, value, low: int, high: int) -> int:
    if not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low}..{high}, not {value}")
    return int(value)


@dataclasses.dataclass
class Command:
    """One entry of a command program, field for field as in the file.

    Build entries with :meth:`cnaf`, :meth:`unaddressed` and :meth:`read_lam`,
    which check their arguments; fields an entry's kind does not use are 0.
    ``Command(...)`` refuses an entry whose fields are out of range (station
    37, say: the panel would run it at another address, its fields masked to
    their bits); :meth:`raw` makes one as a foreign file may hold it, and
    loading a file keeps such entries as they are (:meth:`out_of_range`
    names what is wrong with them).
    """

    kind: int = KIND_CAMAC  # 0 = CAMAC command, 1 = LAM operation
    lam_operation: int = 0  # kind 1: 0 = read the LAM pattern
    addressed: int = 0  # kind 0: 1 = N, A, F command; 0 = C, Z, I, NI
    mode: int = 0  # word width, 16 or 24
    crate: int = 0
    n: int = 0
    a: int = 0
    f: int = 0
    data: int = 0
    code: int = 0  # unaddressed: 1 = C, 2 = Z, 4 = I, 8 = NI

    def __post_init__(self):
        self._check_sizes()
        bad = self.out_of_range()
        if bad:
            raise ValueError(f"entry out of range: {bad} (Command.raw makes one as a foreign file may hold it)")

    def _check_sizes(self) -> None:
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if field.name in ("kind", "addressed"):
                _in(field.name, value, 0, 255)
            else:
                _library.integer(field.name, value, strict=True)

    @classmethod
    def raw(cls, *values: int, **fields: int) -> "Command":
        """An entry field for field, checked only against the sizes of the
        file's fields (what a foreign or damaged file may hold)."""
        entry = cls.__new__(cls)
        names = [field.name for field in dataclasses.fields(cls)]
        if len(values) > len(names):
            raise TypeError(f"Command.raw takes at most {len(names)} fields")
        for name in names:
            setattr(entry, name, 0)
        for name, value in zip(names, values):
            setattr(entry, name, value)
        for name, value in fields.items():
            if name not in names:
                raise TypeError(f"Command has no field {name!r}")
            setattr(entry, name, value)
        entry._check_sizes()
        return entry

    def out_of_range(self) -> str:
        """What of the entry lies outside its fields' ranges, as ``kt40 show``
        marks it ("station N 37"); "" for a sound entry."""
        why = _library.text()
        _library.tools().ct_entry_check(ctypes.byref(self._entry()), why, len(why))
        return why.value.decode()

    @classmethod
    def cnaf(cls, crate: int, n: int, a: int, f: int, data: int = 0, bits: int = 16) -> "Command":
        """An addressed command; ``data`` counts for F16-F23 only."""
        for name, value in (("crate C", crate), ("station N", n), ("subaddress A", a), ("function F", f),
                            ("bits", bits), ("data", data)):
            _library.integer(name, value, strict=True)
        write = _library.tools().ct_function_kind(f) == _library.CT_WRITE
        _library.check_action(crate, n, a, f, bits, write, data if write else 0)
        if not write:  # kept as given, as the panel keeps the data field of a read
            _in(f"{bits}-bit data", data, 0, (1 << bits) - 1)
        return cls(kind=KIND_CAMAC, addressed=1, mode=bits, crate=crate, n=n, a=a, f=f, data=data)

    @classmethod
    def unaddressed(cls, crate: int, command: Union[str, int]) -> "Command":
        """C, Z, I (set inhibit) or NI (remove it), by name or code (1, 2, 4, 8)."""
        code = CODES.get(command.upper()) if isinstance(command, str) else command
        if code not in CODES.values() or isinstance(code, bool):
            raise ValueError(f"unaddressed command must be one of C, Z, I, NI (1, 2, 4, 8), not {command!r}")
        return cls(kind=KIND_CAMAC, addressed=0, crate=_in("crate C", crate, 0, 3), code=code)

    @classmethod
    def read_lam(cls, crate: int, bits: int = 16) -> "Command":
        """A LAM read (RDL) of a crate."""
        if bits not in (16, 24) or not isinstance(bits, int):
            raise ValueError(f"bits must be 16 or 24, not {bits!r}")
        return cls(kind=KIND_LAM, lam_operation=LAM_READ, mode=bits, crate=_in("crate C", crate, 0, 3))

    def __str__(self) -> str:
        """The entry as the panel's program grid shows it ("" for an entry it shows blank)."""
        text = _library.text(64)
        _library.tools().ct_entry_text(ctypes.byref(self._entry()), text, len(text))
        return text.value.decode()

    def _entry(self) -> _library.Entry:
        self._check_sizes()
        return _library.Entry(kind=self.kind, lam_operation=self.lam_operation, addressed=self.addressed,
                              mode=self.mode, crate=self.crate, n=self.n, a=self.a, f=self.f, data=self.data,
                              code=self.code)

    @classmethod
    def _of(cls, e: _library.Entry) -> "Command":
        return cls.raw(e.kind, e.lam_operation, e.addressed, e.mode, e.crate, e.n, e.a, e.f, e.data, e.code)


@dataclasses.dataclass
class Script:
    """A command program: its entries, the run position and the header's reserved bytes."""

    entries: List[Command] = dataclasses.field(default_factory=list)
    run_position: int = -1
    reserved: bytes = bytes(RESERVED_SIZE)

    def _record(self) -> _library.ScriptRecord:
        if len(self.entries) > MAX_COUNT:
            raise ValueError(f"a script holds at most {MAX_COUNT} entries, not {len(self.entries)}")
        reserved = bytes(self.reserved)
        if len(reserved) != RESERVED_SIZE:
            raise ValueError(f"reserved must be {RESERVED_SIZE} bytes, not {len(reserved)}")
        record = _library.ScriptRecord()
        record.run_position = _library.integer("run position", self.run_position, strict=True)
        record.count = len(self.entries)
        ctypes.memmove(record.reserved, reserved, RESERVED_SIZE)
        for index, entry in enumerate(self.entries):
            if not isinstance(entry, Command):
                raise TypeError(f"entry {index} is a {type(entry).__name__}, not a Command")
            record.entries[index] = entry._entry()  # fields may have been changed since
        return record

    def to_bytes(self) -> bytes:
        """The file image.

        Raises:
            ValueError, TypeError: more than 255 entries, or a field that does
                not fit the file (nothing is produced).
        """
        record = self._record()
        image = ctypes.create_string_buffer(MAX_SIZE)
        length = _library.tools().ct_script_encode(ctypes.byref(record), image, MAX_SIZE)
        return image.raw[:length]

    @classmethod
    def from_bytes(cls, image: bytes) -> "Script":
        """The program of a file image; the run position becomes 0, as after the panel's load.

        Raises:
            ScriptFormatError: the image is not a complete script.
        """
        data = bytes(memoryview(image).cast("B"))
        record = _library.ScriptRecord()
        why = _library.text()
        if _library.tools().ct_script_decode(data, len(data), ctypes.byref(record), why, len(why)):
            raise ScriptFormatError(why.value.decode())
        entries = [Command._of(record.entries[i]) for i in range(record.count)]
        return cls(entries, record.run_position, bytes(record.reserved))

    @classmethod
    def load(cls, path: PathLike) -> "Script":
        """Reads a script file, all or nothing.

        Raises:
            ScriptFormatError: not a complete script (the message names the file).
            OSError: it cannot be read.
        """
        with open(path, "rb") as file:
            image = file.read(MAX_SIZE)  # what lies behind the largest script is ignored
        try:
            return cls.from_bytes(image)
        except ScriptFormatError as err:
            raise ScriptFormatError(f"{os.fspath(path)}: {err}") from None

    def save(self, path: PathLike) -> None:
        """Writes the script as the panel saves it: through a temporary file
        beside it, so that a failed save leaves whatever ``path`` held before.

        Raises:
            ValueError, TypeError: the script does not fit the file format.
            PermissionError: ``path`` is read-only or not a regular file.
            OSError: writing failed.
        """
        record = self._record()
        why = _library.text()
        target = os.fsencode(path)
        outcome = _library.tools().ct_script_save(target, ctypes.byref(record), why, len(why))
        if outcome == 4:  # CT_SCRIPT_READ_ONLY
            raise PermissionError(f"{os.fspath(path)}: {why.value.decode(errors='replace')}")
        if outcome:
            raise OSError(f"{os.fspath(path)}: {why.value.decode(errors='replace')}")


def read_script(path: PathLike) -> Script:
    """``Script.load(path)``."""
    return Script.load(path)


def write_script(path: PathLike, script: Script) -> None:
    """``script.save(path)``."""
    script.save(path)


class RunStep(NamedTuple):
    """One executed entry of :func:`run_script`, as the panel showed it.

    ``r`` is the value R showed (None where the entry showed none, or
    "ERROR"); ``error`` is True for "ERROR". ``x``, ``q``, ``l`` and ``i``
    are None where the entry does not show them; ``lam`` the LAM pattern
    shown (bit k: station k+1), or None.
    """

    pass_number: int
    entry: int  # 1-based
    command: Command
    r: Optional[int]
    error: bool
    x: Optional[bool]
    q: Optional[bool]
    l: Optional[bool]  # noqa: E741 (the indicator's name)
    i: Optional[bool]
    lam: Optional[int]


class RunResult(NamedTuple):
    """What :func:`run_script` did: the entries executed, how many showed
    "ERROR", whether Ctrl+C (or ``on_step`` raising) ended the run, and the
    steps themselves unless ``on_step`` took them."""

    entries: int
    errors: int
    interrupted: bool
    seconds: float
    steps: List[RunStep]


def _flag(value: int) -> Optional[bool]:
    return None if value == 2 else value == 1


def run_script(script: Union[PathLike, Script], cycle: bool = False, count: Optional[int] = None, *,
               command_delay: int = 0, cycle_delay: int = 0, as_panel: bool = False,
               on_step: Optional[Callable[[RunStep], None]] = None) -> RunResult:
    """Runs a script file (or a :class:`Script`) with the front panel's worker
    and its rules, as ``kt40 run`` does: one pass, or with ``cycle`` passes
    until ``count`` of them (or Ctrl+C). ``command_delay`` and
    ``cycle_delay`` are the panel's pauses in ms.

    Entries outside their fields' ranges are refused before the first
    action, unless ``as_panel``, which runs them as the panel does (fields
    masked to their bits, so station 37 is station 5).

    ``on_step`` is called for each executed entry (on the worker's thread);
    without it the steps are kept in the result. Ctrl+C ends the run after
    the entry in progress and raises KeyboardInterrupt once it has ended.

    Raises:
        ValueError: an empty program, out-of-range entries, bad arguments.
        NoConnectionError: the worker found no connection to the adapter.
        ScriptFormatError, OSError: the file cannot be read as a script.
    """
    from .errors import NoConnectionError

    program = script if isinstance(script, Script) else Script.load(script)
    if count is not None:
        if not cycle:
            raise ValueError("count counts the passes of a cycle; a run without cycle=True makes one pass")
        if type(count) is not int or count < 1:
            raise ValueError(f"count must be a positive integer, not {count!r}")
    for name, value in (("command_delay", command_delay), ("cycle_delay", cycle_delay)):
        if type(value) is not int or not 0 <= value <= 3600000:
            raise ValueError(f"{name} must be 0..3600000 ms, not {value!r}")
    record = program._record()
    commands = list(program.entries)
    stop = ctypes.c_int32(0)
    options = _library.RunOptions(cycle=int(bool(cycle)), passes=count or 0, command_delay=command_delay,
                                  cycle_delay=cycle_delay, as_panel=int(bool(as_panel)),
                                  stop=ctypes.pointer(stop))
    steps: List[RunStep] = []
    failures: List[BaseException] = []

    def take(step_pointer, _user) -> None:
        s = step_pointer.contents
        step = RunStep(s.pass_, s.entry, commands[s.entry - 1], s.r if s.r_shown and not s.r_error else None,
                       bool(s.r_error), _flag(s.x), _flag(s.q), _flag(s.l), _flag(s.i),
                       s.lam_pattern if s.lam_shown else None)
        if on_step is None:
            steps.append(step)
            return
        try:
            on_step(step)
        except BaseException as err:  # ends the run; raised again on the caller's thread
            failures.append(err)
            stop.value = 1

    callback = _library.RUN_CALLBACK(take)
    result = _library.RunResult()
    why = _library.text(2048)
    outcome: List[int] = []

    def run() -> None:
        outcome.append(_library.tools().ct_run_script(ctypes.byref(record), ctypes.byref(options), callback, None,
                                                     ctypes.byref(result), why, len(why)))

    worker = threading.Thread(target=run, name="kt40 run_script")
    worker.start()
    interrupted = False
    try:
        while worker.is_alive():
            worker.join(0.1)
    except KeyboardInterrupt:
        interrupted = True
        stop.value = 1
        worker.join()
    text = why.value.decode(errors="replace")
    if outcome and outcome[0] == 1:  # CT_RUN_EMPTY
        raise ValueError(text)
    if outcome and outcome[0] == 2:  # CT_RUN_OUT_OF_RANGE
        head, _, more = text.partition("\n")
        raise ValueError(f"{head} (as_panel=True runs them as the front panel does, fields masked to their bits)"
                         + ("\n" + more if more else ""))
    if outcome and outcome[0] == 3:  # CT_RUN_NO_CONNECTION
        raise NoConnectionError(0, "ccinit", "", f"the worker found no connection to the adapter: {text}")
    if interrupted:
        raise KeyboardInterrupt
    if failures:
        raise failures[0]
    return RunResult(result.entries, result.errors, bool(result.stopped), result.seconds, steps)
