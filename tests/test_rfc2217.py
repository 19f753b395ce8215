# The Python module on an rfc2217:// port: a real ser2net on the loopback, started here with
# its own configuration and stopped by its pid, serving tavro-sim's pseudo-terminal. Every
# call must return what it returns on the port itself, and put the same bytes on the line at
# the same rates; Ctrl+C must end a wait as it does there.
import errno
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest
import tavro
from test_python import CALLS, EEPROM, sim  # noqa: F401 (sim: the fixture)


def listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            for row in rows.readlines()[1:]:
                fields = row.split()
                if fields[3] == "0A" and fields[1].endswith(":%04X" % port):
                    return True
    return False


@pytest.fixture
def url(sim, tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    config = tmp_path / "ser2net.yaml"
    config.write_text("connection: &tavro\n"
                      f"    accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
                      f"    connector: serialdev,{sim.port},19200n81,local\n"
                      "    options:\n      chardelay: false\n")
    # ser2net is no part of a sanitizer build: the runtime preloaded for the module stays out.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    server = subprocess.Popen(["ser2net", "-n", "-u", "-c", str(config),
                               "-P", str(tmp_path / "pid")], env=environment)
    try:
        deadline = time.monotonic() + 30
        while not listening(port):
            assert time.monotonic() < deadline, "ser2net does not listen"
            time.sleep(0.01)
        yield f"rfc2217://127.0.0.1:{port}"
    finally:
        server.terminate()
        server.wait()


RX = re.compile(r'rx (\d+) "(.*?)"( ignored)?')


def wire(sim, mark):
    """What the adapter received after trace line mark, as runs of bytes at one rate: how
    the reads split them does not count."""
    end = sim.control("status")
    runs = []
    for line in sim.lines[mark:end]:
        found = RX.match(line)
        if not found:
            continue
        key = (int(found[1]), bool(found[3]))
        if runs and runs[-1][0] == key:
            runs[-1][1] += found[2]
        else:
            runs.append([key, found[2]])
    return runs


def session(sim, port):
    """Opens the bus on port, makes every call, closes it: the results and the wire."""
    mark = sim.control("status")
    results = []
    with tavro.SMBus(port) as bus:
        bus.write_i2c_block_data(EEPROM, 0x10, [1, 2, 3, 4, 5])
        for call, _, _ in CALLS:
            bus.write_i2c_block_data(EEPROM, 0x10, [1, 2, 3, 4])
            try:
                results.append(call(bus))
            except OSError as error:
                results.append(error.errno)
    return results, wire(sim, mark)


def test_every_call_gives_the_same_result_and_the_same_wire_as_the_port(sim, url):
    local = session(sim, sim.port)
    assert [r for _, _, r in CALLS] == local[0]
    assert session(sim, url) == local
    assert local[1][0] == [(115200, True), "\\x12\\x12\\x12"]


def test_interrupt_ends_the_wait_and_closes_the_link(sim, url):
    bus = tavro.SMBus(url)
    sim.control("delay 5000")
    mark = sim.control("status")
    threading.Timer(0.2, signal.pthread_kill, (threading.get_ident(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        bus.read_byte(EEPROM)  # a timeout would raise OSError
    assert sim.commands_since(mark)[-2:] == ["/c", "\\x12\\x12\\x12"]
    with pytest.raises(OSError) as raised:
        bus.read_byte(EEPROM)  # it opens the link again, and the adapter holds its replies
    assert raised.value.errno == errno.ETIMEDOUT
    assert raised.value.strerror == "opening the link again: no reply from the adapter within 1 s"
