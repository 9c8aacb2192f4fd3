"""CamacDS as an integrator meets it: the admin device, State, events that can
be archived, per-call results, and a class that describes itself."""
import os
import pathlib
import threading
import time
import xml.etree.ElementTree as ET

import pytest
import tango

from conftest import Events, wait_for

MEMORY, LAMSOURCE, EMPTY = 1, 3, 20
XMI = pathlib.Path(__file__).resolve().parents[1] / "CamacCrate.xmi"


class Load:
    """A client of its own hammering a device with CNAF writes and reads."""

    def __init__(self, device):
        self.dev = tango.DeviceProxy(device)
        self.ok = 0
        self.failed = 0
        self.wrong = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        k = 0
        while not self.stop.is_set():
            k = (k + 1) & 0xFFFF
            try:
                self.dev.CNAF([MEMORY, 15, 16, k])
                if list(self.dev.CNAF([MEMORY, 15, 0])) != [k, 1, 1]:
                    self.wrong += 1
                self.ok += 1
            except tango.DevFailed:
                self.failed += 1  # the device is being made again
                self.stop.wait(0.01)

    def goes_on(self):
        """True once the load has done 20 more rounds."""
        start = self.ok
        return wait_for(lambda: self.ok >= start + 20, 20)

    def end(self):
        self.stop.set()
        self.thread.join(10)
        assert self.wrong == 0


def test_the_admin_device_under_load(servers):
    # With a named channel too: a dynamic attribute made again with its device.
    tango.Database().put_device_property("test/kt40/admin", {"Channels": ["word: 1 9 0 16 16"]})
    dev = servers.start("admin", 0, "test/kt40/admin", more=[(1, "test/kt40/admin1")])
    pid = servers.pid("admin")
    # Without --bind everything listens on the loopback alone.
    assert "giop:tcp:127.0.0.1:" in pathlib.Path(f"/proc/{pid}/cmdline").read_text()
    dev.CNAF([MEMORY, 9, 16, 4242])  # kept by the crate across the restarts
    admin = tango.DeviceProxy(dev.adm_name())
    load = Load("test/kt40/admin")
    try:
        for name, call in [("RestartServer", lambda: admin.RestartServer()),
                           ("Init", lambda: admin.Init()),
                           ("DevRestart", lambda: admin.DevRestart("test/kt40/admin")),
                           ("DevRestart", lambda: admin.DevRestart("test/kt40/admin1"))]:
            call()
            assert wait_for(lambda: servers.alive("admin") and _state(dev) == tango.DevState.ON), name
            assert servers.pid("admin") == pid, f"{name} ended the server"
            assert load.goes_on(), f"the load stopped after {name}"
            assert list(dev.CNAF([MEMORY, 9, 0])) == [4242, 1, 1], name
            assert dev.word == 4242, name
            assert tango.DeviceProxy("test/kt40/admin1").state() == tango.DevState.OFF, name
    finally:
        load.end()
    print(f"\nadmin: {load.ok} rounds under load, {load.failed} refused while the devices were made again")

    load = Load("test/kt40/admin")
    assert load.goes_on()
    # Right after the restarts the admin device may refuse a first connection
    # for a moment, and the server may end before Kill's reply leaves it.
    deadline = time.monotonic() + 20
    while True:
        try:
            admin.Kill()
            break
        except tango.CommunicationFailed:
            break  # the server went while answering
        except tango.ConnectionFailed:
            if not servers.alive("admin") or time.monotonic() > deadline:
                raise
            time.sleep(0.2)
    assert wait_for(lambda: not servers.alive("admin"), 20), "Kill did not end the server"
    load.end()
    servers.stop("admin")
    dev = servers.start("admin", 0, "test/kt40/admin", more=[(1, "test/kt40/admin1")])
    assert dev.state() == tango.DevState.ON
    assert list(dev.CNAF([MEMORY, 9, 0]))[1:] == [1, 1]


def _state(dev):
    try:
        return dev.state()
    except tango.DevFailed:
        return None


def test_state_follows_the_crate(servers):
    """ON, ALARM for a masked station and back, OFF for an off-line crate,
    each change pushed as State and Status events."""
    dev = servers.start("states", 0, "test/kt40/states", more=[(1, "test/kt40/offline")])
    off = tango.DeviceProxy("test/kt40/offline")
    assert off.state() == tango.DevState.OFF
    assert off.status().startswith("Crate 1 is off-line")
    assert list(off.CNAF([MEMORY, 0, 0])) == [0, 0, 0]  # still reaches the crate: no X

    states = Events(dev, "State", tango.EventType.CHANGE_EVENT)
    status = Events(dev, "Status", tango.EventType.CHANGE_EVENT)
    try:
        assert states.wait(lambda v: v == [tango.DevState.ON])
        # The LAM source has no F9: the LAM stays after the acknowledgement, so
        # the server masks the station.
        tango.Database().put_device_property("test/kt40/states", {"LamAcknowledge": ["9"]})
        dev.Init()
        dev.CNAF([LAMSOURCE, 0, 25])
        assert wait_for(lambda: dev.state() == tango.DevState.ALARM)
        assert "LAM masked (F24) at station 3" in dev.status()
        assert dev.LamPattern == 0
        tango.Database().put_device_property("test/kt40/states", {"LamAcknowledge": ["10"]})
        dev.Init()
        dev.CNAF([LAMSOURCE, 0, 10])
        dev.CNAF([LAMSOURCE, 0, 26])  # unmasked: ON at the next test of the crate
        assert wait_for(lambda: dev.state() == tango.DevState.ON)
        assert states.wait(lambda v: v[-3:] == [tango.DevState.ALARM, tango.DevState.INIT, tango.DevState.ON]
                           or v[-2:] == [tango.DevState.ALARM, tango.DevState.ON])
        assert tango.DevState.ALARM in states.values
        assert status.wait(lambda v: any("masked" in s for s in v) and v[-1] == "Crate 0 ready.")
        assert not states.errors and not status.errors
    finally:
        states.close()
        status.close()

    # A bad property: FAULT, and nothing reaches the crate, until mended.
    tango.Database().put_device_property("test/kt40/states", {"PollPeriod": ["5"]})
    dev.Init()
    assert dev.state() == tango.DevState.FAULT
    assert "the property PollPeriod must be 100-60000, not '5'" in dev.status()
    assert _reason(lambda: dev.CNAF([MEMORY, 0, 0])) == "API_CommandNotAllowed"
    tango.Database().delete_device_property("test/kt40/states", ["PollPeriod"])
    dev.Init()
    assert dev.state() == tango.DevState.ON


def _reason(call):
    with pytest.raises(tango.DevFailed) as caught:
        call()
    return caught.value.args[0].reason


def test_init_during_a_database_outage_recovers(servers):
    dev = servers.start("outage", 0, "test/kt40/outage")
    tango.Database().put_device_property("test/kt40/outage", {"RetryLimit": ["2000"]})
    servers.database(False)
    try:
        try:
            dev.Init()  # FAULT; or the client's call times out while the server waits for the database
        except tango.DevFailed:
            pass
        assert wait_for(lambda: dev.state() == tango.DevState.FAULT)
        assert "Cannot read the device properties" in dev.status()
    finally:
        servers.database(True)
    assert wait_for(lambda: dev.state() == tango.DevState.ON, 30), dev.status()
    assert list(dev.CNAF([MEMORY, 0, 0]))[1:] == [1, 1]


def test_lam_events_can_be_archived_and_counted(crate0):
    dev = crate0
    before = dev.LamCount
    archive = Events(dev, "LamPattern", tango.EventType.ARCHIVE_EVENT)
    counts = Events(dev, "LamCount", tango.EventType.CHANGE_EVENT)
    try:
        assert archive.wait(lambda v: len(v) == 1) and counts.wait(lambda v: len(v) == 1)  # at subscription
        pattern = 1 << (LAMSOURCE - 1)
        for k in range(1, 4):
            # Each LAM served before the next is raised: two raised at once
            # are one LAM to the server.
            dev.CNAF([LAMSOURCE, 0, 25])
            assert archive.wait(lambda v: v[1:] == [pattern, 0] * k), archive.values
        assert counts.wait(lambda v: v[1:] == [before + 1, before + 2, before + 3]), counts.values
        assert dev.LamCount == before + 3
        assert not archive.errors and not counts.errors
    finally:
        archive.close()
        counts.close()


def test_each_call_gets_its_own_q_and_x(servers):
    """Two clients at once: one at an empty station, one at a memory. Each
    call's [data, Q, X] is its own; LastX is whoever came last. The busy
    client goes through a second device of the same crate, which TANGO does
    not serialise with the first, so the two calls meet in the server."""
    dev = servers.start("clients", 0, "test/kt40/clients",
                        more=[(1, "test/kt40/clients1"), (0, "test/kt40/clients0b")])
    other = tango.DeviceProxy("test/kt40/clients0b")
    stop = threading.Event()
    seen = {"empty": 0, "bad": 0}

    def empty_station():
        while not stop.is_set():
            if list(other.CNAF([EMPTY, 0, 0])) != [0, 0, 0]:
                seen["bad"] += 1
            seen["empty"] += 1

    t = threading.Thread(target=empty_station, daemon=True)
    t.start()
    try:
        for k in range(1000):
            assert list(dev.CNAF([MEMORY, 8, 16, k])) == [0, 1, 1]
            assert list(dev.ExecList([MEMORY, 8, 0, 0, 16])) == [k, 1, 1]
    finally:
        stop.set()
        t.join(10)
    assert seen["bad"] == 0 and seen["empty"] > 0
    dev.CNAF([MEMORY, 8, 0])
    assert dev.LastX  # this client's action was the last one
    other.CNAF([EMPTY, 0, 0])
    assert not dev.LastX  # now the other client's

    # The last-written word of the record is this crate's own, not another's.
    dev.CNAF([MEMORY, 8, 16, 0x1111])
    tango.DeviceProxy("test/kt40/clients1").CNAF([MEMORY, 8, 16, 0x3333])  # crate 1, off-line
    dev.Z()
    assert list(dev.LastStatusRecord)[9] == 0x1111
    dev.Inhibit = False


def test_the_class_file_matches_the_running_server(crate0):
    """The POGO class file in the tree says what a generic client sees."""
    ns = {"xsi": "http://www.w3.org/2001/XMLSchema-instance"}
    cls = ET.parse(XMI).getroot().find("classes")
    assert cls.get("name") == "CamacCrate"
    xsi_type = "{%s}type" % ns["xsi"]
    dev = crate0

    described = tango.Database().get_class_property("CamacCrate", ["Description"])["Description"]
    assert " ".join(described) == cls.find("description").get("description")

    served = {c.cmd_name: c for c in dev.command_list_query()}
    kinds = {"pogoDsl:IntArrayType": tango.CmdArgType.DevVarLongArray,
             "pogoDsl:LongStringArrayType": tango.CmdArgType.DevVarLongStringArray,
             "pogoDsl:VoidType": tango.CmdArgType.DevVoid,
             "pogoDsl:StateType": tango.CmdArgType.DevState,
             "pogoDsl:ConstStringType": tango.CmdArgType.DevString}
    commands = cls.findall("commands")
    assert sorted(c.get("name") for c in commands) == sorted(served)
    for c in commands:
        s = served[c.get("name")]
        argin, argout = c.find("argin"), c.find("argout")
        assert kinds[argin.find("type").get(xsi_type)] == s.in_type, c.get("name")
        assert kinds[argout.find("type").get(xsi_type)] == s.out_type, c.get("name")
        if c.get("name") not in ("State", "Status", "Init"):
            assert argin.get("description") == s.in_type_desc, c.get("name")
            assert argout.get("description") == s.out_type_desc, c.get("name")

    data = {"pogoDsl:BooleanType": tango.CmdArgType.DevBoolean, "pogoDsl:UIntType": tango.CmdArgType.DevULong,
            "pogoDsl:ULongType": tango.CmdArgType.DevULong64, "pogoDsl:IntType": tango.CmdArgType.DevLong}
    attributes = cls.findall("attributes")
    names = [a.get("name") for a in attributes]
    assert sorted(names + ["State", "Status"]) == sorted(dev.get_attribute_list())
    for a in attributes:
        conf = dev.get_attribute_config(a.get("name"))
        props = a.find("properties")
        assert data[a.find("dataType").get(xsi_type)] == conf.data_type, a.get("name")
        assert a.get("rwType") == {tango.AttrWriteType.READ: "READ",
                                   tango.AttrWriteType.READ_WRITE: "READ_WRITE"}[conf.writable]
        assert a.get("attType") == str(conf.data_format).split(".")[-1].capitalize()
        for field in ("description", "label", "unit", "format"):
            want = props.get(field) or {"label": a.get("name"), "unit": "", "format": conf.format,
                                        "description": "No description"}[field]
            assert getattr(conf, field) == want, (a.get("name"), field)

    wizard = tango.DeviceProxy(dev.adm_name()).QueryWizardDevProperty("CamacCrate")
    declared = {wizard[i]: (wizard[i + 1], wizard[i + 2]) for i in range(0, len(wizard), 3)}
    properties = cls.findall("deviceProperties")
    assert [p.get("name") for p in properties] == list(declared)
    for p in properties:
        default = p.find("DefaultPropValue")
        assert declared[p.get("name")] == (p.get("description"),
                                           default.text if default is not None else "Not specified")


def test_the_log_says_what_happened(crate0, tmp_path):
    """Start, faults and recoveries go to TANGO's logging service."""
    dev = crate0
    admin = tango.DeviceProxy(dev.adm_name())
    log = tmp_path / "crate0.log"
    admin.AddLoggingTarget([dev.name(), f"file::{log}"])
    admin.SetLoggingLevel([[5], [dev.name()]])  # DEBUG
    try:
        dev.Init()
        assert wait_for(lambda: log.exists() and "serving crate 0" in log.read_text(errors="replace"))
    finally:
        admin.RemoveLoggingTarget([dev.name(), f"file::{log}"])


def test_named_channels_are_attributes(servers):
    dev = servers.start("channels", 0, "test/kt40/channels")
    db = tango.Database()
    db.put_device_property("test/kt40/channels", {"Channels": [
        "counts: 2 1 0 24 counts", "level: 1 3 0 16 16 mV", "nothing: 20 0 0 16"]})
    dev.Init()
    assert dev.state() == tango.DevState.ON, dev.status()
    dev.CNAF([2, 1, 25])  # one pulse on scaler channel 1
    assert dev.counts >= 1
    dev.level = 77
    assert list(dev.CNAF([MEMORY, 3, 0])) == [77, 1, 1] and dev.level == 77
    conf = dev.get_attribute_config("level")
    assert (conf.unit, conf.min_value, conf.max_value, conf.writable) == \
        ("mV", "0", "65535", tango.AttrWriteType.READ_WRITE)
    assert "N1 A3 read with F0, written with F16, 16 bits" in conf.description
    assert dev.get_attribute_config("counts").writable == tango.AttrWriteType.READ
    with pytest.raises(tango.DevFailed):
        dev.level = 70000  # beyond max_value: refused before the crate
    assert dev.level == 77
    with pytest.raises(tango.DevFailed) as caught:
        dev.read_attribute("nothing")
    assert caught.value.args[0].reason == "CAMAC_NoX"

    db.put_device_property("test/kt40/channels", {"Channels": ["level: 1 3 0 16 16", "Inhibit: 1 0 0 16"]})
    dev.Init()
    assert dev.state() == tango.DevState.FAULT
    assert "Channels, line 2: the channel Inhibit has the name of an attribute of the class" in dev.status()
    db.delete_device_property("test/kt40/channels", ["Channels"])
    dev.Init()
    assert dev.state() == tango.DevState.ON
    assert "level" not in [a.lower() for a in dev.get_attribute_list()]
