"""Mode 3, direct GPIB, on the simulated bus instead of a board (no hardware needed)."""
import parley

bus = parley.SimulatedGpibBus()
meter = bus.AddInstrument(4)
meter.Reply("*IDN?", "Parley,SimulatedMeter,4,1.0\n")
meter.OnCommand(lambda cmd: "+1.2345E+00\n" if cmd == "MEAS?" else None)
parley.UseSimulatedGpibBus(bus)          # parley.UseSystemGpibLibrary() for a real board

with parley.open(mode=parley.korCommModeGPIBDirect, GPIBAddress=4) as meter_link:
    print("MEAS? ->", meter_link.query("MEAS?").strip())
    print("status byte:", meter_link.Spoll())
    try:
        meter_link.GPIBAddress = 31                          # no such primary address
    except ValueError as e:
        print("refused:", e)
    try:
        meter_link.GPIBAddress = 5                           # the port is open
    except parley.AutomationError as e:
        assert e.number == parley.err.InvalidCall
        print("error:", e)
print("driver calls:", bus.CallNames())
