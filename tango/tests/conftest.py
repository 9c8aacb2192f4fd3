"""CamacDS servers for the tests, in the private TANGO system that
tango/scripts/test.sh started (TANGO_HOST, TANGO_TEST_DIR)."""
import os
import pathlib
import signal
import subprocess
import time

import pytest
import tango

TANGOCTL = pathlib.Path(__file__).resolve().parents[1] / "scripts" / "tangoctl.sh"


class Servers:
    """Starts CamacDS instances through tangoctl.sh; stops them by PID."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []

    def start(self, inst, crate, device, env=None):
        """`env` adds variables to the server's environment; None removes one."""
        full = {**os.environ, **(env or {})}
        subprocess.run([str(TANGOCTL), "server", self.folder, inst, str(crate), device],
                       check=True, env={k: v for k, v in full.items() if v is not None},
                       stdout=subprocess.DEVNULL)
        self.started.append(inst)
        return tango.DeviceProxy(device)

    def stop(self, inst):
        subprocess.run([str(TANGOCTL), "stop-server", self.folder, inst], check=True)

    def kill(self, inst):
        """Ends the server at once (SIGKILL to its PID): no clean shutdown."""
        pid = int(pathlib.Path(self.folder, "run", f"camacds-{inst}.pid").read_text())
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
