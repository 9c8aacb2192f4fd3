"""Exceptions of the package."""

from __future__ import annotations

from typing import Optional

__all__ = ["CamacError", "CamacTimeoutError", "AdapterError", "NoConnectionError", "error_text"]

# CamacStatus.error values.
DONE_TIMEOUT = 0x0100
ADAPTER = 0x0200
WRONG_CRATE = 0x0300  # the PCI adapter's path
DRIVER = 0x0400
BUSY_TIMEOUT = 0x0500
ARGUMENT = 0x0800  # camac758
NO_Q = 0x0900
NO_X = 0x0A00



def error_text(code: int) -> str:
    """A readable text for a ``CamacStatus.error`` value, in the words every face uses."""
    from . import _library

    return _library.tools().ct_error_text(code).decode()


class CamacError(Exception):
    """A routine of the CAMAC library failed.

    Attributes:
        code: ``CamacStatus.error`` after the failure (0x0100, 0x0200, 0x0500).
        routine: the library routine that failed, e.g. ``"cssa"``.
        action: what was asked of it, e.g. ``"crate 0 N5 A0 F16"``.
        transferred: for a block transfer, what it did before it failed: the
            words read (an ``array('l')``) or the number of words written.
    """

    def __init__(self, code: int, routine: str, action: str = "", text: Optional[str] = None):
        self.code = code
        self.routine = routine
        self.action = action
        self.transferred = None
        where = f"{routine} ({action})" if action else routine
        code_text = f" [0x{code:04X}]" if code else ""
        super().__init__(f"{where} failed: {text or error_text(code)}{code_text}")

    @staticmethod
    def of(code: int, routine: str, action: str = "") -> "CamacError":
        """The most specific exception for ``code``."""
        cls = {DONE_TIMEOUT: CamacTimeoutError, BUSY_TIMEOUT: CamacTimeoutError, ADAPTER: AdapterError,
               NO_Q: CamacTimeoutError, WRONG_CRATE: AdapterError, DRIVER: AdapterError}.get(code, CamacError)
        return cls(code, routine, action)


class CamacTimeoutError(CamacError):
    """The adapter did not finish an action within the poll limit (0x0100, 0x0500),
    or a Q-repeat transfer saw no Q in its tries (0x0900)."""


class AdapterError(CamacError):
    """The adapter ended an action with its error bit (0x0200)."""


class NoConnectionError(CamacError):
    """``ccinit`` could not open the connection to the adapter."""
