"""Shared fixtures: a private virtual crate, the simulator's test controls, the build's helpers."""

import ctypes
import os
import sys
from pathlib import Path

# A fresh virtual crate of our own, never the user's; set before the library loads.
os.environ["KT40_SIM_STATE"] = "private"
os.environ.pop("KT40_CRATE_FILE", None)

PYTHON_DIR = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PYTHON_DIR))

import pytest  # noqa: E402

import kt40  # noqa: E402
from kt40 import _library  # noqa: E402

REPO = PYTHON_DIR.parent


class Simulator:
    """The virtual adapter's test controls (kt40sim::Adapter), reached in the same process."""

    # kt40sim::Fault
    NONE, DONE_NEVER, ERROR_BIT, BUSY_STUCK, DEAD = range(5)

    def __init__(self):
        _library.camac()  # loads libkt40sim.so.1 too: found again by its soname
        lib = ctypes.CDLL("libkt40sim.so.1")
        self._instance = lib._ZN7kt40sim7Adapter8instanceEv
        self._instance.restype = ctypes.c_void_p
        self._set_fault = lib._ZN7kt40sim7Adapter8setFaultENS_5FaultE
        self._set_fault.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self._set_fault_after = lib._ZN7kt40sim7Adapter13setFaultAfterEmNS_5FaultE
        self._set_fault_after.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int]
        self._access_count = lib._ZNK7kt40sim7Adapter11accessCountEv
        self._access_count.argtypes = [ctypes.c_void_p]
        self._access_count.restype = ctypes.c_uint64
        self.adapter = self._instance()

    def set_fault(self, fault: int) -> None:
        self._set_fault(self.adapter, fault)

    def set_fault_after(self, accesses: int, fault: int) -> None:
        """The fault begins after that many more register accesses."""
        self._set_fault_after(self.adapter, accesses, fault)

    def accesses(self) -> int:
        """Register accesses since power-up."""
        return self._access_count(self.adapter)


@pytest.fixture(scope="session")
def sim():
    return Simulator()


@pytest.fixture
def crate(sim):
    """Crate 0 of the default crate, initialised, inhibit off, no fault."""
    crate = kt40.Crate(0)
    crate.z()
    crate.inhibit = False
    yield crate
    sim.set_fault(Simulator.NONE)


def build_dir() -> Path:
    """The build the loaded camac library belongs to."""
    _library.camac()
    return Path(_library.paths["camac"]).resolve().parent.parent


@pytest.fixture(scope="session")
def tvs_tool():
    tool = build_dir() / "python" / "kt40py_tvs"
    if not tool.is_file():
        pytest.fail(f"{tool} is missing: build the tree first (cmake --build build)")
    return tool
