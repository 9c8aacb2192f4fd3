"""Finding and loading the CAMAC libraries; every C prototype in one place.

Where the libraries come from, in this order:

1. ``KT40_CAMAC_LIBRARY``: the path of the ``camac`` library itself
   (``libcamac.so`` on Linux, ``camac.dll`` on Windows). ``camac758`` is then
   taken from ``KT40_CAMAC758_LIBRARY``, else from the same folder.
2. On Linux, the build tree of this source checkout: ``build*/camac/``
   (``build`` first), with ``camac758`` and ``camactools`` from the
   ``camac758/`` and ``camactools/`` folders of the same build. On Windows, the folder of this package and the one it lies in, then the installer's
   folder (``InstallDir`` under ``HKLM\\SOFTWARE\\KT40\\CAMAC``, else
   ``KT40 CAMAC`` in the program files of the interpreter's word size), with
   ``camac758.dll`` and ``camactools.dll`` beside ``camac.dll``. A DLL of the other word size than
   the interpreter's is passed over (a 32-bit Python takes the 32-bit
   package's libraries, a 64-bit one the 64-bit package's).
3. The system's library path, as the dynamic loader searches it.

A library counts as found once it loads and offers its routines. When none
does, :class:`LibraryNotFoundError` lists every place tried and why it failed.
"""

from __future__ import annotations

import ctypes
import operator
import os
import struct
import sys
import threading
from ctypes import CFUNCTYPE, POINTER, c_char, c_int, c_uint8, c_uint16, c_uint32, c_int32
from pathlib import Path
from typing import Dict, List, Optional, Tuple

__all__ = ["LibraryNotFoundError", "CamacStatusRecord", "LAM_HANDLER", "camac", "camac758", "tools", "fast", "paths",
           "release"]

ENV_CAMAC = "KT40_CAMAC_LIBRARY"
ENV_CAMAC758 = "KT40_CAMAC758_LIBRARY"
ENV_TOOLS = "KT40_CAMACTOOLS_LIBRARY"

if sys.platform == "win32":
    _FILE = {"camac": "camac.dll", "camac758": "camac758.dll", "camactools": "camactools.dll"}
    _SYSTEM = {"camac": ["camac.dll"], "camac758": ["camac758.dll"], "camactools": ["camactools.dll"]}
elif sys.platform == "darwin":
    _FILE = {"camac": "libcamac.dylib", "camac758": "libcamac758.dylib", "camactools": "libcamactools.dylib"}
    _SYSTEM = {"camac": ["libcamac.dylib"], "camac758": ["libcamac758.dylib"], "camactools": ["libcamactools.dylib"]}
else:
    _FILE = {"camac": "libcamac.so", "camac758": "libcamac758.so", "camactools": "libcamactools.so"}
    _SYSTEM = {"camac": ["libcamac.so.1", "libcamac.so"], "camac758": ["libcamac758.so.1", "libcamac758.so"],
               "camactools": ["libcamactools.so.1", "libcamactools.so"]}

# The routines whose presence proves that a file is the library it claims.
_CAMAC_ROUTINES = ("ccinit", "cdreg", "cgreg", "cssa", "cccz", "cccc", "ccci", "ctci", "ctgl", "cclnk", "cculnk", "cdata")


class LibraryNotFoundError(OSError):
    """No usable ``camac`` (or ``camac758``) library was found.

    Attributes:
        name: the library looked for.
        tried: ``(place, reason)`` for every candidate, in the order tried.
    """

    def __init__(self, name: str, tried: List[Tuple[str, str]]):
        self.name = name
        self.tried = list(tried)
        lines = [f"no usable {name} library; tried:"]
        lines += [f"  {place}: {reason}" for place, reason in self.tried]
        if name == "camac":
            lines.append(f"build the library (./kt40.sh test) or set {ENV_CAMAC} to its path")
        super().__init__("\n".join(lines))


class CamacStatusRecord(ctypes.Structure):
    """``CamacStatus`` of camac.h, in its field order."""

    _fields_ = [
        ("error", c_uint16),
        ("x", c_uint8),
        ("q", c_uint8),
        ("l", c_uint8),
        ("i", c_uint8),
        ("lamPattern", c_uint32),
        ("bit11", c_uint8),
        ("bit10", c_uint8),
        ("lastRead", c_int32),
        ("lastWritten", c_int32),
    ]


# void (*handler)(void)
LAM_HANDLER = CFUNCTYPE(None)

_P_INT = POINTER(c_int)
_P_CHAR = POINTER(c_char)

# The twelve routines of camac.h.
_CAMAC_PROTOTYPES = {
    # int ccinit(void)
    "ccinit": (c_int, []),
    # int cdreg(int *ext, int b, int c, int n, int a)
    "cdreg": (c_int, [_P_INT, c_int, c_int, c_int, c_int]),
    # int cgreg(int ext, int *b, int *c, int *n, int *a)
    "cgreg": (c_int, [c_int, _P_INT, _P_INT, _P_INT, _P_INT]),
    # int cssa(int f, int ext, int *data, char *q)
    "cssa": (c_int, [c_int, c_int, _P_INT, _P_CHAR]),
    # int cccz(int ext)
    "cccz": (c_int, [c_int]),
    # int cccc(int ext)
    "cccc": (c_int, [c_int]),
    # int ccci(int ext, char l)
    "ccci": (c_int, [c_int, c_char]),
    # int ctci(int ext, char *l)
    "ctci": (c_int, [c_int, _P_CHAR]),
    # int ctgl(int ext, char *l)
    "ctgl": (c_int, [c_int, _P_CHAR]),
    # int cclnk(void (*handler)(void))
    "cclnk": (c_int, [LAM_HANDLER]),
    # int cculnk(void)
    "cculnk": (c_int, []),
    # CamacStatus *cdata(void)
    "cdata": (POINTER(CamacStatusRecord), []),
}

# The routines of camac758.h that the package uses.
_CAMAC758_PROTOTYPES = {
    # int cfmad(int f, const int extb[2], int intc[], int cb[4])             address scan, 24-bit
    "cfmad": (c_int, [c_int, _P_INT, ctypes.c_void_p, _P_INT]),
    # int csmad(int f, const int extb[2], unsigned short intc[], int cb[4])  address scan, 16-bit
    "csmad": (c_int, [c_int, _P_INT, ctypes.c_void_p, _P_INT]),
    # int cfubc(int f, int ext, int intc[], int cb[4])                       Q-stop, 24-bit
    "cfubc": (c_int, [c_int, c_int, ctypes.c_void_p, _P_INT]),
    # int csubc(int f, int ext, unsigned short intc[], int cb[4])            Q-stop, 16-bit
    "csubc": (c_int, [c_int, c_int, ctypes.c_void_p, _P_INT]),
    # int cfubr(int f, int ext, int intc[], int cb[4])                       Q-repeat, 24-bit
    "cfubr": (c_int, [c_int, c_int, ctypes.c_void_p, _P_INT]),
    # int csubr(int f, int ext, unsigned short intc[], int cb[4])            Q-repeat, 16-bit
    "csubr": (c_int, [c_int, c_int, ctypes.c_void_p, _P_INT]),
}
_CAMAC758_ROUTINES = tuple(_CAMAC758_PROTOTYPES)


class Entry(ctypes.Structure):
    """``ct_entry`` of camactools.h: the 40-byte record of a script file."""

    _fields_ = [("kind", c_uint8), ("pad0", c_uint8 * 3), ("lam_operation", c_int32), ("addressed", c_uint8),
                ("pad1", c_uint8 * 3), ("mode", c_int32), ("crate", c_int32), ("n", c_int32), ("a", c_int32),
                ("f", c_int32), ("data", c_int32), ("code", c_int32)]


class ScriptRecord(ctypes.Structure):
    """``ct_script`` of camactools.h."""

    _fields_ = [("run_position", c_int32), ("count", c_int32), ("reserved", c_uint8 * 44), ("entries", Entry * 255)]


class RunStep(ctypes.Structure):
    """``ct_run_step`` of camactools.h."""

    _fields_ = [("pass_", ctypes.c_int64), ("entry", c_int32), ("r_shown", c_int32), ("r_error", c_int32),
                ("r", c_int32), ("x", c_int32), ("q", c_int32), ("l", c_int32), ("i", c_int32),
                ("lam_shown", c_int32), ("lam_pattern", c_uint32)]


class RunOptions(ctypes.Structure):
    """``ct_run_options`` of camactools.h."""

    _fields_ = [("cycle", c_int32), ("passes", ctypes.c_uint64), ("command_delay", c_int32),
                ("cycle_delay", c_int32), ("as_panel", c_int32), ("stop", POINTER(c_int32))]


class RunResult(ctypes.Structure):
    """``ct_run_result`` of camactools.h."""

    _fields_ = [("entries", ctypes.c_uint64), ("errors", ctypes.c_uint64), ("stopped", c_int32),
                ("seconds", ctypes.c_double)]


# void (*callback)(const ct_run_step *step, void *user)
RUN_CALLBACK = CFUNCTYPE(None, POINTER(RunStep), ctypes.c_void_p)

_SIZE = ctypes.c_size_t
_BUFFER = ctypes.c_char_p  # a text buffer the library fills (ctypes.create_string_buffer)

# The routines of camactools.h.
_TOOLS_PROTOTYPES = {
    "ct_function_kind": (c_int, [c_int]),
    "ct_check_action": (c_int, [c_int, c_int, c_int, c_int, c_int, c_int, ctypes.c_longlong, _BUFFER, _SIZE]),
    "ct_error_text": (ctypes.c_char_p, [ctypes.c_uint]),
    "ct_connect_failure": (c_int, [_BUFFER, _SIZE]),
    "ct_entry_check": (c_int, [POINTER(Entry), _BUFFER, _SIZE]),
    "ct_entry_text": (_SIZE, [POINTER(Entry), _BUFFER, _SIZE]),
    "ct_script_decode": (c_int, [ctypes.c_char_p, _SIZE, POINTER(ScriptRecord), _BUFFER, _SIZE]),
    "ct_script_encode": (_SIZE, [POINTER(ScriptRecord), ctypes.c_void_p, _SIZE]),
    "ct_script_save": (c_int, [ctypes.c_char_p, POINTER(ScriptRecord), _BUFFER, _SIZE]),
    "ct_run_script": (c_int, [POINTER(ScriptRecord), POINTER(RunOptions), RUN_CALLBACK, ctypes.c_void_p,
                              POINTER(RunResult), _BUFFER, _SIZE]),
}
_TOOLS_ROUTINES = tuple(_TOOLS_PROTOTYPES)


def _build_dirs() -> List[Path]:
    """The build folders of the checkout this package lies in, ``build`` first."""
    root = Path(__file__).resolve().parent.parent.parent
    if not (root / "camac" / "include" / "camac.h").is_file():
        return []
    found = sorted(p for p in root.glob("build*") if p.is_dir())
    found.sort(key=lambda p: p.name != "build")
    return found


def _sanitizer(build: Path) -> str:
    """The KT40_SANITIZE setting a build folder was configured with ('' for none)."""
    try:
        for line in (build / "CMakeCache.txt").read_text(errors="replace").splitlines():
            if line.startswith("KT40_SANITIZE:"):
                return line.partition("=")[2].strip()
    except OSError:
        pass
    return ""


# Windows: the installer's folder and where it records it.
PRODUCT_FOLDER = "KT40 CAMAC"
REGISTRY_KEY = r"SOFTWARE\KT40\CAMAC"
_PE_MACHINES = {0x14C: 32, 0x8664: 64}


def _pe_bits(path: Path) -> Optional[int]:
    """32 or 64 for a Windows image of the x86 family, else None."""
    try:
        with open(path, "rb") as f:
            head = f.read(0x40)
            if len(head) < 0x40 or head[:2] != b"MZ":
                return None
            f.seek(struct.unpack_from("<I", head, 0x3C)[0])
            pe = f.read(6)
    except OSError:
        return None
    if len(pe) < 6 or pe[:4] != b"PE\0\0":
        return None
    return _PE_MACHINES.get(struct.unpack_from("<H", pe, 4)[0])


def _registry_install_dir(bits: int) -> Optional[str]:
    """The installer's folder as the package of this word size recorded it."""
    try:
        import winreg
    except ImportError:
        return None
    view = winreg.KEY_WOW64_64KEY if bits == 64 else winreg.KEY_WOW64_32KEY
    try:
        with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, REGISTRY_KEY, 0, winreg.KEY_READ | view) as key:
            value, kind = winreg.QueryValueEx(key, "InstallDir")
    except OSError:
        return None
    return value if kind in (winreg.REG_SZ, winreg.REG_EXPAND_SZ) and value else None


def _windows_folders(package_dir: Path, environ, bits: int, install_dir: Optional[str]) -> List[Path]:
    """Where camac.dll may be on Windows, in order: in this package's folder
    and beside it, the folder the installer recorded, the installer's default folder for this
    word size (on 64-bit Windows a 32-bit process sees ProgramFiles as the
    x86 folder already; ProgramW6432 names the 64-bit one to every process)."""
    folders = [package_dir, package_dir.parent]
    if install_dir:
        folders.append(Path(install_dir))
    for variable in (("ProgramW6432", "ProgramFiles") if bits == 64 else ("ProgramFiles(x86)", "ProgramFiles")):
        if environ.get(variable):
            folders.append(Path(environ[variable]) / PRODUCT_FOLDER)
    unique: List[Path] = []
    for folder in folders:
        if folder not in unique:
            unique.append(folder)
    return unique


def _candidates(name: str, camac_path: Optional[str], *, platform: str = sys.platform, environ=None,
                bits: Optional[int] = None, package_dir: Optional[Path] = None,
                install_dir=_registry_install_dir) -> List[Tuple[str, Optional[str]]]:
    """``(what to load, None)`` in order, or ``(place, reason)`` for places ruled out at once.

    The keywords stand for the running system (tests give another's):
    ``platform`` as ``sys.platform``, ``environ`` as ``os.environ``, ``bits``
    the interpreter's word size, ``package_dir`` this package's folder and
    ``install_dir`` a function of the word size giving the installer's
    recorded folder (or None)."""
    environ = os.environ if environ is None else environ
    windows = platform == "win32"
    bits = struct.calcsize("P") * 8 if bits is None else bits
    filename = {"camac": "camac.dll", "camac758": "camac758.dll", "camactools": "camactools.dll"}[name] \
        if windows else _FILE[name]
    out: List[Tuple[str, Optional[str]]] = []

    def file(path: Path, place: Optional[str] = None) -> None:
        place = str(path) if place is None else place
        if not path.is_file():
            out.append((place, "no such file"))
            return
        if windows:
            got = _pe_bits(path)
            if got is None:
                out.append((place, "not a Windows x86 or x64 DLL"))
                return
            if got != bits:
                out.append((place, f"a {got}-bit DLL; this Python is {bits}-bit"))
                return
        out.append((place, None))

    env = {"camac": ENV_CAMAC, "camac758": ENV_CAMAC758, "camactools": ENV_TOOLS}[name]
    value = environ.get(env, "")
    if value:
        if Path(value).is_file():
            file(Path(value), value)
        else:
            out.append((f"${env}={value}", "no such file"))
    if name == "camac" and windows:
        package_dir = Path(__file__).resolve().parent if package_dir is None else package_dir
        for folder in _windows_folders(package_dir, environ, bits, install_dir(bits)):
            file(folder / filename)
    elif name == "camac":
        for build in _build_dirs():
            sanitizer = _sanitizer(build)
            if sanitizer:
                # Its run time must be the first library of the process: loading
                # it into a plain interpreter would end the process.
                out.append((str(build / "camac" / _FILE[name]), f"a sanitizer build (KT40_SANITIZE={sanitizer})"))
            else:
                file(build / "camac" / _FILE[name])
    elif camac_path and Path(camac_path).is_file():
        # Beside camac, or in the same build: the two must share one camac.
        here = Path(camac_path).resolve().parent
        file(here / filename)
        if here.name == "camac" and not windows:
            file(here.parent / name / filename)
    out += [(system_name, None) for system_name in ([filename] if windows else _SYSTEM[name])]
    return out


def _load(name: str, routines: Tuple[str, ...], prototypes: dict,
          camac_path: Optional[str] = None) -> Tuple[ctypes.CDLL, str]:
    """Loads the first candidate that offers ``routines`` and declares ``prototypes`` on it."""
    tried: List[Tuple[str, str]] = []
    for place, reason in _candidates(name, camac_path):
        if reason is not None:
            tried.append((place, reason))
            continue
        try:
            lib = ctypes.CDLL(place)
        except OSError as err:
            tried.append((place, str(err).strip() or "cannot be loaded"))
            continue
        missing = [r for r in routines if not hasattr(lib, r)]
        if missing:
            tried.append((place, "does not offer " + ", ".join(missing)))
            continue
        for routine, (restype, argtypes) in prototypes.items():
            fn = getattr(lib, routine)
            fn.restype = restype
            fn.argtypes = argtypes
        return lib, place
    raise LibraryNotFoundError(name, tried)


_lock = threading.Lock()
_camac: Optional[ctypes.CDLL] = None
_camac758: Optional[ctypes.CDLL] = None
_camac758_error: Optional[LibraryNotFoundError] = None
_tools: Optional[ctypes.CDLL] = None
paths: Dict[str, str] = {}


def camac() -> ctypes.CDLL:
    """The ``camac`` library, loaded on first use."""
    global _camac
    if _camac is None:
        with _lock:
            if _camac is None:
                _camac, paths["camac"] = _load("camac", _CAMAC_ROUTINES, _CAMAC_PROTOTYPES)
    return _camac


def release(lib: ctypes.CDLL) -> None:
    """Lets the adapter go (camac_private_release: camac.dll exports it by
    ordinal 104 only, libcamac by its name); the next ccinit takes it again."""
    try:
        fn = lib[104] if sys.platform == "win32" else lib.camac_private_release
    except (AttributeError, OSError):
        return  # a library older than the entry: the adapter goes with the process
    fn.restype = c_int
    fn.argtypes = []
    fn()


def fast(lib: ctypes.CDLL, routine: str) -> ctypes._CFuncPtr:
    """A second entry to ``routine`` without argument conversion, for hot paths.

    Its result is a C int; the caller passes C ints (already checked to fit)
    and ``byref()`` of ctypes objects, as the routine's prototype above says.
    """
    fn = lib[routine]  # a new function object: the declared one keeps its argtypes
    fn.restype = c_int
    return fn


def camac758() -> ctypes.CDLL:
    """The ``camac758`` library over the same ``camac``, loaded on first use.

    Raises:
        LibraryNotFoundError: when it cannot be found (the failure is kept, so
            a second call does not search again).
    """
    global _camac758, _camac758_error
    camac()
    if _camac758 is None:
        with _lock:
            if _camac758_error is not None:
                raise _camac758_error
            if _camac758 is None:
                try:
                    _camac758, paths["camac758"] = _load(
                        "camac758", _CAMAC758_ROUTINES, _CAMAC758_PROTOTYPES, paths.get("camac"))
                except LibraryNotFoundError as err:
                    _camac758_error = err
                    raise
    return _camac758


def tools() -> ctypes.CDLL:
    """``camactools``, the rules, texts and script files the faces share,
    from beside the ``camac`` in use (or as ``KT40_CAMACTOOLS_LIBRARY``
    names it), loaded on first use.

    Raises:
        LibraryNotFoundError: when it cannot be found.
    """
    global _tools
    if _tools is None:
        camac()
        with _lock:
            if _tools is None:
                _tools, paths["camactools"] = _load("camactools", _TOOLS_ROUTINES, _TOOLS_PROTOTYPES, paths.get("camac"))
    return _tools


def text(size: int = 512) -> ctypes.Array:
    """A buffer for a text the library writes."""
    return ctypes.create_string_buffer(size)


def integer(name: str, value, bits: int = 32, *, strict: bool = False) -> int:
    """``value`` as a signed integer of ``bits`` bits, what a C call or a
    record's field takes; whether it lies in the range of what it counts is
    for the shared rules to judge.

    Args:
        name: what the value is, for the messages ("station N").
        value: whatever Python takes as an integer (``operator.index``: a
            NumPy integer, say); with ``strict`` an int (or a subclass of it)
            alone.
        bits: the size of the C integer.
        strict: the fields of a script entry: the TypeError names the type
            of the refused value alone, not the value.

    Returns:
        The value as an int.

    Raises:
        TypeError: ``value`` is no integer.
        ValueError: it does not fit ``bits`` bits.
    """
    if strict:
        if not isinstance(value, int):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    elif type(value) is not int:
        try:
            value = operator.index(value)
        except TypeError:
            raise TypeError(f"{name} must be an integer, not {type(value).__name__} {value!r}") from None
    if not -(1 << (bits - 1)) <= value < 1 << (bits - 1):
        raise ValueError(f"{name} {value} does not fit a {bits}-bit field")
    return int(value)


CT_READ, CT_CONTROL, CT_WRITE = 1, 2, 3  # ct_function_kind


def check_action(c: int, n: int, a: int, f: int, bits: int, has_data: bool, data: int) -> None:
    """The shared rules (camactools) on an action: ValueError in their words when it breaks one."""
    why = text(160)
    if tools().ct_check_action(c, n, a, f, bits, int(has_data), data, why, len(why)):
        raise ValueError(why.value.decode())
