"""CamacDS servers for the tests, in the private TANGO system that
tango/scripts/test.sh started (TANGO_HOST, TANGO_TEST_DIR)."""
import os
import pathlib
import signal
import subprocess
import threading
import time

import pytest
import tango

TANGOCTL = pathlib.Path(__file__).resolve().parents[1] / "scripts" / "tangoctl.sh"


class Servers:
    """Starts CamacDS instances through tangoctl.sh; stops them by PID."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []

    def start(self, inst, crate, device, env=None, more=()):
        """`env` adds variables to the server's environment; None removes one.
        `more`: further (crate, device) pairs served by the same instance."""
        full = {**os.environ, **(env or {})}
        pairs = [str(crate), device] + [str(x) for pair in more for x in pair]
        subprocess.run([str(TANGOCTL), "server", self.folder, inst, *pairs],
                       check=True, env={k: v for k, v in full.items() if v is not None},
                       stdout=subprocess.DEVNULL)
        self.started.append(inst)
        return tango.DeviceProxy(device)

    def pid(self, inst):
        return int(pathlib.Path(self.folder, "run", f"camacds-{inst}.pid").read_text())

    def alive(self, inst):
        """The server's process runs (and is no zombie)."""
        stat = pathlib.Path(f"/proc/{self.pid(inst)}/stat")
        try:
            return stat.read_text().split(") ")[-1][0] != "Z"
        except FileNotFoundError:
            return False

    def database(self, up):
        """Stops (False) or starts again (True) DataBaseds alone."""
        subprocess.run([str(TANGOCTL), "start-database" if up else "stop-database", self.folder],
                       check=True, stdout=subprocess.DEVNULL)

    def stop(self, inst):
        subprocess.run([str(TANGOCTL), "stop-server", self.folder, inst], check=True)

    def kill(self, inst):
        """Ends the server at once (SIGKILL to its PID): no clean shutdown."""
        pid = self.pid(inst)
        os.kill(pid, signal.SIGKILL)
        stat = pathlib.Path(f"/proc/{pid}/stat")
        deadline = time.monotonic() + 10
        while stat.exists() and stat.read_text().split(") ")[-1][0] != "Z":
            assert time.monotonic() < deadline, f"CamacDS/{inst} ({pid}) outlived SIGKILL"
            time.sleep(0.05)
        self.stop(inst)  # forgets the PID

    def stop_all(self):
        for inst in self.started:
            self.stop(inst)


@pytest.fixture(scope="session")
def servers():
    folder = os.environ.get("TANGO_TEST_DIR")
    if not folder:
        pytest.skip("run through tango/scripts/test.sh, which starts the TANGO database")
    s = Servers(folder)
    yield s
    s.stop_all()


@pytest.fixture(scope="session")
def crate0(servers):
    """The device of crate 0 of a fresh virtual crate."""
    return servers.start("crate0", 0, "test/kt40/crate0")


def wait_for(what, timeout=10.0):
    """Polls `what` until it is true; its last value (false when time ran out)."""
    deadline = time.monotonic() + timeout
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)


class Events:
    """The events of one subscription, kept in order, with waits on them."""

    def __init__(self, dev, attr, kind):
        self.cond = threading.Condition()
        self.values, self.errors = [], []
        self.dev = dev
        self.id = dev.subscribe_event(attr, kind, self._on)

    def _on(self, ev):
        with self.cond:
            if ev.err:
                self.errors.append(ev.errors)
            elif getattr(ev, "attr_value", None) is not None:
                self.values.append(ev.attr_value.value)
            else:
                self.values.append(ev.ctr)
            self.cond.notify_all()

    def wait(self, check, timeout=10.0):
        with self.cond:
            return self.cond.wait_for(lambda: check(self.values), timeout=timeout)

    def close(self):
        self.dev.unsubscribe_event(self.id)
