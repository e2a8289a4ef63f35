"""Mode 2 over a serial port: parley-sim's pseudo-terminal stands in for the remote unit."""
import os
import subprocess

import parley

sim = subprocess.Popen([os.environ.get("PARLEY_SIM", "parley-sim"), "--delay", "1500",
                        "--answer", "MEAS?=1.23"], stdout=subprocess.PIPE)
device = sim.stdout.readline().decode().strip()          # the pty parley-sim made
try:
    with parley.open(mode=parley.korCommModeCRLFDirect, port=1, device=device) as unit:
        print("MEAS? ->", unit.query("MEAS?", progress=lambda p: print("  ", p.status)))
        try:  # halt the slow answer as soon as the wait may be halted
            unit.query("VER?", progress=lambda p: p.HaltEnabled and p.Halt())
        except parley.AutomationError as e:
            if e.number != parley.err.UserCanceled:
                raise
            print("halted:", e.description)
finally:
    sim.terminate()
    sim.wait()
