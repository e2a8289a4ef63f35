"""The object model without a link: defaults, names, errors and bad input."""

import gc
import threading

import pytest

import parley


def test_version_names_and_constants():
    assert parley.version.count(".") == 2
    assert parley.korCommModeEther == parley.CommModes.korCommModeEther == 5
    assert parley.korGPIBAddr30 == 30 and parley.korCommPort16 == 16
    assert parley.korBitRate115200bps == 115200 and parley.korSuperLong == 480
    assert parley.err.InterfaceBusy == 0x80047F79  # unsigned, as the catalogue writes it
    assert parley.err.CommDcb == 1011 and parley.err.Overflow == 6
    assert parley.ErrorName(parley.err.UserCanceled) == "UserCanceled"
    assert parley.CatalogueMessage(parley.err.UserCanceled) == "User canceled operation."


def test_defaults():
    itf = parley.KORInterface()
    assert (itf.commMode, itf.BitRate, itf.Parity, itf.DataBits, itf.StopBits) == (
        parley.korCommModeCRLFDirect, 9600, parley.korParityOdd, 7, 1)
    assert (itf.GPIBAddress, itf.DTO, itf.RespTerm, itf.RemotePortNumber) == (1, 5, "\r\n>", "6000")
    assert not itf.Busy and not itf.IsPortOpen
    t = parley.KORTransaction()
    assert (t.cmd, t.RespTimeout, t.RespExpect, t.IsCmdTypeString) == ("", parley.korShort, True, True)
    p = itf.Progress
    assert isinstance(p, parley.KORProgress) and not p.HaltEnabled


def test_automation_error_carries_number_source_description():
    itf = parley.KORInterface()
    t = parley.KORTransaction()
    t.cmd = "VER?"
    with pytest.raises(parley.AutomationError) as info:
        itf.Transact(t)
    e = info.value
    assert isinstance(e, RuntimeError) and not isinstance(e, OSError)
    assert e.number == parley.err.PortNotOpen == 0x80047F78 and e.name == "PortNotOpen"
    assert e.description == "Port is not open." and e.link_error == ""
    assert e.source.startswith("RediDU")
    assert str(e) == "0x80047F78 PortNotOpen: Port is not open. (from %s)" % e.source
    assert "0x80047F78" in repr(e)
    with pytest.raises(parley.AutomationError) as info:
        itf.DebugBuffSizeSet(99)
    assert info.value.number == parley.err.DebugBufferTooSmall


def test_every_catalogue_number_is_named_with_its_text():
    assert len(parley.err.names) == len(parley.err.messages) >= 75
    for number, name in parley.err.names.items():
        assert getattr(parley.err, name) == number and 0 <= number < 2 ** 32
        assert parley.ErrorName(number) in (name, "")
        assert parley.err.messages[number] == parley.CatalogueMessage(number)
    assert parley.err.messages[parley.err.UserCanceled] == "User canceled operation."
    # The signed form older code holds still finds the same entry.
    assert parley.ErrorName(-2147188871) == "InterfaceBusy"
    # Raised from Python with a signed number, it reads as the catalogue's.
    e = parley.AutomationError(-2147188871, "me", "busy")
    assert e.number == parley.err.InterfaceBusy and e.name == "InterfaceBusy"


@pytest.mark.parametrize("name", ["commMode", "BitRate", "DTO", "GPIBDirectMaxRespLength"])
def test_integer_settings_refuse_wrong_types(name):
    itf = parley.KORInterface()
    before = getattr(itf, name)
    with pytest.raises(TypeError, match=name):
        setattr(itf, name, True)  # a bool is not a number of anything here
    with pytest.raises(TypeError, match=name):
        setattr(itf, name, None)
    with pytest.raises(TypeError, match=name):
        setattr(itf, name, 2.0)
    with pytest.raises(TypeError, match=name):
        setattr(itf, name, "2")
    with pytest.raises(ValueError, match=name):
        setattr(itf, name, 2 ** 40)
    assert getattr(itf, name) == before


@pytest.mark.parametrize("name, bad, allowed", [
    ("commMode", 6, "1 to 5"),
    ("CommPort", 17, "1 to 16"),
    ("BitRate", 1234, "1200, 2400, 4800, 9600, 19200, 38400, 115200"),
    ("Parity", 0, "1 to 3"),
    ("DataBits", 6, "7, 8"),
    ("StopBits", 3, "1, 2"),
    ("GPIBAddress", 31, "0 to 30"),
    ("GPIBAddress", 70000, "0 to 30"),
    ("ITC", 5, "1 to 4"),
    ("GPIBDirectMaxRespLength", 20001, "1 to 20000"),
    ("RemotePortNumber", "abc", "1 to 65535"),
    ("RemotePortNumber", "0", "1 to 65535"),
    ("RemotePortNumber", 65536, "1 to 65535"),
    ("TimeDelayForMAVbit", 3.5, "0 to 3"),
])
def test_a_value_no_mode_takes_is_refused_when_set(name, bad, allowed):
    itf = parley.KORInterface()
    before = getattr(itf, name) if name != "TimeDelayForMAVbit" else None
    with pytest.raises(ValueError, match=name) as info:
        setattr(itf, name, bad)
    assert allowed in str(info.value)
    if before is not None:
        assert getattr(itf, name) == before


def test_link_settings_stay_while_the_port_is_open(serial_itf):
    itf = serial_itf(parley.korCommModeCRLFDirect)
    for name, value in [("BitRate", 19200), ("commMode", 5), ("CmdTerm", "\n"), ("DTO", 9),
                        ("PlainInstrument", True)]:
        before = getattr(itf, name)
        with pytest.raises(parley.AutomationError, match="close the port first") as info:
            setattr(itf, name, value)
        assert info.value.number == parley.err.InvalidCall and getattr(itf, name) == before
        setattr(itf, name, before)  # the same value is no change
    itf.VerifyEcho = False  # the library takes this one while open
    itf.closePort()
    itf.BitRate = 19200
    assert itf.BitRate == 19200


def test_sixteen_bit_settings_check_their_range():
    itf = parley.KORInterface()
    with pytest.raises(ValueError):
        itf.DTO = 40000
    itf.DTO = 7
    assert itf.DTO == 7


def test_text_and_bool_settings_refuse_wrong_types():
    itf = parley.KORInterface()
    with pytest.raises(ValueError, match="latin-1"):
        itf.CmdTerm = "\u20ac"
    with pytest.raises(TypeError):
        itf.CmdTerm = None
    with pytest.raises(TypeError):
        itf.UseSRQ = None
    with pytest.raises(ValueError):
        itf.UseSRQ = 2
    itf.CmdTerm = b"\r"
    assert itf.CmdTerm == "\r"
    t = parley.KORTransaction()
    with pytest.raises(ValueError):
        t.cmd = "snowman \u2603"
    with pytest.raises(TypeError):
        t.RespTimeout = 1.5
    with pytest.raises(TypeError):
        itf.Progress = None
    with pytest.raises(TypeError):
        itf.TimeDelayForMAVbit = "1"
    with pytest.raises(AttributeError):
        itf.TimeDelayForMAVbit


def test_text_is_bytes_both_ways():
    everything = bytes(range(256))
    t = parley.KORTransaction()
    t.cmd = everything
    assert t.cmd == everything.decode("latin-1")
    t.cmd = everything.decode("latin-1")
    assert t.cmd.encode("latin-1") == everything
    t.ByteCmd = bytearray(everything)
    assert t.GetByteArr() == everything and t.ByteArrLen == 255
    with pytest.raises(parley.AutomationError) as info:
        t.ByteCmd = b""
    assert info.value.number == parley.err.SubscriptOutOfRange


def test_events_connect_and_disconnect():
    itf = parley.KORInterface()
    with pytest.raises(TypeError, match="callable"):
        itf.debugMonUpdate.connect(42)
    calls = []
    link = itf.debugMonUpdate.connect(lambda: calls.append(1))
    itf.DebugMonitorOn()
    itf.DebugMonitorShow()
    itf.DebugBuffClear()
    assert calls == [1] and link.connected
    link.disconnect()
    itf.DebugBuffClear()
    assert calls == [1] and not link.connected


def test_a_raising_handler_outside_an_operation_reaches_the_caller():
    itf = parley.KORInterface()
    itf.DebugMonitorOn()
    itf.DebugMonitorShow()

    class Mine(Exception):
        pass

    def boom():
        raise Mine("from the handler")

    itf.debugMonUpdate.connect(boom)
    with pytest.raises(Mine, match="from the handler"):
        itf.DebugBuffClear()


def test_an_interface_belongs_to_its_thread():
    itf = parley.KORInterface()
    errors = []

    def other():
        try:
            itf.commMode = 3
        except parley.AutomationError as e:
            errors.append(e.number)

    thread = threading.Thread(target=other)
    thread.start()
    thread.join(10)
    assert errors == [parley.err.InvalidCall]
    assert itf.commMode == parley.korCommModeCRLFDirect


def test_an_interface_whose_thread_ended_is_refused_and_freed_safely():
    made = []
    thread = threading.Thread(target=lambda: made.append(parley.KORInterface()))
    thread.start()
    thread.join(10)
    with pytest.raises(parley.AutomationError, match="thread"):
        made[0].openPort()
    made.clear()
    gc.collect()  # freed on another thread than its own: must not crash


def test_open_refuses_unknown_settings():
    with pytest.raises(TypeError, match="Nonsense"):
        parley.open(mode=parley.korCommModeEther, Nonsense=1)


class Index:
    """An integer-like object that is not an int (as numpy's integers are)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_like_objects_are_ints():
    itf = parley.KORInterface()
    itf.BitRate = Index(19200)
    itf.UseSRQ = Index(1)
    itf.RemotePortNumber = Index(6001)
    assert (itf.BitRate, itf.UseSRQ, itf.RemotePortNumber) == (19200, True, "6001")
    t = parley.KORTransaction()
    t.RespTimeout = Index(parley.korLong)
    assert t.RespTimeout == parley.korLong


@pytest.mark.parametrize("refuse", [
    lambda itf: parley.MapSerialPort(3, "/dev/ttyS0\0x"),
    lambda itf: parley.open(port=3, device=b"/dev/tty\0S0"),
    lambda itf: setattr(itf, "RemoteHostIpAddress", "10.0.0.5\0evil"),
    lambda itf: parley.UseGpibLibrary("libgpib.so\0"),
    lambda itf: setattr(itf, "RemotePortNumber", "6000.9"),
    lambda itf: parley.SimulatedGpibBus().AddInstrument(3).ResponseDelay(float("nan")),
    lambda itf: parley.SimulatedGpibBus().AddInstrument(3).ResponseDelay(float("inf")),
    lambda itf: parley.SimulatedGpibBus().AddInstrument(3).ResponseDelay(1e300),
    lambda itf: parley.SimulatedGpibBus().AddInstrument(3).ResponseDelay(-1),
], ids=["map-nul", "device-nul", "host-nul", "gpib-library-nul", "fractional-port",
        "delay-nan", "delay-inf", "delay-huge", "delay-negative"])
def test_values_that_would_be_cut_or_rounded_are_refused(refuse):
    itf = parley.KORInterface()
    with pytest.raises(ValueError):
        refuse(itf)
    # Nothing was changed on the way.
    assert itf.RemoteHostIpAddress == parley.KORInterface().RemoteHostIpAddress
    assert itf.RemotePortNumber == "6000"
    assert "\0" not in parley.SerialDevicePath(3)


def test_a_float_port_and_an_unknown_driver_call_are_refused():
    with pytest.raises(TypeError):
        parley.open(mode=parley.korCommModeEther, port=6000.0)
    with pytest.raises(ValueError, match="ibwrt"):
        parley.SimulatedGpibBus().InjectError("nosuchcall", 1)
