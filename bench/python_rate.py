# read_byte_data calls a second through the Python module, against tavro-sim with real
# timing, and the line's own limit for the same bytes: the commands and replies at 10 bit
# times a byte, plus the I2C clocks of the two messages.
#
#   PYTHONPATH=build/python python3 bench/python_rate.py build/sim/tavro-sim [SECONDS] [RATE]
import subprocess
import sys
import time

import tavro

sim_path = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
rate = int(sys.argv[3]) if len(sys.argv) > 3 else 115200
KHZ = 100
EEPROM = 0x50

# One call on the line, as tests/test_python.py checks it: the select and the command code
# written without a Stop, the select and the read, and the two replies.
COMMANDS = ["/dA0\r", "/*t~12\r", "/dA0\r", "/r1\r"]
REPLIES = ["/MTC\r\n", "/MRC 5A\r\n"]
line_bytes = sum(map(len, COMMANDS + REPLIES))
# Each message: the address and one byte, 9 clocks each, and 2 for its start and stop.
i2c_seconds = 2 * (2 * 9 + 2) / (KHZ * 1000)

sim = subprocess.Popen([sim_path, "--timing", "real", "--quiet"], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE, text=True)
try:
    port = sim.stdout.readline().strip()
    with tavro.SMBus(port, rate=rate, clock=KHZ) as bus:
        bus.write_byte_data(EEPROM, 0x12, 0x5A)
        assert bus.read_byte_data(EEPROM, 0x12) == 0x5A
        calls = 0
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            bus.read_byte_data(EEPROM, 0x12)
            calls += 1
        elapsed = time.monotonic() - start
finally:
    sim.kill()
    sim.wait()

limit = 1 / (line_bytes * 10 / rate + i2c_seconds)
achieved = calls / elapsed
print(f"rate {rate} bit/s, clock {KHZ} kHz: {line_bytes} bytes on the line a call, "
      f"{i2c_seconds * 1e3:.2f} ms on the bus")
print(f"read_byte_data: {achieved:.1f} calls/s; line limit {limit:.1f}/s; "
      f"ratio {achieved / limit:.2f}")
