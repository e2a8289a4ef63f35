"""Command/response transactions with remote test units and GPIB instruments.

Text is bytes: a str holds one character per byte (latin-1), so every byte value 0..255
survives in both directions; bytes are accepted wherever a command is taken.
"""

import importlib
import math
import operator


def _in_subinterpreter():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = importlib.import_module(name)
        except ImportError:
            continue
        return interpreters.get_current() != interpreters.get_main()
    return False


# The extension's GIL handling (PyGILState) knows only the main interpreter: its
# initialisation would hang in another one.
if _in_subinterpreter():
    raise ImportError("parley cannot be imported in a subinterpreter; use the main interpreter")

from . import _parley  # noqa: E402
from ._parley import *  # noqa: E402,F401,F403  (the object model, enumerations and constants)
from ._parley import (AutomationError, KORInterface, KORTransaction,  # noqa: E402
                      ApplyAddress, ListResources, err, korShort, version)

__all__ = [name for name in dir(_parley) if not name.startswith("_")] + ["open", "list_resources"]


def _with_progress(itf, progress, call):
    """Runs call() with progress(itf.Progress) connected to each progress update."""
    if progress is None:
        return call()
    if not callable(progress):
        raise TypeError("progress expects a callable, not %s" % type(progress).__name__)
    meter = itf.Progress
    link = meter.Update.connect(lambda: progress(meter))
    try:
        return call()
    finally:
        link.disconnect()


_ALL_TIMEOUTS = (10, 30, 60, 120, 480)
# The send-and-read message of the GPIB forwarding mode takes 60 s at most.
_MODE_TIMEOUTS = {korCommModeCRLFtoGPIB: (10, 30, 60)}
_LONGEST_MS = 2**31 - 1


def _is_plain(itf):
    return itf.PlainInstrument and itf.commMode in (korCommModeCRLFDirect, korCommModeEther)


def _seconds(value, name):
    """A number of seconds as a float; bools and text are refused."""
    if isinstance(value, (bool, str, bytes)):
        raise TypeError("%s expects a number of seconds, not %s" % (name, type(value).__name__))
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError("%s expects a number of seconds, not %s"
                        % (name, type(value).__name__)) from None


def _milliseconds(value, name):
    """seconds (at least 1 ms) as whole milliseconds."""
    seconds = _seconds(value, name)
    if not math.isfinite(seconds) or seconds < 0.001 or seconds * 1000 > _LONGEST_MS:
        raise ValueError("%s expects seconds from 0.001 to %d, not %r"
                         % (name, _LONGEST_MS // 1000, value))
    return max(1, round(seconds * 1000))


def _set_timing(itf, t, timeout, deadline):
    """timeout: any seconds on a plain instrument's link, else one of the mode's values."""
    if _is_plain(itf):
        t.RespTimeoutMs = _milliseconds(timeout, "timeout")
    else:
        allowed = _MODE_TIMEOUTS.get(itf.commMode, _ALL_TIMEOUTS)
        seconds = _seconds(timeout, "timeout")
        if seconds not in allowed:
            # The library's own number, so that callers catching it keep working.
            raise AutomationError(err.InvalidResponseTimeout, "KORTransaction",
                                  "Invalid response timeout: this mode takes %s seconds, not %r "
                                  "(any number of seconds is for a plain instrument: "
                                  "PlainInstrument = True)"
                                  % (", ".join(map(str, allowed)), timeout))
        t.RespTimeout = int(seconds)
    if deadline is not None:
        t.DeadlineMs = _milliseconds(deadline, "deadline")


def _transact(self, transaction, progress=None):
    """Transact(transaction, progress=None): one exchange; progress(KORProgress) follows it."""
    _with_progress(self, progress, lambda: _parley_transact(self, transaction))


def _query(self, cmd, timeout=korShort, progress=None, expect=True, deadline=None):
    """Sends cmd (str or bytes) and returns the response as str (one character per byte).

    timeout: seconds; on a plain instrument's link any number from 0.001, otherwise one of the
    mode's values (korShort ...). deadline: seconds the whole call may take, in every mode."""
    t = KORTransaction()
    t.cmd = cmd
    _set_timing(self, t, timeout, deadline)
    t.RespExpect = expect
    _with_progress(self, progress, lambda: _parley_transact(self, t))
    return t.resp


def _query_bytes(self, data, timeout=korShort, progress=None, expect=True, deadline=None):
    """Sends data (bytes or str) and returns the response as bytes.

    In Ethernet mode the command goes as a byte command and the byte response comes back;
    in the other modes the text response is returned as its bytes. timeout and deadline as
    for query()."""
    t = KORTransaction()
    if self.commMode == korCommModeEther:
        t.ByteCmd = data
        t.IsCmdTypeString = False
    else:
        t.cmd = data
    _set_timing(self, t, timeout, deadline)
    t.RespExpect = expect
    _with_progress(self, progress, lambda: _parley_transact(self, t))
    if self.commMode == korCommModeEther:
        return t.GetByteArrResp()
    return t.resp_bytes


def _enter(self):
    if not self.IsPortOpen:
        self.openPort()
    return self


def _exit(self, *exc):
    self.closePort()
    return False


_parley_transact = KORInterface.Transact
KORInterface.Transact = _transact
KORInterface.query = _query
KORInterface.query_bytes = _query_bytes
KORInterface.__enter__ = _enter
KORInterface.__exit__ = _exit


def open(mode=korCommModeCRLFDirect, port=None, device=None, **settings):  # noqa: A001
    """Makes a KORInterface, applies the settings and opens its port.

    open("ASRL/dev/ttyUSB0::INSTR", BitRate=19200): a str first names an address (see
    ParseAddress); the keywords then set the rest (line settings, terminators).
    Otherwise mode is the commMode; port the CommPort (serial modes) or, in Ethernet mode, the
    remote TCP port; device the interface's own device path (DevicePath; the port map is left
    alone). Any other keyword names a property (BitRate=19200, RemoteHostIpAddress="10.0.0.5").
    Use it in a with statement, which closes the port at the end."""
    itf = KORInterface()
    if isinstance(mode, (str, bytes)):
        if port is not None or device is not None:
            raise TypeError("an address names the port and the device itself")
        ApplyAddress(itf, mode)
    else:
        itf.commMode = mode
    if port is not None:
        if mode == korCommModeEther:
            itf.RemotePortNumber = str(operator.index(port)) if not isinstance(port, str) else port
        else:
            itf.CommPort = port
    if device is not None:
        itf.DevicePath = device
    for name, value in settings.items():
        if not hasattr(KORInterface, name) or name.startswith("_"):
            raise TypeError("open() got an unknown setting %r" % name)
        setattr(itf, name, value)
    itf.openPort()
    return itf


def list_resources():
    """The addresses this machine offers (serial devices, GPIB listeners), one per item."""
    return ListResources()
