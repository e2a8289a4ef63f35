"""The module across the process's life: interpreter exit with calls in progress."""

import fcntl
import os
import subprocess
import sys
import textwrap

import pytest

import parley

# A child interpreter: a daemon thread starts one waiting call, the main thread ends meanwhile.
WAITING_CHILD = textwrap.dedent("""
    import sys, threading, time, parley
    kind, where = sys.argv[1], sys.argv[2]
    started = threading.Event()

    def wait():
        if kind == "tcp":
            itf = parley.open(mode=parley.korCommModeEther, port=where,
                              RemoteHostIpAddress="127.0.0.1")
        elif kind == "direct":
            bus = parley.SimulatedGpibBus()
            bus.AddInstrument(4).ResponseDelay(60)
            parley.UseSimulatedGpibBus(bus)
            itf = parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4, DTO=17)
        else:
            mode = {"serial": parley.korCommModeCRLFDirect,
                    "forwarded": parley.korCommModeCRLFtoGPIB}[kind]
            itf = parley.open(mode=mode, port=7, device=where, GPIBAddress=5)
        progress = itf.Progress
        progress.Update.connect(lambda: None)  # a Python handler is due on every stage
        started.set()
        itf.query("VER?", timeout=parley.korLong)

    threading.Thread(target=wait, daemon=True).start()
    started.wait(10)
    time.sleep(0.3)  # inside the wait by now
""")


def run_child(tmp_path, *args, dev_mode=False):
    script = tmp_path / "child.py"
    script.write_text(WAITING_CHILD)
    argv = [sys.executable] + (["-X", "dev"] if dev_mode else []) + [str(script), *args]
    return subprocess.run(argv, capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


@pytest.mark.parametrize("dev_mode", [False, True], ids=["plain", "dev-mode"])
@pytest.mark.parametrize("kind", ["serial", "tcp", "forwarded", "direct", "port"])
def test_exit_with_a_thread_inside_a_call(tmp_path, start_sim, kind, dev_mode):
    where = "-"
    held = None
    if kind == "tcp":
        where = start_sim("--silent", tcp=True).tcp_port
    elif kind == "forwarded":
        where = start_sim("--gpib-busy").device
    elif kind in ("serial", "port"):
        where = start_sim("--silent").device
    if kind == "port":
        # Another program holds the device: the call waits for the port.
        held = os.open(where, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(held, fcntl.LOCK_EX)
        kind = "serial"
    try:
        done = run_child(tmp_path, kind, where, dev_mode=dev_mode)
    finally:
        if held is not None:
            os.close(held)
    assert "FATAL" not in done.stderr and "Fatal" not in done.stderr, done.stderr
    assert done.returncode == 0, done.stderr


# --- fork() ---------------------------------------------------------------------------------

made_before_fork = None  # an open interface of the parent, seen by the forked workers


def query_in_worker(args):
    port, command = args
    try:
        made_before_fork.query("PING")
        refused = None
    except parley.AutomationError as e:
        refused = (e.number, "before fork()" in e.description)
    with parley.open(mode=parley.korCommModeEther, port=port,
                     RemoteHostIpAddress="127.0.0.1") as itf:
        return refused, itf.query(command)


def test_a_fork_pool_runs_queries_beside_the_parent(start_sim):
    global made_before_fork
    import multiprocessing

    sim = start_sim("--delay", "300", "--answer", "MEAS?=1.5", tcp=True)
    made_before_fork = parley.open(mode=parley.korCommModeEther, port=sim.tcp_port,
                                   RemoteHostIpAddress="127.0.0.1")
    try:
        assert made_before_fork.query("PING") == "PONG"
        with multiprocessing.get_context("fork").Pool(2) as pool:
            pending = pool.map_async(query_in_worker, [(sim.tcp_port, "MEAS?")] * 4)
            # The parent's own loop is its own while the workers wait on theirs.
            assert [made_before_fork.query("PING") for _ in range(3)] == ["PONG"] * 3
            results = pending.get(30)
        assert results == [((parley.err.InvalidCall, True), "1.5")] * 4
        assert made_before_fork.query("PING") == "PONG"
    finally:
        made_before_fork.closePort()
        made_before_fork = None


def test_a_forked_child_leaves_the_parents_objects_alone(start_sim):
    sim = start_sim(tcp=True)
    itf = parley.open(mode=parley.korCommModeEther, port=sim.tcp_port,
                      RemoteHostIpAddress="127.0.0.1")
    pid = os.fork()
    if pid == 0:  # the child: refused, then freed; neither may touch the parent's link
        code = 1
        try:
            itf.query("PING")
        except parley.AutomationError as e:
            code = 0 if e.number == parley.err.InvalidCall else 2
        del itf
        import gc
        gc.collect()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert itf.IsPortOpen and itf.query("PING") == "PONG"
    itf.closePort()


# --- cycles and leaks -------------------------------------------------------------------------

def test_an_interface_in_a_cycle_through_its_handlers_is_collected_and_closed(bus):
    import gc

    bus.AddInstrument(4).Reply("*IDN?", "Sim\n")
    itf = parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4)
    itf.query("*IDN?")
    assert bus.OnlineDevices == 1
    # Each handler closes over the interface: reachable from it only through the library.
    itf.portReset.connect(lambda: itf.closePort())
    itf.debugMonUpdate.connect(lambda: itf.DebugBuffGet())
    itf.Progress.Update.connect(lambda: itf.Progress.status)
    del itf
    gc.collect()
    assert bus.OnlineDevices == 0


def test_an_interface_whose_thread_ended_releases_its_device_when_freed(bus):
    import gc
    import threading
    import warnings

    bus.AddInstrument(4).Reply("*IDN?", "Sim\n")
    made = []

    def open_there():
        itf = parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4)
        itf.query("*IDN?")
        made.append(itf)

    thread = threading.Thread(target=open_there)
    thread.start()
    thread.join(10)
    assert bus.OnlineDevices == 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        made.clear()
        gc.collect()
    assert bus.OnlineDevices == 0
    assert [w.category for w in caught] == [ResourceWarning]


def heap_in_use():
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = MallInfo2
    return libc.mallinfo2().uordblks


@pytest.mark.parametrize("progress", [None, lambda p: None], ids=["plain", "with-progress"])
def test_failed_calls_without_a_wait_leave_nothing_behind(progress):
    itf = parley.KORInterface()  # never opened: every query fails at once

    def fail(times):
        for _ in range(times):
            with pytest.raises(parley.AutomationError):
                itf.query("PING", progress=progress)

    fail(1000)  # caches and free lists settle first
    before = heap_in_use()
    fail(10000)
    assert (heap_in_use() - before) / 10000 < 16  # bytes per call


def test_a_subinterpreter_is_refused_at_import():
    script = textwrap.dedent("""
        import _xxsubinterpreters as interpreters, sys
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import sys; sys.path[:] = %r; import parley" % sys.path)
        except interpreters.RunFailedError as e:
            print("refused:", e)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=30, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert "refused:" in done.stdout and "ImportError" in done.stdout, done.stdout
