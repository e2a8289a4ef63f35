"""Mode 1: GPIB commands forwarded by the remote unit to an instrument behind it."""
import os
import subprocess

import parley

sim = subprocess.Popen([os.environ.get("PARLEY_SIM", "parley-sim")], stdout=subprocess.PIPE)
device = sim.stdout.readline().decode().strip()
try:
    with parley.open(mode=parley.korCommModeCRLFtoGPIB, port=1, device=device,
                     GPIBAddress=5) as unit:
        print("*IDN? ->", unit.query("*IDN?"))
        unit.closePort()
        unit.commMode = parley.korCommModeGPIBInOut            # mode 4: write, poll, read
        unit.openPort()
        print("*IDN? ->", unit.query("*IDN?"))
        print("status byte:", unit.Spoll())
finally:
    sim.terminate()
    sim.wait()
