# The Python module against tavro-sim run as a process: what each method puts on the line,
# what it returns, how failures arrive, and smbus2's own messages taken as they are.
import ctypes
import errno
import importlib.machinery
import os
import pathlib
import site
import signal
import subprocess
import sys
import threading
import time

import pytest
import smbus2
import tavro

EEPROM = 0x50  # the simulator's EEPROM, "A0" on the adapter


class Simulator:
    """tavro-sim with its trace lines collected and its standard input to drive it."""

    def __init__(self):
        # --quit-on-eof: it ends with this process even where no fixture could stop it.
        self.process = subprocess.Popen([os.environ["TAVRO_SIM"], "--quit-on-eof"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.port = self.process.stdout.readline().strip()
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def control(self, command):
        """Sends a command; returns once tavro-sim has answered it, with the number of trace
        lines by then: every line of what came before is among them."""
        with self.changed:
            start = len(self.lines)
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        with self.changed:
            assert self.changed.wait_for(
                lambda: any(l.startswith("sim:") for l in self.lines[start:]), timeout=10)
            return len(self.lines)

    def commands_since(self, mark):
        """The commands tavro-sim received after trace line number mark."""
        end = self.control("status")
        return [l.split('"')[1].replace("\\r", "") for l in self.lines[mark:end]
                if l.startswith("rx ")]


@pytest.fixture
def sim():
    simulator = Simulator()
    yield simulator
    simulator.process.kill()
    simulator.process.wait()


@pytest.fixture
def bus(sim):
    with tavro.SMBus(sim.port) as b:
        yield b


def rdwr(bus):
    write, read = tavro.i2c_msg.write(EEPROM, [0x10]), tavro.i2c_msg.read(EEPROM, 3)
    bus.i2c_rdwr(write, read)
    return list(read)


# Each call after the EEPROM got 01 02 03 04 at 0x10: the commands it sends, and its result.
# A write without a Stop after it is "/*t"; "/dA0" selects the EEPROM for either direction.
SELECT = "/dA0"
CALLS = [
    (lambda b: b.write_quick(EEPROM), [SELECT, "/t"], None),
    (lambda b: b.read_byte(EEPROM), [SELECT, "/r1"], 0x05),
    (lambda b: b.write_byte(EEPROM, 0x11), [SELECT, "/t~11"], None),
    (lambda b: b.read_byte_data(EEPROM, 0x12), [SELECT, "/*t~12", SELECT, "/r1"], 0x03),
    (lambda b: b.write_byte_data(EEPROM, 0x20, 0xAB), [SELECT, "/t~20~AB"], None),
    (lambda b: b.read_word_data(EEPROM, 0x10), [SELECT, "/*t~10", SELECT, "/r2"], 0x0201),
    (lambda b: b.write_word_data(EEPROM, 0x20, 0x1234), [SELECT, "/t~20~34~12"], None),
    (lambda b: b.process_call(EEPROM, 0x0E, 0xFFEE),
     [SELECT, "/*t~0E~EE~FF", SELECT, "/r2"], 0x0201),
    (lambda b: b.read_i2c_block_data(EEPROM, 0x11, 3),
     [SELECT, "/*t~11", SELECT, "/r3"], [2, 3, 4]),
    (lambda b: b.write_i2c_block_data(EEPROM, 0x20, b"\x01\xff"), [SELECT, "/t~20~01~FF"], None),
    (lambda b: b.write_block_data(EEPROM, 0x20, [7, 8]), [SELECT, "/t~20~02~07~08"], None),
    (rdwr, [SELECT, "/*t~10", SELECT, "/r3"], [1, 2, 3]),
    (lambda b: b.read_block_data(EEPROM, 0x10), [], errno.EOPNOTSUPP),
    (lambda b: b.block_process_call(EEPROM, 0x10, [1]), [], errno.EOPNOTSUPP),
]


def test_each_method_on_the_line_and_its_result(sim, bus):
    bus.write_i2c_block_data(EEPROM, 0x10, [1, 2, 3, 4, 5])
    for call, commands, result in CALLS:
        bus.write_i2c_block_data(EEPROM, 0x10, [1, 2, 3, 4])  # and the pointer at 0x14
        mark = sim.control("status")
        if commands:
            assert call(bus) == result
        else:
            with pytest.raises(OSError) as raised:
                call(bus)
            assert raised.value.errno == result
        assert sim.commands_since(mark) == commands


def test_pec_is_sent_and_checked(sim, bus):
    bus.pec = 1
    mark = sim.control("status")
    bus.write_byte_data(EEPROM, 0x40, 0x55)
    assert sim.commands_since(mark) == [SELECT, "/t~40~55~BF"]  # CRC-8 of A0 40 55
    # The EEPROM keeps no PEC: what follows the byte read is the PEC only when stored there.
    with pytest.raises(OSError) as raised:
        bus.read_byte_data(EEPROM, 0x40)
    assert raised.value.errno == errno.EBADMSG
    bus.pec = 0
    bus.write_i2c_block_data(EEPROM, 0x40, [0x55, 0xD8])  # CRC-8 of A0 40 A1 55
    bus.pec = 1
    assert bus.read_byte_data(EEPROM, 0x40) == 0x55


@pytest.mark.parametrize("port, number", [("/nonexistent/tty", errno.ENOENT),
                                          ("/dev/null", errno.ENOTTY)])
def test_a_port_that_cannot_be_opened(port, number):
    with pytest.raises(OSError) as raised:
        tavro.SMBus(port)
    assert raised.value.errno == number


@pytest.mark.parametrize("name, refused", [
    (os.fsencode, None), (pathlib.Path, None), (lambda port: port + "\0x", "embedded null byte"),
    (lambda port: os.fsencode(port) + b"\0x", "embedded null byte")])
def test_a_port_named_as_open_names_a_file(sim, tmp_path, name, refused):
    # Through a link whose name is no UTF-8, so that only the name's own bytes reach it.
    link = os.path.join(os.fsencode(tmp_path), b"tty\xff")
    os.symlink(sim.port, link)
    path = name(os.fsdecode(link))
    if refused:
        with pytest.raises(ValueError, match=f"^{refused}$"):
            tavro.SMBus(path)
        return
    with tavro.SMBus(path) as b:
        assert b.read_byte_data(EEPROM, 0) == 0


@pytest.mark.parametrize("fault, number, reply", [
    ("nak", errno.ENXIO, "/SNA"), ("busy", errno.EAGAIN, "/I81"), ("arb", errno.EAGAIN, "/I83")])
def test_a_failure_the_adapter_reports_leaves_the_link_open(sim, bus, fault, number, reply):
    sim.control(fault)
    with pytest.raises(OSError) as raised:
        bus.i2c_rdwr(tavro.i2c_msg.write(EEPROM, [0]), tavro.i2c_msg.read(EEPROM, 1))
    assert raised.value.errno == number
    assert raised.value.strerror.startswith("message 1: ") and reply in raised.value.strerror
    assert bus.read_byte_data(EEPROM, 0) == 0


def test_a_silent_adapter_times_out_and_the_next_call_opens_the_link_again(sim):
    mark = sim.control("status")
    bus = tavro.SMBus(sim.port, rate=57600, clock=400)
    opening = sim.commands_since(mark)
    sim.control("silent")
    ticks = []  # another thread's progress while the call waits
    ticker = threading.Thread(target=lambda: [time.sleep(0.01) or ticks.append(1)
                                              for _ in range(20)])
    start = time.monotonic()
    ticker.start()
    with pytest.raises(OSError) as raised:
        bus.read_byte(EEPROM)
    assert raised.value.errno == errno.ETIMEDOUT
    assert raised.value.strerror == ("no reply from the adapter within 1 s; the link is closed, "
                                     "and the next call opens it again")
    assert 0.9 < time.monotonic() - start < 2.0
    assert len(ticks) == 20
    with pytest.raises(OSError) as raised:
        rdwr(bus)  # silent still: the opening fails, and the next call tries again
    assert raised.value.strerror == "opening the link again: no reply from the adapter within 1 s"
    sim.control("speak")
    mark = sim.control("status")
    assert bus.read_byte_data(EEPROM, 0) == 0
    assert sim.commands_since(mark) == opening + [SELECT, "/*t~00", SELECT, "/r1"]
    bus.close()


def test_a_refused_command_closes_the_link_and_the_next_call_opens_it(sim):
    mark = sim.control("status")
    bus = tavro.SMBus(sim.port, device="dyn", rate=19200, clock=23)
    opening = sim.commands_since(mark)
    sim.control("invalid")
    with pytest.raises(OSError) as raised:
        bus.write_byte_data(EEPROM, 0x20, 0x5A)
    assert raised.value.errno == errno.EIO
    assert raised.value.strerror == ("the adapter refused a command as invalid (/I8F); the link "
                                     "is closed, and the next call opens it again")
    mark = sim.control("status")
    bus.write_byte_data(EEPROM, 0x20, 0x5A)
    assert sim.commands_since(mark) == opening + [SELECT, "/t~20~5A"]
    bus.close()
    with pytest.raises(OSError) as raised:
        bus.read_byte(EEPROM)  # closed by the user: it stays closed
    assert raised.value.errno == errno.EBADF


def test_interrupt_ends_the_wait_at_once_and_the_next_call_opens_again(sim, bus):
    main = threading.get_ident()
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        signal.pthread_kill(main, signal.SIGINT)

    # Ctrl+C on a silent adapter: the close that follows must not wait out its deadline. The
    # best of three, as the machine may be loaded.
    took = []
    for _ in range(3):
        sim.control("silent")
        mark = sim.control("status")
        threading.Timer(0.1, interrupt).start()
        with pytest.raises(KeyboardInterrupt):
            bus.read_byte(EEPROM)  # a timeout would raise OSError
        took.append(time.monotonic() - sent[-1])
        assert sim.commands_since(mark) == [SELECT, "/r1", "/c", "\\x12\\x12\\x12"]
        sim.control("speak")
        assert bus.read_byte_data(EEPROM, 0) == 0
    assert min(took) < 0.2, took


# A child that waits on a silent adapter until its SIGTERM handler, which uses the bus, runs.
HANDLED = """
import signal, sys, threading, tavro
bus = tavro.SMBus(sys.argv[1])
print("open", flush=True)
sys.stdin.readline()
signal.signal(signal.SIGTERM, lambda number, frame: (%s))
threading.Timer(0.1, signal.pthread_kill, (threading.get_ident(), signal.SIGTERM)).start()
bus.read_byte(0x50)
"""


@pytest.mark.parametrize("handler, status, error", [
    ("bus.close(), sys.exit(3)", 3, ""),
    ("bus.close()", 1, "OSError: [Errno 9] the link was closed by a signal handler during the call"),
    ("bus.write_byte(0x50, 0)", 1, "RuntimeError: a signal handler cannot use a bus while the "
     "call that it interrupted holds the link; close() of that call's bus is taken, and done "
     "as the call ends"),
])
def test_a_signal_handler_that_uses_the_bus_during_a_wait(sim, handler, status, error):
    child = subprocess.Popen([sys.executable, "-c", HANDLED % handler, sim.port], text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == "open\n"
        sim.control("silent")
        mark = sim.control("status")
        child.stdin.write("go\n")
        child.stdin.flush()
        _, stderr = child.communicate(timeout=10)  # a deadlock would wait for ever
    finally:
        child.kill()
        child.wait()
    assert child.returncode == status
    assert (stderr.splitlines() or [""])[-1] == error
    assert sim.commands_since(mark) == [SELECT, "/r1", "/c", "\\x12\\x12\\x12"]


@pytest.mark.parametrize("make", [
    lambda m: m.read(EEPROM, 3), lambda m: m.write(EEPROM, [0x41, 0xC3, 0x00]),
    lambda m: m.write(EEPROM, b"ab"), lambda m: m.write(EEPROM, "xy")])
def test_i2c_msg_behaves_as_smbus2s(make):
    ours, theirs = make(tavro.i2c_msg), make(smbus2.i2c_msg)
    for view in (repr, len, list, bytes, str):
        assert view(ours) == view(theirs)


@pytest.mark.parametrize("method", ["write_i2c_block_data", "write_block_data"])
@pytest.mark.parametrize("data", [4, None, (b for b in [1])])
def test_a_block_that_is_no_sequence_is_refused_as_by_smbus2(sim, bus, method, data):
    with pytest.raises(TypeError) as theirs:
        getattr(smbus2.SMBus(), method)(EEPROM, 0x10, data)
    mark = sim.control("status")
    with pytest.raises(TypeError) as ours:
        getattr(bus, method)(EEPROM, 0x10, data)
    assert str(ours.value) == str(theirs.value)
    assert sim.commands_since(mark) == []


class StandIn:
    """Looks like an i2c_msg, and is none."""
    addr, flags, len, buf = EEPROM, 1, 4, None


def smbus2_read(length, buf):
    return smbus2.i2c_msg(addr=EEPROM, flags=1, len=length, buf=buf)


class Smbus2Subclass(smbus2.i2c_msg):
    pass


IMMUTABLE = b"\x00\x00\x00\x00"


# Messages refused before anything is sent; none may write where it should not.
@pytest.mark.parametrize("make, error", [
    (lambda: StandIn(), TypeError),
    (lambda: type("M", (StandIn,), {"buf": IMMUTABLE})(), TypeError),
    (lambda: type("M", (StandIn,), {"len": 100000, "buf": bytearray(4)})(), TypeError),
    (lambda: 4, TypeError),
    (lambda: Smbus2Subclass(addr=EEPROM, flags=1, len=1, buf=ctypes.create_string_buffer(1)),
     TypeError),
    (lambda: smbus2_read(4, None), ValueError),
    (lambda: smbus2_read(4, ctypes.cast(ctypes.c_char_p(IMMUTABLE), ctypes.POINTER(ctypes.c_char))),
     ValueError),
    (lambda: smbus2_read(64, ctypes.create_string_buffer(4)), ValueError),
    (lambda: smbus2.i2c_msg(addr=EEPROM, flags=0, len=9, buf=ctypes.create_string_buffer(8)),
     ValueError),
    (lambda: smbus2.i2c_msg(addr=EEPROM, flags=0x11, len=1, buf=ctypes.create_string_buffer(1)),
     OSError),
])
def test_i2c_rdwr_refuses_what_is_no_sound_message(sim, bus, make, error):
    mark = sim.control("status")
    with pytest.raises(error) as raised:
        bus.i2c_rdwr(tavro.i2c_msg.write(EEPROM, [0]), make())
    assert "message 2: " in str(raised.value)
    assert sim.commands_since(mark) == []
    assert IMMUTABLE == bytes(4)


def test_i2c_rdwr_keeps_to_smbus2_messages_len(sim, bus):
    bus.write_i2c_block_data(EEPROM, 0x10, [1, 2, 3, 4])
    # A read of 2 into a buffer of 4, after a write of 1 of a buffer of 3.
    buffer = ctypes.create_string_buffer(b"\xee" * 4, 4)
    write = smbus2.i2c_msg(addr=EEPROM, flags=0, len=1,
                           buf=ctypes.create_string_buffer(b"\x11\x7f\x7f", 3))
    mark = sim.control("status")
    bus.i2c_rdwr(write, smbus2_read(2, buffer))
    assert sim.commands_since(mark) == [SELECT, "/*t~11", SELECT, "/r2"]
    assert buffer.raw == b"\x02\x03\xee\xee"
    mark = sim.control("status")
    bus.i2c_rdwr(smbus2.i2c_msg.write(EEPROM, []))  # a probe, its buffer empty
    assert sim.commands_since(mark) == [SELECT, "/t"]


@pytest.mark.parametrize("prefix, folder", [
    ([], "usr/local/lib/python%d.%d/dist-packages"), (["--prefix", "/usr"], "usr/lib/python3/dist-packages")])
def test_the_module_installs_where_its_python_looks(tmp_path, prefix, folder):
    if "SENDRAL_BUILD" not in os.environ:
        pytest.skip("needs the build folder")
    environment = dict(os.environ, DESTDIR=str(tmp_path))
    environment.pop("LD_PRELOAD", None)  # cmake is no instrumented program
    subprocess.run([os.environ["CMAKE"], "--install", os.environ["SENDRAL_BUILD"]] + prefix,
                   env=environment, check=True, stdout=subprocess.DEVNULL)
    folder = folder.replace("%d.%d", "%d.%d" % sys.version_info[:2])
    installed = [str(p.relative_to(tmp_path)) for p in tmp_path.rglob("tavro.*")]
    assert installed == [folder + "/tavro" + importlib.machinery.EXTENSION_SUFFIXES[0]]
    assert "/" + folder in site.getsitepackages()
