"""Fixtures: parley-sim over a pseudo-terminal and TCP, and the simulated GPIB bus."""

import ctypes
import os
import signal
import subprocess
import select
import time

import pytest

import parley

SIM = os.environ.get("PARLEY_SIM", "parley-sim")


def _end_with_parent():
    # A killed test run must leave no simulator behind.
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Sim:
    """A parley-sim process; its first line is the pty, the second (with TCP) the port."""

    def __init__(self, *args, tcp=False):
        argv = [SIM, *args] + (["--tcp-port", "0"] if tcp else [])
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                     preexec_fn=_end_with_parent)
        self._pending = b""
        try:
            self.device = self._line()
            self.tcp_port = self._line() if tcp else None
        except Exception:
            self.stop()
            raise

    def _line(self, timeout=5.0):
        # Unbuffered: both lines may arrive in one read.
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                raise RuntimeError("parley-sim printed nothing")
            chunk = os.read(fd, 256)
            if not chunk:
                raise RuntimeError("parley-sim ended early")
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


@pytest.fixture
def start_sim():
    """start_sim(*args, tcp=False) -> Sim; every process is ended after the test."""
    started = []

    def start(*args, tcp=False):
        sim = Sim(*args, tcp=tcp)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


PORT = 7  # the serial port number the tests map to the simulator's pty


@pytest.fixture
def serial_itf(start_sim):
    """serial_itf(mode, *sim_args) -> an open interface on port PORT, mapped to a new sim."""
    made = []

    def make(mode=parley.korCommModeCRLFDirect, *args, **settings):
        sim = start_sim(*args)
        itf = parley.open(mode=mode, port=PORT, device=sim.device, **settings)
        made.append(itf)
        return itf

    yield make
    for itf in made:
        if itf.IsPortOpen:
            itf.closePort()
    parley.MapSerialPort(PORT, "")


@pytest.fixture
def tcp_itf(start_sim):
    made = []

    def make(*args):
        sim = start_sim(*args, tcp=True)
        itf = parley.open(mode=parley.korCommModeEther, port=sim.tcp_port,
                          RemoteHostIpAddress="127.0.0.1")
        made.append(itf)
        return itf

    yield make
    for itf in made:
        if itf.IsPortOpen:
            itf.closePort()


@pytest.fixture
def bus():
    """A simulated GPIB bus with an instrument at address 4, chosen as the driver."""
    b = parley.SimulatedGpibBus()
    parley.UseSimulatedGpibBus(b)
    yield b
    parley.UseSystemGpibLibrary()
