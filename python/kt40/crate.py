"""Crates, CNAF actions, the status record and LAM handlers over ``camac``."""

from __future__ import annotations

import array
import atexit
import collections
import ctypes
import dataclasses
import operator
import sys
import threading
import time
import traceback
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple

from . import _library
from .errors import CamacError, NoConnectionError, error_text

__all__ = ["Crate", "CnafResult", "Status", "LamEvent", "LamLink", "status", "stations"]

# One lock for every call into the library and the status record read after
# it: the record is process-wide, so an action and the flags it left must be
# read as one step when several threads share the crates.
_bus = threading.Lock()
_open_lock = threading.Lock()
_opened = False
_holders = 0  # crates open now; the last to close lets the adapter go


def _lib() -> ctypes.CDLL:
    return _library.camac()


def _open() -> None:
    """Opens the library's connection to the adapter, unless it is open, and
    counts one more crate holding it."""
    global _opened, _holders
    lib = _lib()
    with _open_lock:
        if _opened:
            _holders += 1
            return
        with _bus:
            failed = lib.ccinit() != 0
            code = lib.cdata().contents.error
        if failed:
            raise NoConnectionError(
                code, "ccinit", text="no connection to the adapter (the CAMAC service is missing or too old, "
                "or it refused the adapter's ports and interrupt, as it does while another program holds them)")
        _opened = True
        _holders += 1


def _let_go() -> None:
    """One crate less; with the last, the adapter goes (LAM link and all)."""
    global _opened, _holders
    with _open_lock:
        _holders -= 1
        if _holders > 0 or not _opened:
            return
        link = LamLink._current
        if link is not None:
            link.close()
        with _bus:
            _library.release(_lib())
        _opened = False


class _Closed:
    """What a closed crate calls instead of the library: every routine refuses."""

    def __init__(self, number: int):
        self._number = number

    def __call__(self, *args):
        raise ValueError(f"crate {self._number} is closed")

    def __getattr__(self, name):
        return self


def _index(name: str, value, low: int, high: int) -> int:
    """``value`` as an int in ``low..high``, or TypeError/ValueError naming ``name``."""
    if type(value) is not int:
        try:
            value = operator.index(value)
        except TypeError:
            raise TypeError(f"{name} must be an integer, not {type(value).__name__} {value!r}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low}..{high}, not {value}")
    return value


def _bits(bits) -> int:
    if bits != 16 and bits != 24 or type(bits) is not int:
        raise ValueError(f"bits must be 16 or 24, not {bits!r}")
    return bits


def stations(pattern: int) -> List[int]:
    """The stations (1-24) whose bit is set in a LAM pattern."""
    return [k + 1 for k in range(24) if pattern >> k & 1]


class CnafResult(NamedTuple):
    """What one action gave back.

    ``data`` is the word read (read functions F0-F7), else None.
    """

    data: Optional[int]
    q: bool
    x: bool


_result = tuple.__new__  # CnafResult from a ready tuple, without NamedTuple's checks


@dataclasses.dataclass(frozen=True)
class Status:
    """A copy of the library's status record ``CamacStatus``."""

    error: int
    x: bool
    q: bool
    l: bool  # noqa: E741 - the record's own name
    i: bool
    lamPattern: int
    bit11: bool
    bit10: bool
    lastRead: int
    lastWritten: int

    @property
    def error_text(self) -> str:
        return error_text(self.error)


def _snapshot(record: _library.CamacStatusRecord) -> Status:
    return Status(record.error, bool(record.x), bool(record.q), bool(record.l), bool(record.i), record.lamPattern,
                  bool(record.bit11), bool(record.bit10), record.lastRead, record.lastWritten)


def status() -> Status:
    """The status record as it stands now (no connection needed)."""
    record = _lib().cdata().contents
    with _bus:
        return _snapshot(record)


class Crate:
    """One CAMAC crate (0-3) behind the adapter.

    Creating the first crate opens the library's connection to the adapter;
    it stays open while a crate is open: ``close()`` (or the end of a
    ``with kt40.Crate(0) as crate:`` block, or the interpreter's exit) of the
    last one lets the adapter go, so that the panel or another program may
    take it; a new Crate takes it again. Crates may be shared between
    threads: each action and the flags it leaves are taken as one step.

    Raises:
        ValueError: ``number`` is not 0-3.
        NoConnectionError: the adapter cannot be reached.
        kt40.LibraryNotFoundError: the ``camac`` library cannot be found.
    """

    def __init__(self, number: int = 0):
        number = _library.integer("crate C", number)
        _library.check_action(number, 1, 0, 0, 16, False, 0)
        self.number = number
        _open()
        lib = _lib()
        self._lib = lib
        self._record = lib.cdata().contents
        self._ext: Dict[Tuple[int, int, int], int] = {}
        self._plans: Dict[Tuple[int, int, int, int], Tuple[int, bool, bool, int]] = {}
        self._crate_ext = self._address(0, 0, 16)
        self._q = ctypes.c_char()
        self._pq = ctypes.pointer(self._q)
        # cnaf's own entry to cssa and its arguments, made once (used under _bus)
        self._cssa = _library.fast(lib, "cssa")
        self._data = ctypes.c_int()
        self._cssa_q = ctypes.c_uint8()
        self._by_data = ctypes.byref(self._data)
        self._by_q = ctypes.byref(self._cssa_q)

    def __repr__(self) -> str:
        return f"Crate({self.number})" + (" (closed)" if self.closed else "")

    @property
    def closed(self) -> bool:
        return isinstance(self._lib, _Closed)

    def close(self) -> None:
        """Lets the crate go: its calls raise ValueError from now on, and when
        no other crate of the process is open, the adapter goes too (a LAM
        link is closed with it). Closing twice does nothing."""
        if self.closed:
            return
        self._lib = self._cssa = _Closed(self.number)
        _let_go()

    def __enter__(self) -> "Crate":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _address(self, n: int, a: int, bits: int) -> int:
        """The external address word of station n, subaddress a, packed by cdreg."""
        key = (n, a, bits)
        ext = self._ext.get(key)
        if ext is None:
            word = ctypes.c_int()
            self._lib.cdreg(ctypes.byref(word), bits, self.number, n, a)
            ext = self._ext[key] = word.value
        return ext

    def _fail(self, routine: str, action: str) -> CamacError:
        return CamacError.of(self._record.error, routine, f"crate {self.number} {action}".rstrip())

    def cnaf(self, n: int, a: int, f: int, data: Optional[int] = None, bits: int = 16) -> CnafResult:
        """Performs function ``f`` on subaddress ``a`` of the module in station ``n``.

        Args:
            n: station, 1-24.
            a: subaddress, 0-15.
            f: function code, 0-31: 0-7 read, 16-23 write, the rest control.
            data: the word to write, required for F16-F23 and refused for the
                others; 0..0xFFFF (0..0xFFFFFF with ``bits=24``).
            bits: word width, 16 or 24.

        Returns:
            CnafResult(data, q, x); ``data`` is the word read for F0-F7, else None.

        Raises:
            TypeError, ValueError: a bad argument (nothing reached the crate).
            CamacError: the adapter did not complete the action.
        """
        if type(n) is int and type(a) is int and type(f) is int and type(bits) is int:
            plan = self._plans.get((n, a, f, bits))
        else:
            plan = None
        if plan is None:
            plan = self._plan(n, a, f, bits)
        ext, write, read, mask = plan
        if write:
            if type(data) is not int or not 0 <= data <= mask:
                data = self._check_data(f, data, bits, mask)
        elif data is not None:
            _library.check_action(0, 1, 0, f, bits, True, 0)  # raises: a read or control takes no data
        with _bus:
            self._data.value = data if write else 0
            if self._cssa(f, ext, self._by_data, self._by_q):
                raise self._fail("cssa", f"N{n} A{a} F{f}")
            result = (self._data.value if read else None, self._cssa_q.value != 0, self._record.x != 0)
        return _result(CnafResult, result)

    def scan(self, f: int = 0) -> List[List[CnafResult]]:
        """Function ``f`` at every station 1-24 and subaddress 0-15: the Q/X
        grid of ``kt40 scan``. ``grid[n - 1][a]`` is station n's CnafResult
        at subaddress a. Writes (F16-F23) are refused: a scan sends no data.

        Raises:
            TypeError, ValueError: a bad function (nothing reached the crate).
            CamacError: the adapter did not complete an action.
        """
        f = _index("function F", f, 0, 31)
        if _library.tools().ct_function_kind(f) == _library.CT_WRITE:
            raise ValueError(f"F{f} writes: a scan sends no data (use F0-F15 or F24-F31)")
        return [[self.cnaf(n, a, f) for a in range(16)] for n in range(1, 25)]

    def _plan(self, n, a, f, bits) -> Tuple[int, bool, bool, int]:
        """Checks an action's address and function; its external address and kind, kept for next time."""
        n = _library.integer("station N", n)
        a = _library.integer("subaddress A", a)
        f = _library.integer("function F", f)
        if type(bits) is not int or not -(1 << 31) <= bits < 1 << 31:
            raise ValueError(f"bits must be 16 or 24, not {bits!r}")
        kind = _library.tools().ct_function_kind(f)
        write = kind == _library.CT_WRITE
        _library.check_action(self.number, n, a, f, bits, write, 0)
        plan = self._plans[(n, a, f, bits)] = (self._address(n, a, bits), write, kind == _library.CT_READ,
                                                0xFFFF if bits == 16 else 0xFFFFFF)
        return plan

    @staticmethod
    def _check_data(f: int, data, bits: int, mask: int) -> int:
        if data is not None:
            data = _library.integer(f"data for {bits}-bit F{f}", data, 64)
        _library.check_action(0, 1, 0, f, bits, data is not None, data or 0)
        return data

    _MODES = {"qstop": ("csubc", "cfubc"), "qrepeat": ("csubr", "cfubr"), "scan": ("csmad", "cfmad")}

    def _block_call(self, n, a, f, count, mode, bits, until, writes):
        """Checks a block transfer's arguments; its routine and first arguments."""
        if self.closed:
            raise ValueError(f"crate {self.number} is closed")
        n = _library.integer("station N", n)
        a = _library.integer("subaddress A", a)
        f = _library.integer("function F", f)
        kind = _library.tools().ct_function_kind(f)
        _library.check_action(self.number, n, a, f, 16, kind == _library.CT_WRITE, 0)
        if writes and kind != _library.CT_WRITE:
            raise ValueError(f"F{f} does not write: a block write takes F16-F23")
        if not writes and kind != _library.CT_READ:
            raise ValueError(f"F{f} does not read: a block read takes F0-F7")
        bits = _bits(bits)
        routines = self._MODES.get(mode) if isinstance(mode, str) else None
        if routines is None:
            raise ValueError(f"mode must be 'qstop', 'qrepeat' or 'scan', not {mode!r}")
        count = _index("count", count, 0, 0x7FFFFFFF)
        if mode == "scan":
            try:
                end_n, end_a = (n, 15) if until is None else until
            except (TypeError, ValueError):
                raise TypeError(f"until must be a pair (N, A), not {until!r}") from None
            end_n = _index("until N", end_n, 1, 24)
            end_a = _index("until A", end_a, 0, 15)
            if (end_n, end_a) < (n, a):
                raise ValueError(f"until N{end_n} A{end_a} lies before N{n} A{a}")
            where = (ctypes.c_int * 2)(self._address(n, a, bits), self._address(end_n, end_a, bits))
            action = f"N{n} A{a}..N{end_n} A{end_a} F{f} scan"
        else:
            if until is not None:
                raise ValueError(f"until is for mode 'scan', not {mode!r}")
            where = self._address(n, a, bits)
            action = f"N{n} A{a} F{f} {mode}"
        routine = routines[bits == 24]
        return getattr(_library.camac758(), routine), routine, f, where, count, action

    def _transfer(self, fn, routine, f, where, buffer, count, action):
        """Runs a block routine over ``buffer``; the number of words it transferred."""
        cb = (ctypes.c_int * 4)(count, 0, 0, 0)
        with _bus:
            failed = fn(f, where, buffer.buffer_info()[0] if count else None, cb)
            if failed:
                err = self._fail(routine, action)
        if failed:
            err.transferred = cb[1]
            raise err
        return cb[1]

    def read_block(self, n: int, a: int, count: int, f: int = 0, *, mode: str = "qstop", bits: int = 16,
                   until: Optional[Tuple[int, int]] = None) -> array.array:
        """Reads up to ``count`` words with one block transfer of ``camac758``.

        Args:
            n, a: station (1-24) and subaddress (0-15).
            count: the most words to read.
            f: a read function, F0-F7.
            mode: ``"qstop"``: F at N, A until the first Q = 0 (which reads
                nothing) or ``count`` words; ``"qrepeat"``: ``count`` words at
                N, A, repeating an action without Q; ``"scan"``: F at N, A and
                the addresses after it up to ``until`` (default: A15 of the same
                station); a word per Q = 1, and Q = 0 moves on to the next station.
            bits: word width, 16 or 24.
            until: (N, A) where a scan ends.

        Returns:
            ``array('l')`` of the words read.

        Raises:
            TypeError, ValueError: a bad argument (nothing reached the crate).
            CamacError: the transfer failed; ``.transferred`` holds the words read before.
        """
        fn, routine, f, where, count, action = self._block_call(n, a, f, count, mode, bits, until, False)
        buffer = array.array("H" if bits == 16 else "i", [0]) * count
        try:
            tally = self._transfer(fn, routine, f, where, buffer, count, action)
        except CamacError as err:
            err.transferred = array.array("l", buffer[:err.transferred])
            raise
        return array.array("l", buffer[:tally])

    def write_block(self, n: int, a: int, data, f: int = 16, *, mode: str = "qstop", bits: int = 16,
                    until: Optional[Tuple[int, int]] = None) -> int:
        """Writes the words of ``data`` (any sequence of ints) with one block transfer.

        Arguments as for :meth:`read_block`, with a write function F16-F23;
        every word must fit ``bits`` (0..0xFFFF or 0..0xFFFFFF).

        Returns:
            The number of words written (fewer than ``len(data)`` when a
            Q-stop or scan transfer ended on Q = 0).

        Raises:
            TypeError, ValueError: a bad argument or word (nothing reached the crate).
            CamacError: the transfer failed; ``.transferred`` holds the words written before.
        """
        try:
            words = list(data)
        except TypeError:
            raise TypeError(f"data must be a sequence of ints, not {type(data).__name__}") from None
        fn, routine, f, where, count, action = self._block_call(n, a, f, len(words), mode, bits, until, True)
        mask = 0xFFFF if bits == 16 else 0xFFFFFF
        for k, word in enumerate(words):
            if type(word) is not int or not 0 <= word <= mask:
                words[k] = _index(f"data[{k}] for {bits}-bit F{f}", word, 0, mask)
        buffer = array.array("H" if bits == 16 else "i", words)
        return self._transfer(fn, routine, f, where, buffer, count, action)

    def _unaddressed(self, routine: str, name: str, *args) -> None:
        with _bus:
            if getattr(self._lib, routine)(self._crate_ext, *args):
                raise self._fail(routine, name)

    def z(self) -> None:
        """Dataway initialise (Z): initialises every module and sets the inhibit."""
        self._unaddressed("cccz", "Z")

    def c(self) -> None:
        """Dataway clear (C)."""
        self._unaddressed("cccc", "C")

    @property
    def inhibit(self) -> bool:
        """The crate's dataway inhibit I; set it True or False to change it."""
        with _bus:
            if self._lib.ctci(self._crate_ext, self._pq):
                raise self._fail("ctci", "test I")
            return self._q.value == b"\x01"

    @inhibit.setter
    def inhibit(self, on: bool) -> None:
        if not isinstance(on, (bool, int)) or on not in (0, 1):
            raise ValueError(f"inhibit must be True or False, not {on!r}")
        self._unaddressed("ccci", "I on" if on else "I off", b"\x01" if on else b"\x00")

    def _test_lam(self) -> Tuple[bool, int]:
        with _bus:
            if self._lib.ctgl(self._crate_ext, self._pq):
                raise self._fail("ctgl", "test L")
            present = self._q.value == b"\x01"
            return present, self._record.lamPattern & 0xFFFFFF if present else 0

    def test_lam(self) -> bool:
        """True when a module of the crate requests attention (L)."""
        return self._test_lam()[0]

    def lam_pattern(self) -> int:
        """The LAM pattern: bit k set when station k+1 requests attention (0 without a LAM)."""
        return self._test_lam()[1]

    def lam_handler(self, callback: Optional[Callable[["LamEvent"], None]] = None) -> "LamLink":
        """Links a LAM handler: ``with crate.lam_handler(callback) as link: ...``.

        The adapter's LAM interrupt is switched on. For every interrupt the
        library's wait thread reads this crate's LAM pattern and calls
        ``callback(event)`` there, with the GIL held and the interrupt off
        during the call; the callback should clear or mask the LAMs it has
        served (F10, F24), or they interrupt again at once. An exception in
        the callback is printed to stderr and kept in ``link.errors``; the link
        stays. Without a callback the events are taken with ``link.poll()``.

        One link at a time per process. The callback must not close its own link.

        Raises:
            RuntimeError: a link is open already.
            CamacError: the adapter stayed busy while switching the interrupt on.
        """
        if callback is not None and not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        if self.closed:
            raise ValueError(f"crate {self.number} is closed")
        return LamLink._open(self, callback)


@dataclasses.dataclass(frozen=True)
class LamEvent:
    """One LAM interrupt as the handler saw it."""

    crate: int
    pattern: int  # bit k: station k+1, read when the interrupt came
    time: float  # time.time() of the interrupt

    @property
    def stations(self) -> List[int]:
        return stations(self.pattern)


def _dispatch() -> None:
    """The library's LAM handler: runs on its wait thread, called through ``_thunk``."""
    link = LamLink._current
    if link is not None:
        link._deliver()


# Kept for the life of the process: the library holds the address of the
# handler even after unlinking.
_thunk = _library.LAM_HANDLER(_dispatch)


class LamLink:
    """A linked LAM handler; ``close()`` (or leaving the ``with`` block) unlinks it.

    Attributes:
        count: interrupts delivered so far.
        errors: the exceptions the callback raised (the newest 100).
    """

    _current: Optional["LamLink"] = None
    _lock = threading.Lock()

    def __init__(self, crate: Crate, callback):
        self.crate = crate
        self.count = 0
        self.errors: collections.deque[BaseException] = collections.deque(maxlen=100)
        self._callback = callback
        self._thread: Optional[int] = None
        self._cond = threading.Condition()
        self._pending: Optional[LamEvent] = None  # delivered, not yet polled
        self._held: Optional[LamEvent] = None  # polled, not yet acknowledged
        self._closed = False

    @classmethod
    def _open(cls, crate: Crate, callback) -> "LamLink":
        with cls._lock:
            if cls._current is not None:
                raise RuntimeError("a LAM handler is linked already; close it first")
            link = cls(crate, callback)
            cls._current = link
            lib = crate._lib
            with _bus:
                failed = lib.cclnk(_thunk) != 0
                code = crate._record.error
            if failed:
                # The interrupt may be half on: take it down again before reporting.
                cls._current = None
                lib.cculnk()
                raise CamacError.of(code, "cclnk", f"crate {crate.number}")
            return link

    def __enter__(self) -> "LamLink":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Unlinks the handler and switches the LAM interrupt off; waits for a running callback.

        Raises:
            RuntimeError: called from the callback itself (it would wait for itself).
            CamacError: the adapter stayed busy while switching the interrupt off.
        """
        if self._closed:
            return
        if threading.get_ident() == self._thread:
            raise RuntimeError("a LAM callback cannot close its own link; close it from another thread")
        with LamLink._lock:
            if self._closed:
                return
            with self._cond:
                self._closed = True
                self._cond.notify_all()
            LamLink._current = None
            # Not under _bus: the wait thread's callback may be waiting for it,
            # and cculnk waits for the wait thread.
            lib = self.crate._lib
            if lib.cculnk():
                raise CamacError.of(self.crate._record.error, "cculnk", f"crate {self.crate.number}")

    def poll(self, timeout: Optional[float] = None) -> Optional[LamEvent]:
        """The next LAM event, or None when ``timeout`` seconds pass (or the link closes).

        Without a callback, each event is held until the next ``poll()`` (or
        ``close()``): the adapter's interrupt stays off in between, so clear
        or mask the LAMs before polling again, as a callback would.

        Raises:
            RuntimeError: the link has a callback, which takes the events.
        """
        if self._callback is not None:
            raise RuntimeError("this link hands its events to its callback")
        with self._cond:
            self._held = None
            self._cond.notify_all()
            self._cond.wait_for(lambda: self._pending is not None or self._closed, timeout)
            event, self._pending = self._pending, None
            self._held = event
            return event

    def _deliver(self) -> None:
        """On the wait thread: reads the pattern and hands the event on."""
        self._thread = threading.get_ident()
        try:
            _, pattern = self.crate._test_lam()
        except CamacError as err:
            self._report(err, "reading the LAM pattern failed")
            pattern = 0
        event = LamEvent(self.crate.number, pattern, time.time())
        self.count += 1
        if self._callback is not None:
            try:
                self._callback(event)
            except BaseException as err:  # noqa: BLE001 - nothing may escape into the C thread
                self._report(err, "the LAM callback raised")
            return
        with self._cond:
            self._pending = event
            self._cond.notify_all()
            self._cond.wait_for(lambda: self._closed or (self._pending is not event and self._held is not event))

    def _report(self, err: BaseException, what: str) -> None:
        self.errors.append(err)
        try:
            print(f"kt40: crate {self.crate.number}: {what} (the link stays):", file=sys.stderr)
            traceback.print_exception(type(err), err, err.__traceback__, file=sys.stderr)
        except Exception:  # noqa: BLE001 - stderr may be gone at exit
            pass


@atexit.register
def _unlink_at_exit() -> None:
    # The wait thread must not call into an interpreter that is going away;
    # then the adapter goes, as it would when the last crate is closed.
    link = LamLink._current
    if link is not None:
        try:
            link.close()
        except Exception:  # noqa: BLE001
            pass
    if _opened:
        try:
            with _bus:
                _library.release(_lib())
        except Exception:  # noqa: BLE001
            pass
