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

Files are read all or nothing, as the panel reads them: a file that is not a
script, claims a count outside 0..255 or is shorter than its count demands
raises :class:`ScriptFormatError` and gives nothing. Bytes behind the last
entry are ignored. Files are written byte for byte as the panel writes them
(padding zero), through a temporary file that replaces the target only once
it is complete.
"""

from __future__ import annotations

import dataclasses
import os
import stat
import struct
import tempfile
from pathlib import Path
from typing import List, Union

__all__ = ["Command", "Script", "ScriptFormatError", "read_script", "write_script"]

MAGIC = b"TVS"
HEADER_SIZE = 52  # run position, count, reserved
RESERVED_SIZE = 44
RECORD_SIZE = 40
FIXED_SIZE = len(MAGIC) + HEADER_SIZE
MAX_COUNT = 255
MAX_SIZE = FIXED_SIZE + RECORD_SIZE * MAX_COUNT

_HEADER = struct.Struct("<ii")
_RECORD = struct.Struct("<B3xiB3xiiiiiii")
assert _RECORD.size == RECORD_SIZE

KIND_CAMAC = 0
KIND_LAM = 1
LAM_READ = 0
CODES = {"C": 1, "Z": 2, "I": 4, "NI": 8}

PathLike = Union[str, "os.PathLike[str]"]


class ScriptFormatError(ValueError):
    """The bytes are not a complete script file; nothing was taken from them."""


def _int32(name: str, value) -> int:
    if not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not -(1 << 31) <= value < 1 << 31:
        raise ValueError(f"{name} {value} does not fit a 32-bit field")
    return int(value)


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
                _int32(field.name, value)

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
        bad: List[str] = []
        if not 0 <= self.crate <= 3:
            bad.append(f"crate {self.crate}")
        if self.kind == KIND_LAM:
            if self.lam_operation != LAM_READ:
                bad.append(f"LAM operation {self.lam_operation}")
        elif self.kind != KIND_CAMAC:
            bad.append(f"kind {self.kind}")
        elif self.addressed not in (0, 1):
            bad.append(f"addressed {self.addressed}")
        elif self.addressed:
            if not 1 <= self.n <= 24:
                bad.append(f"station N {self.n}")
            if not 0 <= self.a <= 15:
                bad.append(f"subaddress A {self.a}")
            if not 0 <= self.f <= 31:
                bad.append(f"function F {self.f}")
            if self.mode not in (16, 24):
                bad.append(f"width {self.mode}")
            elif not 0 <= self.data < 1 << self.mode:
                bad.append(f"data {self.data}")
        elif self.code not in (1, 2, 4, 8):
            bad.append(f"command code {self.code}")
        return ", ".join(bad)

    @classmethod
    def cnaf(cls, crate: int, n: int, a: int, f: int, data: int = 0, bits: int = 16) -> "Command":
        """An addressed command; ``data`` counts for F16-F23 only."""
        if bits not in (16, 24) or not isinstance(bits, int):
            raise ValueError(f"bits must be 16 or 24, not {bits!r}")
        return cls(kind=KIND_CAMAC, addressed=1, mode=bits, crate=_in("crate", crate, 0, 3),
                   n=_in("station N", n, 1, 24), a=_in("subaddress A", a, 0, 15), f=_in("function F", f, 0, 31),
                   data=_in(f"{bits}-bit data", data, 0, (1 << bits) - 1))

    @classmethod
    def unaddressed(cls, crate: int, command: Union[str, int]) -> "Command":
        """C, Z, I (set inhibit) or NI (remove it), by name or code (1, 2, 4, 8)."""
        code = CODES.get(command.upper()) if isinstance(command, str) else command
        if code not in CODES.values() or isinstance(code, bool):
            raise ValueError(f"unaddressed command must be one of C, Z, I, NI (1, 2, 4, 8), not {command!r}")
        return cls(kind=KIND_CAMAC, addressed=0, crate=_in("crate", crate, 0, 3), code=code)

    @classmethod
    def read_lam(cls, crate: int, bits: int = 16) -> "Command":
        """A LAM read (RDL) of a crate."""
        if bits not in (16, 24) or not isinstance(bits, int):
            raise ValueError(f"bits must be 16 or 24, not {bits!r}")
        return cls(kind=KIND_LAM, lam_operation=LAM_READ, mode=bits, crate=_in("crate", crate, 0, 3))

    def __str__(self) -> str:
        """The entry as the panel's program grid shows it ("" for an entry it shows blank)."""
        # Fields print signed, as the grid prints them; the data word as its 32-bit pattern.
        if self.kind == KIND_CAMAC and self.addressed == 1:
            text = f"B{self.mode:02d} C{self.crate:02d} N{self.n:02d} A{self.a:02d} F{self.f:02d}"
            return text + (f" D{self.data & 0xFFFFFFFF:04X}" if 16 <= self.f <= 23 else "")
        if self.kind == KIND_CAMAC:
            return f"C{self.crate:02d} " + {1: "C", 2: "Z", 4: "I"}.get(self.code, "NI")
        return "RDL" if self.kind == KIND_LAM and self.lam_operation == LAM_READ else ""

    def _pack(self) -> bytes:
        return _RECORD.pack(self.kind, self.lam_operation, self.addressed, self.mode, self.crate, self.n, self.a,
                            self.f, self.data, self.code)

    @classmethod
    def _unpack(cls, record: bytes) -> "Command":
        return cls.raw(*_RECORD.unpack(record))


@dataclasses.dataclass
class Script:
    """A command program: its entries, the run position and the header's reserved bytes."""

    entries: List[Command] = dataclasses.field(default_factory=list)
    run_position: int = -1
    reserved: bytes = bytes(RESERVED_SIZE)

    def to_bytes(self) -> bytes:
        """The file image.

        Raises:
            ValueError, TypeError: more than 255 entries, or a field that does
                not fit the file (nothing is produced).
        """
        if len(self.entries) > MAX_COUNT:
            raise ValueError(f"a script holds at most {MAX_COUNT} entries, not {len(self.entries)}")
        reserved = bytes(self.reserved)
        if len(reserved) != RESERVED_SIZE:
            raise ValueError(f"reserved must be {RESERVED_SIZE} bytes, not {len(reserved)}")
        parts = [MAGIC, _HEADER.pack(_int32("run position", self.run_position), len(self.entries)), reserved]
        for index, entry in enumerate(self.entries):
            if not isinstance(entry, Command):
                raise TypeError(f"entry {index} is a {type(entry).__name__}, not a Command")
            entry._check_sizes()  # fields may have been changed since
            parts.append(entry._pack())
        return b"".join(parts)

    @classmethod
    def from_bytes(cls, image: bytes) -> "Script":
        """The program of a file image; the run position becomes 0, as after the panel's load.

        Raises:
            ScriptFormatError: the image is not a complete script.
        """
        image = memoryview(image).cast("B")
        if len(image) < len(MAGIC) or bytes(image[:3]) != MAGIC:
            raise ScriptFormatError(f"not a script file: it does not start with {MAGIC!r}")
        if len(image) < FIXED_SIZE:
            raise ScriptFormatError(f"damaged script file: {len(image)} bytes, shorter than the {FIXED_SIZE}-byte header")
        _, count = _HEADER.unpack_from(image, 3)
        if not 0 <= count <= MAX_COUNT:
            raise ScriptFormatError(f"damaged script file: count {count} outside 0..{MAX_COUNT}")
        have = (len(image) - FIXED_SIZE) // RECORD_SIZE
        if have < count:
            raise ScriptFormatError(f"damaged script file: count {count}, but only {have} whole entries")
        entries = [Command._unpack(image[FIXED_SIZE + i * RECORD_SIZE:FIXED_SIZE + (i + 1) * RECORD_SIZE])
                   for i in range(count)]
        return cls(entries, 0, bytes(image[11:FIXED_SIZE]))

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
        """Writes the script; a failed save leaves whatever ``path`` held before.

        Raises:
            ValueError, TypeError: the script does not fit the file format.
            PermissionError: ``path`` is read-only or not a regular file.
            OSError: writing failed.
        """
        image = self.to_bytes()
        target = Path(path)
        if target.is_symlink():
            target = Path(os.path.realpath(target))  # replace the file the link names, not the link
        try:
            existing = target.stat()
        except FileNotFoundError:
            existing = None
        if existing is not None:
            if not stat.S_ISREG(existing.st_mode):
                raise PermissionError(f"{target}: not a regular file")
            if not existing.st_mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH):
                raise PermissionError(f"{target}: the file is read-only")
        fd, temporary = tempfile.mkstemp(dir=target.parent or ".", prefix=target.name + ".", suffix=".tmp")
        try:
            with os.fdopen(fd, "wb") as file:
                file.write(image)
                file.flush()
                os.fsync(file.fileno())
            if existing is not None:
                os.chmod(temporary, stat.S_IMODE(existing.st_mode))
            else:
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise


def read_script(path: PathLike) -> Script:
    """``Script.load(path)``."""
    return Script.load(path)


def write_script(path: PathLike, script: Script) -> None:
    """``script.save(path)``."""
    script.save(path)
