"""kt40: CAMAC crates behind the KT40 adapter, from Python.

A thin layer over the ``camac`` library (and ``camac758`` for block
transfers), through ctypes: no compiler needed, and the same package works
with ``camac.dll`` on Windows.

    import kt40
    crate = kt40.Crate(0)
    crate.cnaf(5, 0, 16, data=0x1234)       # write the register in station 5
    data, q, x = crate.cnaf(5, 0, 0)        # read it back
"""

from ._library import LibraryNotFoundError
from .crate import CnafResult, Crate, LamEvent, LamLink, Status, stations, status
from .errors import AdapterError, CamacError, CamacTimeoutError, NoConnectionError, error_text
from .script import Command, RunResult, RunStep, Script, ScriptFormatError, read_script, run_script, write_script

__all__ = [
    "AdapterError", "CamacError", "CamacTimeoutError", "CnafResult", "Command", "Crate", "LamEvent", "LamLink",
    "LibraryNotFoundError", "NoConnectionError", "Script", "ScriptFormatError", "Status", "error_text",
    "RunResult", "RunStep", "read_script", "run_script", "stations", "status", "write_script",
]
