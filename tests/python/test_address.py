"""Addresses from Python: open(address), the parsed form, the interface's own device."""
import pytest

import parley


def test_open_by_address_reaches_the_unit_and_leaves_the_port_map_alone(start_sim):
    sim = start_sim()
    before = parley.SerialDevicePath(3)
    with parley.open("UNIT::ASRL%s::INSTR" % sim.device, CommPort=3) as itf:
        assert itf.query("PING") == "PONG"
        assert itf.DevicePath == sim.device
        assert itf.PlainInstrument is False
    assert parley.SerialDevicePath(3) == before


def test_the_keyword_form_sets_the_device_on_the_interface_only(serial_itf):
    itf = serial_itf()
    assert itf.query("PING") == "PONG"
    assert itf.DevicePath.startswith("/dev/")
    assert parley.SerialDevicePath(7) == "/dev/ttyS6"


def test_parsed_addresses_and_their_refusals():
    a = parley.ParseAddress("tcpip0::meter.lab::5025::socket")
    assert (a.mode, a.plain_instrument, a.host, a.tcp_port) == (
        parley.korCommModeEther, True, "meter.lab", 5025)
    assert str(a) == "TCPIP0::meter.lab::5025::SOCKET"
    assert parley.ParseAddress(str(a)) == a
    with pytest.raises(parley.AutomationError) as e:
        parley.ParseAddress("GPIB::31::INSTR")
    assert e.value.number == parley.err.InvalidCall
    assert "position 7" in e.value.description
    with pytest.raises(ValueError):
        parley.ParseAddress("ASRL/dev/tty\0S0::INSTR")
    with pytest.raises(TypeError):
        parley.open("ASRL1::INSTR", device="/dev/ttyS0")


def test_device_path_and_plain_instrument_properties():
    itf = parley.KORInterface()
    itf.DevicePath = b"/dev/ttyUSB1"
    itf.PlainInstrument = True
    assert (itf.DevicePath, itf.PlainInstrument) == ("/dev/ttyUSB1", True)
    with pytest.raises(ValueError):
        itf.DevicePath = "/dev/ttyUSB1\0x"
    assert itf.DevicePath == "/dev/ttyUSB1"


def test_list_resources_gives_addresses_that_parse(bus):
    bus.AddInstrument(4)
    listed = parley.list_resources()
    assert "GPIB0::4::INSTR" in listed
    for address in listed:
        parley.ParseAddress(address)
