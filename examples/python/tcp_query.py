"""Mode 5 over TCP: parley-sim serves the remote unit on a free port of 127.0.0.1."""
import os
import subprocess

import parley

sim = subprocess.Popen([os.environ.get("PARLEY_SIM", "parley-sim"), "--tcp-port", "0",
                        "--answer", "MEAS?=1.5"], stdout=subprocess.PIPE)
sim.stdout.readline()                                    # the pty, unused here
port = int(sim.stdout.readline())                        # the TCP port
try:
    with parley.open(mode=parley.korCommModeEther, port=port,
                     RemoteHostIpAddress="127.0.0.1") as unit:
        print("MEAS? ->", unit.query("MEAS?"))
        print("bytes ->", unit.query_bytes(b"PING\x00\xff"))
        unit.closePort()
        unit.RemotePortNumber = "64001"                  # a plain instrument's, not the unit's
        unit.openPort()
        try:
            unit.query("PING")
        except parley.AutomationError as e:
            assert e.number == parley.err.TcpPortOutOfRange
            print("error %#x: %s" % (e.number, e))           # str(e): number, text, source
finally:
    sim.terminate()
    sim.wait()
