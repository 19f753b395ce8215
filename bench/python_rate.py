# read_byte_data calls a second through the Python module, against tavro-sim with real
# timing, and the line's own limit for the same bytes: the commands and replies at 10 bit
# times a byte, plus the I2C clocks of the two messages.
#
#   PYTHONPATH=build/python python3 bench/python_rate.py build/sim/tavro-sim [SECONDS] [RATE]
import subprocess
import sys
import tempfile
import time

import tavro

sim_path = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
rate = int(sys.argv[3]) if len(sys.argv) > 3 else 115200
KHZ = 100
EEPROM = 0x50

# The trace goes to a file: a thread of this interpreter draining a pipe would compete for
# the GIL with the calls measured.
trace = tempfile.TemporaryFile(mode="w+")
sim = subprocess.Popen([sim_path, "--timing", "real"], stdin=subprocess.PIPE, stdout=trace,
                       text=True, bufsize=1)


def trace_lines():
    trace.seek(0)
    return trace.readlines()


def status():
    """Returns once the simulator has answered a status command."""
    answers = sum(l.startswith("sim:") for l in trace_lines())
    sim.stdin.write("status\n")
    sim.stdin.flush()
    while sum(l.startswith("sim:") for l in trace_lines()) == answers:
        time.sleep(0.01)


try:
    while not (first := trace_lines()):
        time.sleep(0.01)
    port = first[0].strip()
    with tavro.SMBus(port, rate=rate, clock=KHZ) as bus:
        bus.write_byte_data(EEPROM, 0x12, 0x5A)
        status()
        assert bus.read_byte_data(EEPROM, 0x12) == 0x5A
        status()
        # The call's traffic: the trace lines between the last two status answers.
        lines = trace_lines()
        answers = [i for i, l in enumerate(lines) if l.startswith("sim:")]
        line_bytes = sum(len(l.split('"')[1].encode().decode("unicode_escape"))
                         for l in lines[answers[-2]:answers[-1]] if l.startswith(("rx ", "tx ")))
        calls = 0
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            bus.read_byte_data(EEPROM, 0x12)
            calls += 1
        elapsed = time.monotonic() - start
finally:
    sim.kill()
    sim.wait()

# Each message: the address and one byte, 9 clocks each, and 2 for its start and stop.
i2c_seconds = 2 * (2 * 9 + 2) / (KHZ * 1000)
limit = 1 / (line_bytes * 10 / rate + i2c_seconds)
achieved = calls / elapsed
print(f"rate {rate} bit/s, clock {KHZ} kHz: {line_bytes} bytes on the line a call, "
      f"{i2c_seconds * 1e3:.2f} ms on the bus")
print(f"read_byte_data: {achieved:.1f} calls/s; line limit {limit:.1f}/s; "
      f"ratio {achieved / limit:.2f}")
