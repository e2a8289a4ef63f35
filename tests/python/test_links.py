"""Transactions from Python against parley-sim (pty and TCP) and the simulated GPIB bus."""

import os
import signal
import socket
import struct
import threading
import time

import pytest

import parley

EVERY_BYTE = bytes(range(256))  # holds no "\r\n>", so it survives the serial framing
EVERY_BYTE_ESCAPED = "".join("\\x%02X" % b for b in EVERY_BYTE)


# --- one transaction in every mode ------------------------------------------------------------

def test_mode_2_over_a_pty(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--answer", "MEAS?=1.23")
    itf.DebugMonitorOn()
    assert itf.query("MEAS?") == "1.23"
    assert itf.query(b"PING") == "PONG"
    assert "\tWRIT\tMEAS?" in itf.DebugBuffGet()


def test_mode_1_forwards_to_gpib_over_a_pty(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFtoGPIB, GPIBAddress=5)
    assert itf.query("*IDN?") == "Parley,SimulatedMeter,5,1.0"


def test_mode_4_forwards_to_gpib_over_a_pty(serial_itf):
    inout = serial_itf(parley.korCommModeGPIBInOut, GPIBAddress=5)
    assert inout.query("*IDN?") == "Parley,SimulatedMeter,5,1.0"


def test_mode_5_text_and_bytes_over_tcp(tcp_itf):
    itf = tcp_itf("--answer", "MEAS?=1.5")
    assert itf.query("MEAS?") == "1.5"
    assert itf.query_bytes(b"PING").endswith(b"PONG")  # the byte response is the raw stream


def test_mode_3_on_the_simulated_bus(bus):
    bus.AddInstrument(4).Reply("*IDN?", "Sim,Meter,1\n")
    with parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4) as itf:
        assert itf.query("*IDN?").rstrip("\n") == "Sim,Meter,1"
        assert itf.Spoll() & 0x02  # idle bit
    assert not itf.IsPortOpen
    assert "ibwrt" in bus.CallNames()


def test_every_byte_value_round_trips(serial_itf, bus):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--answer", "RAW?=" + EVERY_BYTE_ESCAPED)
    assert itf.query_bytes(b"RAW?") == EVERY_BYTE
    assert itf.query("RAW?") == EVERY_BYTE.decode("latin-1")
    # Commands too: the instrument sends back what it was sent.
    seen = []
    instrument = bus.AddInstrument(4)
    instrument.OnCommand(lambda cmd: seen.append(cmd) or cmd)
    with parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4) as gpib:
        gpib.GPIBDirectMaxRespLength = 1000
        assert gpib.query_bytes(EVERY_BYTE) == EVERY_BYTE
    assert seen == [EVERY_BYTE.decode("latin-1")]


def test_catalogue_errors_by_number(serial_itf, tcp_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect)
    with pytest.raises(parley.AutomationError) as info:
        itf.query("PING", timeout=1)  # not one of the timeout values
    assert info.value.number == parley.err.InvalidResponseTimeout
    fwd = serial_itf(parley.korCommModeCRLFtoGPIB, GPIBAddress=0)
    with pytest.raises(parley.AutomationError) as info:
        fwd.query("MEAS?")  # address 0 is a local board's only
    assert info.value.number == parley.err.InvalidGpibAddress
    ether = tcp_itf()
    ether.closePort()
    ether.RemotePortNumber = "64001"  # a plain instrument's port, not the unit's
    ether.openPort()
    with pytest.raises(parley.AutomationError) as info:
        ether.query("PING")
    assert info.value.number == parley.err.TcpPortOutOfRange


# --- progress, halt and Ctrl-C ------------------------------------------------------------------

def test_progress_is_followed_and_a_slow_answer_halted(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    stages = []
    acks = []
    itf.Progress.HaltAck.connect(lambda: acks.append(1))
    started = time.monotonic()

    def follow(p):
        stages.append(p.status)
        if p.HaltEnabled and time.monotonic() - started > 0.3:
            p.Halt()

    with pytest.raises(parley.AutomationError) as info:
        itf.query("VER?", progress=follow)
    assert info.value.number == parley.err.UserCanceled
    assert "Waiting for echo" in stages and acks
    assert time.monotonic() - started < 3
    assert itf.Progress.Update.handler_count == 0  # the progress argument was disconnected
    with pytest.raises(TypeError):
        itf.query("VER?", progress=3)


def test_ctrl_c_halts_the_wait(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    itf.DebugMonitorOn()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            itf.query("VER?")
    finally:
        timer.cancel()
    assert time.monotonic() - started < 5
    assert "User canceled operation." in itf.DebugBuffGet()
    assert not itf.Busy and itf.IsPortOpen


# --- handlers -----------------------------------------------------------------------------------

class HandlerError(Exception):
    pass


def test_a_raising_handler_ends_the_operation_and_reaches_the_caller(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    started = time.monotonic()

    def boom():
        raise HandlerError("stop here")

    itf.Progress.Update.connect(boom)
    with pytest.raises(HandlerError, match="stop here"):
        itf.query("VER?", timeout=parley.korMedium)
    assert time.monotonic() - started < 5 and not itf.Busy


def test_a_handler_that_deletes_the_interface(serial_itf):
    holder = {"itf": serial_itf(parley.korCommModeCRLFDirect)}
    itf = holder["itf"]
    link = itf.Progress.Update.connect(lambda: holder.pop("itf", None))
    del itf
    assert holder["itf"].query("PING") == "PONG"
    assert "itf" not in holder
    link.disconnect()


def test_a_busy_interface_refuses_calls_from_its_handlers(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect)
    refused = []

    def reenter():
        if not refused:
            try:
                itf.query("PING")
            except parley.AutomationError as e:
                refused.append(e.number)

    link = itf.Progress.Update.connect(reenter)
    assert itf.query("PING") == "PONG"
    link.disconnect()
    assert refused == [parley.err.InterfaceBusy]


def test_an_instrument_handler_that_raises(bus):
    def boom(cmd):
        raise HandlerError(cmd)

    bus.AddInstrument(4).OnCommand(boom)
    with parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4, DTO=1) as itf:
        with pytest.raises(HandlerError, match="MEAS"):
            itf.query("MEAS?")


# --- threads ------------------------------------------------------------------------------------

def test_the_gil_is_released_while_an_operation_waits(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--delay", "500")
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.01)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        assert itf.query("PING") == "PONG"
    finally:
        done.set()
        counter.join(10)
    assert len(ticks) >= 20  # it ran throughout the half-second wait


def test_two_threads_each_with_its_own_interface(start_sim):
    sims = [start_sim("--delay", "400") for _ in range(2)]
    results = {}

    def run(n):
        try:
            with parley.open(port=8 + n, device=sims[n].device) as itf:
                results[n] = itf.query("PING")
        except Exception as e:  # reported below
            results[n] = e
        finally:
            parley.MapSerialPort(8 + n, "")

    started = time.monotonic()
    threads = [threading.Thread(target=run, args=(n,)) for n in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert results == {0: "PONG", 1: "PONG"}
    assert time.monotonic() - started < 1.5  # side by side, not one after the other


# --- a connection manager written in Python ----------------------------------------------------

class Connection(parley.PortConnection):
    def __init__(self, log):
        super().__init__()
        self.log = log

    def PortLocked(self):
        self.log.append("locked?")
        return False

    def RequestPort(self):
        self.log.append("request")


class Manager(parley.ConnectionManager):
    def __init__(self, log, fail=False):
        super().__init__()
        self.log, self.fail = log, fail

    def GetConnection(self, port):
        if self.fail:
            raise HandlerError("no manager today")
        self.log.append(port)
        self.connection = Connection(self.log)
        return self.connection


def test_a_python_connection_manager_is_asked_for_the_port(start_sim):
    sim = start_sim()
    parley.MapSerialPort(6, sim.device)
    log = []
    managers = []
    try:
        parley.UseConnectionManager(lambda: managers.append(Manager(log)) or managers[-1])
        with parley.open(port=6) as itf:
            assert itf.query("PING") == "PONG"
            resets = []
            itf.portReset.connect(lambda: resets.append(1))
            managers[0].connection.RaiseNotifyReset()  # the manager says the port was reset
            assert resets == [1]
        assert log[0] == 6 and "locked?" in log
        parley.UseConnectionManager(lambda: Manager(log, fail=True))
        itf = parley.KORInterface()
        itf.CommPort = 6
        with pytest.raises(HandlerError, match="no manager today"):
            itf.openPort()
        with pytest.raises(TypeError):
            parley.UseConnectionManager(5)
    finally:
        parley.UseConnectionManager(None)
        parley.MapSerialPort(6, "")


def test_another_thread_halts_the_wait(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    progress = itf.Progress

    def halt_when_possible():
        deadline = time.monotonic() + 5
        while not progress.HaltEnabled and time.monotonic() < deadline:
            time.sleep(0.01)
        progress.Halt()

    halter = threading.Thread(target=halt_when_possible)
    started = time.monotonic()
    halter.start()
    try:
        with pytest.raises(parley.AutomationError) as info:
            itf.query("VER?")
    finally:
        halter.join(10)
    assert info.value.number == parley.err.UserCanceled
    assert time.monotonic() - started < 3


# --- one record, one progress object: one thread ----------------------------------------------

def test_a_record_and_a_progress_object_in_use_are_refused_to_other_threads(serial_itf, start_sim):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--delay", "400")
    other_sim = start_sim()
    t = parley.KORTransaction()
    t.cmd = "PING"
    progress = itf.Progress
    refused = []
    started = threading.Event()

    def meddle():
        started.wait(5)
        attempts = {
            "read": lambda: t.resp,
            "write": lambda: setattr(t, "cmd", "VER?"),
            "status": lambda: progress.status,
            "connect": lambda: progress.Update.connect(lambda: None),
        }
        with parley.open(port=9, device=other_sim.device) as mine:
            attempts["transact"] = lambda: mine.Transact(t)
            for name, attempt in attempts.items():
                try:
                    attempt()
                except parley.AutomationError as e:
                    refused.append((name, e.number))
        parley.MapSerialPort(9, "")

    link = progress.Update.connect(lambda: started.set())
    other = threading.Thread(target=meddle)
    other.start()
    try:
        itf.Transact(t)
    finally:
        link.disconnect()
        other.join(10)
    assert t.resp == "PONG" and t.cmd == "PING"
    assert sorted(refused) == sorted(
        (name, parley.err.InvalidCall) for name in ["read", "write", "status", "connect", "transact"])
    assert progress.Update.handler_count == 0


def test_a_record_in_flight_is_refused_by_a_second_operation(serial_itf, start_sim):
    first = serial_itf(parley.korCommModeCRLFDirect)
    second = parley.open(port=10, device=start_sim().device)
    t = parley.KORTransaction()
    t.cmd = "PING"
    seen = []

    def hand_on():
        if not seen:
            with pytest.raises(parley.AutomationError, match="InComm") as info:
                second.Transact(t)
            seen.append((info.value.number, t.InComm))

    link = first.Progress.Update.connect(hand_on)
    try:
        first.Transact(t)
    finally:
        link.disconnect()
        second.closePort()
        parley.MapSerialPort(10, "")
    assert seen == [(parley.err.InvalidCall, True)]
    assert t.resp == "PONG" and not t.InComm


def _reset_peer():
    """An interface connected to a local unit of one answer, and the function that resets it."""
    server = socket.create_server(("127.0.0.1", 0))
    itf = parley.open(mode=parley.korCommModeEther, port=server.getsockname()[1],
                      RemoteHostIpAddress="127.0.0.1")
    accepted = []

    def answer_once():  # the unit echoes the command, then answers
        peer = server.accept()[0]
        accepted.append(peer)
        peer.sendall(b"\r\n> ")  # the prompt that ends the connection's opening
        command = b""
        while not command.endswith(b"\r\n"):
            command += peer.recv(100)
        peer.sendall(command + b"PONG\r\n> ")

    unit = threading.Thread(target=answer_once)
    unit.start()
    assert itf.query("PING") == "PONG"  # the link connects on its first transaction
    unit.join(10)
    server.close()

    def reset():  # a zero linger makes the close send RST
        accepted[0].setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        accepted[0].close()

    return itf, reset


def test_an_idle_tcp_reset_arrives_through_the_loop_between_calls():
    itf, reset = _reset_peer()
    resets = []
    itf.portReset.connect(lambda: resets.append(1))
    parley.EventLoop.Poll()
    assert resets == []
    reset()
    deadline = time.monotonic() + 5
    while not resets and time.monotonic() < deadline:
        parley.EventLoop.RunFor(100)
    assert resets == [1] and not itf.IsPortOpen
    with pytest.raises(ValueError):
        parley.EventLoop.RunFor(-1)
    with pytest.raises(TypeError):
        parley.EventLoop.RunFor(0.5)


def test_a_failing_idle_handler_ends_run_for_with_its_own_exception():
    itf, reset = _reset_peer()

    def fail():
        raise HandlerError("reset seen")

    itf.portReset.connect(fail)
    reset()
    with pytest.raises(HandlerError, match="reset seen"):
        for _ in range(50):
            parley.EventLoop.RunFor(100)
    parley.EventLoop.Poll()  # the loop stays usable


class PlainMeter:
    """An independent plain instrument on a local TCP port: no greeting, no echo, LF ends."""

    def __init__(self, answers, delay=0.0):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.answers, self.delay, self.heard = answers, delay, []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        peer = self.server.accept()[0]
        pending = b""
        while True:
            data = peer.recv(4096)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.heard.append(line.decode())
                answer = self.answers.get(line.decode())
                if answer is not None:
                    time.sleep(self.delay)
                    peer.sendall(answer.encode() + b"\n")


def _plain_tcp(meter):
    return parley.open(mode=parley.korCommModeEther, port=meter.port, PlainInstrument=True,
                       RemoteHostIpAddress="127.0.0.1", CmdTerm="\n", RespTerm="\n")


def test_a_plain_socket_instrument_answers_whole_with_second_fractions_as_timeouts():
    meter = PlainMeter({"*IDN?": "MM42,1234,1.0"})
    with _plain_tcp(meter) as itf:
        started = time.monotonic()
        assert itf.query("*IDN?", timeout=0.5) == "MM42,1234,1.0"
        assert time.monotonic() - started < 0.5
        started = time.monotonic()
        with pytest.raises(parley.AutomationError) as info:
            itf.query("SILENT?", timeout=0.2)
        assert info.value.number == parley.err.EtherTerminatorNotFound
        assert 0.15 < time.monotonic() - started < 2
        assert meter.heard == ["*IDN?", "SILENT?"]  # nothing sent twice
        for bad in (0, -1, float("nan"), float("inf")):
            with pytest.raises(ValueError):
                itf.query("*IDN?", timeout=bad)
        with pytest.raises(TypeError):
            itf.query("*IDN?", timeout="1")


def test_the_units_modes_list_their_timeouts_and_a_deadline_ends_a_silent_unit(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    with pytest.raises(parley.AutomationError, match="10, 30, 60, 120, 480") as info:
        itf.query("VER?", timeout=0.5)
    assert info.value.number == parley.err.InvalidResponseTimeout
    started = time.monotonic()
    with pytest.raises(parley.AutomationError) as info:
        itf.query("VER?", deadline=0.8)
    assert info.value.number == parley.err.UserCanceled
    assert time.monotonic() - started < 3  # not four 9-second echo waits
    assert "Deadline of 800 ms reached" in itf.LastLinkError
    assert "link: " in str(info.value) and info.value.link_error == itf.LastLinkError
