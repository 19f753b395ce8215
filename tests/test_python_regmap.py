# tavro.RegisterMap: registers and fields by name over tavro.SMBus, against tavro-sim run
# with chips built from the shipped maps (--chip), checked by value and by the bytes on the
# line.
import os
import subprocess

import pytest
import tavro

MAPS = os.path.join(os.path.dirname(__file__), "..", "data", "maps")
LM75 = os.path.join(MAPS, "lm75.yaml")
EEPROM = os.path.join(MAPS, "24c32.yaml")


@pytest.fixture
def sim():
    """tavro-sim with an LM75 at 0x48 and a 24C32 at 0x50; yields its port and a function
    giving the commands it received since the last call."""
    process = subprocess.Popen([os.environ["TAVRO_SIM"], "--quit-on-eof", "--chip",
                                "0x48=" + LM75, "--chip=0x50=" + EEPROM],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               bufsize=1)
    port = process.stdout.readline().strip()
    lines = []

    def received():
        # "status" is answered after every line of what came before it.
        process.stdin.write("status\n")
        process.stdin.flush()
        got = []
        for line in process.stdout:
            if line.startswith("sim: variant"):
                break
            if line.startswith("rx "):
                got.append(line.split('"')[1].replace("\\r", ""))
        lines.extend(got)
        return got

    yield port, received
    process.kill()
    process.wait()


def test_fields_read_and_written_by_name(sim):
    port, received = sim
    chip = tavro.RegisterMap(LM75)
    assert (chip.device, chip.address) == ("LM75", 0x48)
    with tavro.SMBus(port) as bus:
        assert chip.read(bus, "CONF.FAULT_QUEUE") == "one"
        assert chip.read(bus, "THYST.VALUE") == 75.0
        assert chip.read(bus, "TOS") == 0x5000
        received()
        chip.write(bus, "CONF.OS_POLARITY", "active_high")
        chip.write(bus, "CONF.FAULT_QUEUE", 3)
        # Each field: its register read, then written whole with the other bits kept.
        assert received() == ["/d90", "/*t~01", "/d90", "/r1", "/d90", "/t~01~04",
                              "/d90", "/*t~01", "/d90", "/r1", "/d90", "/t~01~1C"]
        assert chip.read(bus, "CONF") == 0x1C
        assert chip.read(bus, "CONF.FAULT_QUEUE") == "six"
        chip.write(bus, "THYST.VALUE", -3)
        assert chip.read(bus, "THYST.VALUE") == -1.5


def test_refusals_raise_value_error_with_nothing_sent(sim, tmp_path):
    port, received = sim
    chip = tavro.RegisterMap(LM75)
    with tavro.SMBus(port) as bus:
        received()
        for name, value, words in [("TEMP.VALUE", 1, "TEMP is read-only"),
                                   ("CONF.FAULT_QUEUE", 4, "does not fit"),
                                   ("CONF.OS_MODE", "fast", "neither a number"),
                                   ("CONF.NOPE", 1, "has no field NOPE")]:
            with pytest.raises(ValueError, match=words):
                chip.write(bus, name, value)
        with pytest.raises(TypeError):
            chip.write(bus, "CONF", 1.5)
        assert received() == []
    bad = tmp_path / "bad.yaml"
    bad.write_text("device: X\nregisters:\n  - name: R\n    address: 1\n    size: 0\n")
    with pytest.raises(ValueError, match=r"bad.yaml:5: size is 1 to 8 bytes"):
        tavro.RegisterMap(bad)
    with pytest.raises(FileNotFoundError):
        tavro.RegisterMap(tmp_path / "none.yaml")
