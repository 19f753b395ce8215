// Register maps: the reader's refusals with their lines, and tavro-i2c get, set and dump
// --map against simulated chips built from maps, checked by their output and by the bytes the
// adapter received.
#include "register_map.h"
#include "tavrosim/control.h"
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace tavrosim;

// A chip with a two-byte pointer and little-endian registers of two and three bytes.
constexpr const char *WIDE_MAP = R"(device: WIDE
address: 0x51
register_address_bytes: 2
byte_order: little
registers:
  - name: ID
    address: 0x0100
    size: 2
    access: ro
    reset: 0xbeef
  - name: CTRL
    address: 0x0ff0
    size: 3
    reset: 0x123456
    fields:
      - {name: MODE, bits: "3:0", values: {idle: 0, run: 5}}
      - {name: GAIN, bits: "23:16", signed: true}
  - name: KEY
    address: 0x2000
    access: wo
    fields:
      - {name: LOW, bits: "3:0"}
)";

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string parseError(const std::string &text) {
    std::string error;
    const std::optional<RegisterMap> map = parseRegisterMap(text, "m.yaml", error);
    return map ? "accepted" : error;
}

} // namespace

TEST(MapReader, RefusesEachFaultWithItsLine) {
    const std::string head = "device: X\nregisters:\n";
    const std::string reg = head + "  - name: R\n    address: 1\n";
    const std::pair<std::string, const char *> cases[] = {
        {"device: X\nregister: []\n", "m.yaml:2: unknown key 'register' in the map (known: "
                                      "device, address, register_address_bytes, byte_order, "
                                      "registers)"},
        {reg + "    fields:\n      - {name: F, bits: \"0\", sign: true}\n",
         "m.yaml:6: unknown key 'sign' in a field (known: name, bits, signed, scale, unit, "
         "values, description)"},
        {reg + "    fields:\n      - name: F\n        bits: \"8:7\"\n",
         "m.yaml:7: field F (bits 8:7) lies outside R's 8 bits"},
        {reg + "    size: 2\n    fields:\n      - {name: A, bits: \"7:4\"}\n"
               "      - {name: B, bits: \"4:0\"}\n",
         "m.yaml:8: field B overlaps A in R"},
        {reg + "  - name: R\n    address: 2\n", "m.yaml:5: register name R given twice"},
        {reg + "  - name: S\n    address: 0x01\n",
         "m.yaml:5: registers R and S have the same address"},
        {reg + "    fields:\n      - {name: A, bits: \"0\"}\n      - {name: A, bits: \"1\"}\n",
         "m.yaml:7: field name A given twice in R"},
        {reg + "    fields:\n      - name: A\n        bits: \"1:0\"\n"
               "        values: {low: 0, high: 4}\n",
         "m.yaml:8: value high = 4 does not fit field A (0 to 3)"},
        {reg + "    fields:\n      - {name: T, bits: \"3:0\", signed: true, values: {c: -9}}\n",
         "m.yaml:6: value c = -9 does not fit field T (-8 to 7)"},
        {reg + "    reset: 0x100\n", "m.yaml:5: reset of R '0x100' is not a number from 0 to 0xff"},
        {reg + "    address: 2\n", "m.yaml:5: key 'address' given twice in a register"},
        {head + "  - name: R\n    address: 0x100\n",
         "m.yaml:4: a register's address '0x100' is not a number from 0 to 0xff"},
        {reg + "    size: 9\n", "m.yaml:5: size is 1 to 8 bytes"},
        {reg + "    access: rx\n", "m.yaml:5: access is ro, rw or wo, not 'rx'"},
        {reg + "    fields:\n      - {name: A, bits: \"0:3\"}\n",
         "m.yaml:6: bits '0:3' is not HIGH:LOW or BIT, from 63 down to 0"},
        {head + "  - name: 1R\n    address: 1\n",
         "m.yaml:3: a register's name '1R' is not a name: letters, digits and _, not a digit "
         "first, at most 64"},
        {head + "  - name: R\n", "m.yaml:3: register R has no address"},
        {"device: X\nregisters: [\n", "m.yaml:3: not YAML: end of sequence flow not found"},
        {"registers: []\n", "m.yaml:1: the map has no device"},
    };
    for (const auto &[text, error] : cases)
        EXPECT_EQ(parseError(text), error) << text;
    EXPECT_EQ(parseError(WIDE_MAP), "accepted");
    EXPECT_EQ(parseError(readFile(SENDRAL_SOURCE_DIR "/data/maps/mcp23017.yaml")), "accepted");
    EXPECT_EQ(parseError(readFile(SENDRAL_SOURCE_DIR "/data/maps/24c32.yaml")), "accepted");
}

class MapCli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(wide) << WIDE_MAP;
        std::ofstream(bad) << "device: BAD\nregisters:\n  - name: R\n    adress: 1\n";
        sim.start();
        sim.startThread();
        ASSERT_TRUE(runControl(sim, "chip 0x48=" + lm75).ok);
        ASSERT_TRUE(runControl(sim, "chip 0x51=" + wide).ok);
        ASSERT_TRUE(runControl(sim, "chip 0x50=" SENDRAL_SOURCE_DIR "/data/maps/24c32.yaml").ok);
    }
    void TearDown() override {
        for (const std::string &file : {out, err, wide, bad})
            unlink(file.c_str());
    }
    struct Outcome {
        int status;
        std::string out, err, wire; // wire: what the adapter received, the opening left out
    };
    // tavro-i2c with -y on the simulator's port; LM75, WIDE and BAD stand for the maps.
    Outcome run(std::string args) {
        const std::pair<const char *, std::string> names[] = {
            {"LM75", lm75}, {"WIDE", wide}, {"BAD", bad}};
        for (const auto &[name, path] : names)
            for (std::size_t at; (at = args.find(name)) != std::string::npos;)
                args.replace(at, std::strlen(name), path);
        sim.clearReceived();
        const std::string line = "timeout -s KILL 20 " TAVRO_I2C_BINARY " " + args + " -y -p " +
                                 sim.slavePath() + " >" + out + " 2>" + err + " </dev/null";
        const int status = std::system(line.c_str());
        std::string wire;
        for (const Received &r : sim.received())
            wire += r.bytes;
        // The link's opening ends with the bus opened; what follows is the work and the close.
        const std::size_t work = wire.find("/o\r");
        wire = work == std::string::npos ? wire : wire.substr(work + 3);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err), wire};
    }
    PtySimulator sim{Variant::Solx};
    const std::string lm75 = SENDRAL_SOURCE_DIR "/data/maps/lm75.yaml";
    const std::string out = testing::TempDir() + "regmap-out" + std::to_string(getpid());
    const std::string err = out + "-err", wide = out + "-wide.yaml", bad = out + "-bad.yaml";
};

TEST_F(MapCli, GetSetAndDumpByName) {
    struct Case {
        const char *args, *out, *wire;
    };
    // In order: each row sees the chips as the rows before it left them.
    const Case cases[] = {
        {"get --map LM75 THYST", "0x4b00\n", "/d90\r/*t~02\r/d90\r/r2\r/c\r"},
        {"get --map LM75 THYST.VALUE", "150 (75 °C)\n", ""},
        {"get --map LM75 0x48 CONF.FAULT_QUEUE", "one\n", ""},
        {"set --map LM75 CONF.FAULT_QUEUE four", "",
         "/d90\r/*t~01\r/d90\r/r1\r/d90\r/t~01~10\r/c\r"},
        {"get --map LM75 CONF.FAULT_QUEUE", "four\n", ""},
        {"set -r --map LM75 TOS.VALUE -20", "Value -20 (-10 °C) written, readback matched\n",
         "/d90\r/*t~03\r/d90\r/r2\r/d90\r/t~03~F6~00\r/d90\r/*t~03\r/d90\r/r2\r/c\r"},
        {"set --map LM75 THYST 0x3c80", "", "/d90\r/t~02~3C~80\r/c\r"},
        {"get --map LM75 THYST.VALUE", "121 (60.5 °C)\n", ""},
        // Two-byte pointer high byte first; registers low byte first.
        {"get --map WIDE ID", "0xbeef\n", "/dA2\r/*t~01~00\r/dA2\r/r2\r/c\r"},
        {"get --map WIDE 0x51 CTRL.GAIN", "18\n", ""},
        {"set --map WIDE CTRL.MODE run", "",
         "/dA2\r/*t~0F~F0\r/dA2\r/r3\r/dA2\r/t~0F~F0~55~34~12\r/c\r"},
        {"set --map WIDE CTRL.GAIN -2", "",
         "/dA2\r/*t~0F~F0\r/dA2\r/r3\r/dA2\r/t~0F~F0~55~34~FE\r/c\r"},
        {"get --map WIDE CTRL", "0xfe3455\n", ""},
        {"get --map WIDE CTRL.MODE", "run\n", ""},
        {"set --map WIDE KEY 7", "", "/dA2\r/t~20~00~07\r/c\r"},
        {"dump --map WIDE",
         "WIDE at 0x51\nID    0x0100 = 0xbeef\nCTRL  0x0ff0 = 0xfe3455\n"
         "  MODE = run\n  GAIN = -2\n",
         ""},
        {"dump --map LM75",
         "LM75 at 0x48\n"
         "TEMP   0x00 = 0x0000\n"
         "  VALUE = 0 (0 °C)\n"
         "CONF   0x01 = 0x10\n"
         "  SHUTDOWN    = 0\n"
         "  OS_MODE     = comparator\n"
         "  OS_POLARITY = active_low\n"
         "  FAULT_QUEUE = four\n"
         "THYST  0x02 = 0x3c80\n"
         "  VALUE = 121 (60.5 °C)\n"
         "TOS    0x03 = 0xf600\n"
         "  VALUE = -20 (-10 °C)\n",
         "/d90\r/*t~00\r/d90\r/r2\r/d90\r/*t~01\r/d90\r/r1\r/d90\r/*t~02\r/d90\r/r2\r"
         "/d90\r/*t~03\r/d90\r/r2\r/c\r"},
    };
    for (const Case &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
        if (*c.wire) {
            EXPECT_EQ(r.wire, std::string(c.wire) + "\x12\x12\x12") << c.args;
        }
    }
}

TEST_F(MapCli, TheSimulatedChipsStepAsAnEepromAndKeepReadOnlyRegisters) {
    // The pointer runs through CONF, THYST and TOS; TEMP ignores a write.
    EXPECT_EQ(run("transfer w1@0x48 0x01 r5").out, "0x00 0x4b 0x00 0x50 0x00\n");
    ASSERT_EQ(run("transfer w3@0x48 0x00 0x12 0x34").status, 0);
    EXPECT_EQ(run("get --map LM75 TEMP").out, "0x0000\n");
    // The EEPROM's last mapped byte and plain memory after it, read from the same pointer.
    ASSERT_EQ(run("transfer w4@0x50 0x0f 0xff 0xaa 0xbb").status, 0);
    EXPECT_EQ(run("transfer w2@0x50 0x0f 0xff r2").out, "0xaa 0xbb\n");
    EXPECT_EQ(run("get --map " SENDRAL_SOURCE_DIR "/data/maps/24c32.yaml LAST").out, "0xaa\n");
}

TEST_F(MapCli, RefusalsExit2WithNothingSent) {
    const std::pair<const char *, std::string> cases[] = {
        {"set --map LM75 TEMP 0", "tavro-i2c: TEMP is read-only: nothing is written\n"},
        {"set --map LM75 TEMP.VALUE 0", "tavro-i2c: TEMP is read-only: nothing is written\n"},
        {"set --map LM75 CONF.FAULT_QUEUE 4",
         "tavro-i2c: VALUE '4' does not fit CONF.FAULT_QUEUE (0 to 3)\n"},
        {"set --map LM75 THYST.VALUE 256",
         "tavro-i2c: VALUE '256' does not fit THYST.VALUE (-256 to 255)\n"},
        {"set --map LM75 THYST 0x10000", "tavro-i2c: VALUE '0x10000' does not fit THYST (0 to "
                                         "65535)\n"},
        {"set --map LM75 CONF.OS_MODE fast",
         "tavro-i2c: VALUE 'fast' is neither a number nor a value of CONF.OS_MODE (0 to 1, or "
         "one of: comparator interrupt)\n"},
        {"get --map WIDE KEY", "tavro-i2c: KEY is write-only: it cannot be read\n"},
        {"set --map WIDE KEY.LOW 1", "tavro-i2c: KEY is write-only: its other bits cannot be "
                                     "read to keep them; set the whole register\n"},
        {"get --map BAD 0x20 R", "tavro-i2c: " + bad +
                                     ":4: unknown key 'adress' in a register "
                                     "(known: name, address, size, access, "
                                     "reset, description, fields)\n"},
        {"get --map LM75 TEMPERATURE", "tavro-i2c: no register TEMPERATURE in " + lm75 +
                                           "\nTry 'tavro-i2c --help' for more information.\n"},
        {"set -m 1 --map LM75 CONF 1",
         "tavro-i2c: -m is not for --map: name a field to keep the other bits\n"
         "Try 'tavro-i2c --help' for more information.\n"},
        {"detect --map LM75", "tavro-i2c: --map is for get, set and dump\n"
                              "Try 'tavro-i2c --help' for more information.\n"},
    };
    for (const auto &[args, error] : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, error) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.wire, "") << args;
    }
}
