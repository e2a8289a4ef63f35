"""Waiting calls: woken only by what they wait for, Ctrl-C and Halt from other threads."""

import os
import resource
import signal
import socket
import threading
import time

import pytest

import parley


def wakeups():
    return resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw


def test_a_wait_on_a_silent_unit_sleeps(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    before, started = wakeups(), time.monotonic()
    with pytest.raises(parley.AutomationError) as info:
        itf.query("VER?", deadline=2)
    waited, woken = time.monotonic() - started, wakeups() - before
    assert info.value.number == parley.err.UserCanceled
    print("%d wake-ups in %.1f s" % (woken, waited))
    assert woken <= 5 * waited + 5  # a 50 ms tick would be 40


def test_ctrl_c_reaches_a_wait_at_once_and_the_wakeup_fd_is_given_back(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    itf.DebugMonitorOn()
    theirs, ours = socket.socketpair()
    theirs.setblocking(False)
    previous = signal.set_wakeup_fd(theirs.fileno())
    sent = []
    timer = threading.Timer(0.3, lambda: sent.append(time.monotonic())
                            or os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            itf.query("VER?")
        late = time.monotonic() - sent[0]
        assert signal.set_wakeup_fd(previous) == theirs.fileno()  # put back after the call
    finally:
        timer.cancel()
        signal.set_wakeup_fd(previous)
    assert late < 0.5
    assert not itf.Busy and "User canceled operation." in itf.DebugBuffGet()
    assert ours.recv(16) == bytes([signal.SIGINT])  # its owner still hears of the signal
    theirs.close()
    ours.close()


def test_ctrl_c_ends_the_loop_between_calls():
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            parley.EventLoop.RunFor(10000)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 1


def halted_by_threads(itf, count):
    """Acks of a wait halted by `count` threads at once, and how long it took."""
    acks = []
    link = itf.Progress.HaltAck.connect(lambda: acks.append(1))
    go = threading.Event()

    def halt():
        go.wait()
        itf.Progress.Halt()  # fetched on this thread: the interface's own object

    threads = [threading.Thread(target=halt) for _ in range(count)]
    for t in threads:
        t.start()
    timer = threading.Timer(0.3, go.set)
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(parley.AutomationError) as info:
            itf.query("VER?", timeout=parley.korMedium)
    finally:
        go.set()
        for t in threads:
            t.join(5)
        link.disconnect()
    assert info.value.number == parley.err.UserCanceled
    return len(acks), time.monotonic() - started


def test_halt_from_five_threads_ends_one_wait_once(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect, "--silent")
    once, _ = halted_by_threads(itf, 1)
    acks, took = halted_by_threads(itf, 5)
    assert acks == once and took < 1.5  # woken at once, halted once
    # No request is left over for the next call.
    assert halted_by_threads(itf, 1)[0] == once
