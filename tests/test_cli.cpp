// tavro-i2c, the real program, against the adapter simulator on a pseudo-terminal: its
// output in i2c-tools' formats, its transactions on the bus, its failures and exit codes.
#include "smbus.h"
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace tavrosim;
using Clock = std::chrono::steady_clock;

// How a run ended: the exit status (-1 when killed), the output, the time it took.
struct Outcome {
    int status;
    std::string out, err;
    double seconds;
};

// i2cdetect's grid for a bus where the addresses in found answer, probed from first to last:
// the header, then per row of 16 "%02x: ", and per address "%02x " (found), "-- " (probed,
// no answer) or three blanks (not probed), and a newline.
std::string i2cdetectGrid(int first, int last, const std::set<int> &found) {
    std::string grid = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    char text[8];
    for (int a = 0; a < 128; ++a) {
        std::snprintf(text, sizeof text, a % 16 == 0 ? "%02x: " : "", a);
        grid += text;
        std::snprintf(text, sizeof text, "%02x ", a);
        grid += a < first || a > last ? "   " : found.count(a) ? text : "-- ";
        grid += a % 16 == 15 ? "\n" : "";
    }
    return grid;
}

// i2cdump's byte table (modes b, c, W, i) over registers first-last: the header, then per row
// of 16 "%02x: ", per register "%02x " (or "XX " unread, three blanks outside), three blanks,
// and the text column: "." for 00 and ff, "?" for other bytes outside 32-126, blank outside.
std::string i2cdumpBytes(int first, int last, const std::function<int(int)> &byte) {
    std::string table = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char cell[16];
    for (int row = first / 16 * 16; row <= last; row += 16) {
        std::snprintf(cell, sizeof cell, "%02x: ", row);
        std::string hex = cell, text;
        for (int r = row; r < row + 16; ++r) {
            const int b = r < first || r > last ? -2 : byte(r);
            std::snprintf(cell, sizeof cell, b == -2 ? "   " : b < 0 ? "XX " : "%02x ", b);
            hex += cell;
            text += b == -2               ? ' '
                    : b < 0               ? 'X'
                    : b == 0 || b == 0xff ? '.'
                    : b < 32 || b > 126   ? '?'
                                          : char(b);
        }
        table += hex + "   " + text + "\n";
    }
    return table;
}

// i2cdump's word table (mode w): 8 words to a row, "%04x " each.
std::string i2cdumpWords(int first, int last, const std::function<int(int)> &word) {
    std::string table = "     0,8  1,9  2,a  3,b  4,c  5,d  6,e  7,f\n";
    char cell[16];
    for (int row = first / 8 * 8; row <= last; row += 8) {
        std::snprintf(cell, sizeof cell, "%02x: ", row);
        table += cell;
        for (int r = row; r < row + 8; ++r) {
            std::snprintf(cell, sizeof cell, r < first || r > last ? "     " : "%04x ", word(r));
            table += cell;
        }
        table += "\n";
    }
    return table;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        sim.startThread();
    }
    void TearDown() override {
        unlink(out.c_str());
        unlink(err.c_str());
    }
    // Runs tavro-i2c with these arguments (PORT stands for the simulator's port), given the
    // signal of stop after its seconds.
    Outcome run(const std::string &args, const char *stop = "-s KILL 20",
                const std::string &answers = "") {
        std::string line = "printf '" + answers + "' | timeout --preserve-status " + stop +
                           " " TAVRO_I2C_BINARY " " + args;
        for (std::size_t at; (at = line.find("PORT")) != std::string::npos;)
            line.replace(at, 4, sim.slavePath());
        const auto start = Clock::now();
        const int status = std::system((line + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err),
                std::chrono::duration<double>(Clock::now() - start).count()};
    }
    static std::string readFile(const std::string &path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string out = testing::TempDir() + "tavro-i2c-out" + std::to_string(getpid());
    const std::string err = out + "-err";
    // All the adapter received, in one string.
    std::string sent() {
        std::string bytes;
        for (const Received &r : sim.received())
            bytes += r.bytes;
        return bytes;
    }
    // The link was left as it should be: the close command, then the reset.
    bool closedCleanly() {
        const std::string log = sent();
        return log.size() >= 6 && log.substr(log.size() - 6) == "/c\r\x12\x12\x12";
    }
    PtySimulator sim{Variant::Solx};
};

TEST_F(Cli, DetectPrintsI2cdetectsGridOfTheSimulatedBus) {
    const std::tuple<const char *, int, int> cases[] = {
        {"", 0x08, 0x77}, {"-a", 0x00, 0x7f}, {"-r 0x27 0x50", 0x27, 0x50}};
    for (const auto &[args, first, last] : cases) {
        const Outcome r = run(std::string("detect -y -p PORT ") + args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, i2cdetectGrid(first, last, {0x27, 0x50})) << args;
        EXPECT_TRUE(closedCleanly());
    }
}

TEST_F(Cli, WriteThenReadTheEepromInOneTransaction) {
    const std::pair<const char *, const char *> cases[] = {
        {"w4@0x50 0x10 0x12 52 0126", "0x12 0x34 0x56\n"}, // hexadecimal, decimal, octal
        {"w4@0x50 0x10 0xff-", "0xff 0xfe 0xfd\n"}};       // i2ctransfer's data suffixes
    for (const auto &[write, read] : cases) {
        EXPECT_EQ(run(std::string("transfer -y -p PORT ") + write).status, 0) << write;
        const Outcome r = run("transfer -y -p PORT w1@0x50 0x10 r3");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, read) << write;
    }
    // A repeated start between the messages, Stop after the last.
    EXPECT_NE(sent().find("/dA0\r/*t~10\r/dA0\r/r3\r/c\r"), std::string::npos);
}

TEST_F(Cli, NakAtAnAbsentAddressEndsTheTransactionWithStatus1) {
    const Outcome r = run("transfer -y -p PORT w1@0x50 0x00 r2@0x51 r1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tavro-i2c: msg 1 (r2@0x51): the slave did not acknowledge (/SNA)\n");
    EXPECT_TRUE(closedCleanly());
}

TEST_F(Cli, SilentAdapterFailsSoonAfterItsDeadline) {
    sim.setSilent(true);
    const Outcome r = run("detect -y -p PORT");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no reply from the adapter within 1 s"), std::string::npos) << r.err;
    EXPECT_TRUE(r.seconds >= 1.0 && r.seconds < 5.0) << r.seconds; // the deadline is 1 s
}

TEST_F(Cli, ArgumentErrorsExit2AndSendNothing) {
    std::istringstream cases( // one command line per ';'
        "probe -p PORT; detect -y; detect -p; detect -p PORT -x; detect -p PORT 0x07 0x10;"
        "detect -p PORT 0x30 0x2f; detect -p PORT 0x30; detect -F -p PORT 0x10 0x20;"
        "detect -q -r -p PORT; detect -p PORT -d solo; detect -p PORT -b 9600;"
        "detect -p PORT -d sol -b 115200; detect -p PORT -d sol -c 400; detect -p PORT -c 50;"
        "detect -y -p /dev/null;"
        "transfer -p PORT; transfer -p PORT x1@0x50; transfer -p PORT r1;"
        "transfer -p PORT r1@0x50x; transfer -p PORT r1@0xa0; transfer -p PORT r252@0x50;"
        "transfer -p PORT w2@0x50 1; transfer -p PORT w1@0x50 0x100; transfer -p PORT w1@0x50 1x;"
        "transfer -p PORT r?@0x50; transfer -r -p PORT r1@0x50;"
        "get -p PORT; get -p PORT 0x50 0x100; get -p PORT 0x50 0 x; get -p PORT 0x50 0 ip;"
        "get -p PORT 0x50 0 b 4; get -p PORT 0x50 0 i 33; get -p PORT 0x50 0 i 0;"
        "get -p PORT 0x50 0 b 1 2; set -p PORT 0x50; set -p PORT 0x50 0 0x100;"
        "set -p PORT 0x50 0 0x10000 w; set -p PORT 0x50 0 1 2 b; set -p PORT 0x50 0 1 ip;"
        "set -p PORT 0x50 0 1 x; set -m 0 -p PORT 0x50 0 1; set -m 0x100 -p PORT 0x50 0 1;"
        "set -m 1 -p PORT 0x50 0 1 2 i; set -r -p PORT 0x50 0 1 s;"
        "set -p PORT 0x50 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 "
        "27 28 29 30 31 32 33 i; dump -p PORT; dump -p PORT 0x50 x; dump -p PORT 0x50 Wp;"
        "dump -p PORT 0x50 b 16; dump -p PORT 0x50 i 1; dump -p PORT 0x50 b 1 0x100;"
        "dump -r 5 -p PORT 0x50; dump -r 0x20-0x10 -p PORT 0x50; dump -r 0-0xf -p PORT 0x50 s;"
        "dump -r 1-0xf -p PORT 0x50 W; dump -p PORT 0x80");
    for (std::string args; std::getline(cases, args, ';');) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("Try 'tavro-i2c --help'"), std::string::npos) << args << r.err;
    }
    EXPECT_TRUE(sent().empty());
}

// The EEPROM holds its register numbers (every class of the text column), the port 0xff.
TEST_F(Cli, CommandLinesPrintWhatI2cToolsPrints) {
    sim.with([](Adapter &a) {
        for (std::size_t r = 0; r < kEepromSize; ++r)
            a.eeprom()[r] = std::uint8_t(r);
    });
    auto reg = [](int r) { return r; };
    auto word = [](int r) { return r | (r + 1) % 256 << 8; };
    std::string grid_q = i2cdetectGrid(0x08, 0x77, {0x27, 0x50});
    const struct {
        const char *args;
        std::string out;
        int status;
    } cases[] = {
        {"get -y -p PORT 0x50 0x10", "0x10\n", 0},
        {"get -y -p PORT 0x50 0x10 w", "0x1110\n", 0},
        {"get -y -p PORT 0x50 0xff w", "0x00ff\n", 0}, // the pointer wraps to 0x00
        {"get -y -p PORT 0x50 0x20 c", "0x20\n", 0},
        {"get -y -p PORT 0x50", "0x21\n", 0}, // the pointer moved on
        {"get -y -p PORT 0x50 0x41 i 3", "0x41 0x42 0x43\n", 0},
        {"get -y -p PORT 0x27", "0xff\n", 0},
        {"get -y -p PORT 0x50 0x00 s", "", 1},
        {"get -y -p PORT 0x51 0x00", "", 2},
        {"dump -y -p PORT 0x50", i2cdumpBytes(0, 255, reg), 0},
        {"dump -y -f -p PORT 0x50 i", i2cdumpBytes(0, 255, reg), 0},
        {"dump -y -r 0x35-0x4a -p PORT 0x50 i", i2cdumpBytes(0x35, 0x4a, reg), 0},
        {"dump -y -r 0x05-0x17 -p PORT 0x50 w", i2cdumpWords(0x05, 0x17, word), 0},
        {"dump -y -r 0x04-0x13 -p PORT 0x50 W", i2cdumpBytes(0x04, 0x13, reg), 0},
        {"dump -y -r 0x7c-0x83 -p PORT 0x50 c", i2cdumpBytes(0x7c, 0x83, reg), 0},
        {"dump -y -r 0x20-0x2f -p PORT 0x51", i2cdumpBytes(0x20, 0x2f, [](int) { return -1; }), 0},
        {"dump -y -p PORT 0x51 i", "", 1},
        {"dump -y -p PORT 0x50 s", "", 1},
        {"detect -y -q -p PORT", grid_q, 0},
        {"transfer -v -y -p PORT w1@0x50 0x10 r2 w0",
         "msg 0: addr 0x50, write, len 1, buf 0x10\nmsg 1: addr 0x50, read, len 2, buf 0x10 "
         "0x11\nmsg 2: addr 0x50, write, len 0\n",
         0},
        {"set -y -p PORT 0x50 0x90 0x99", "", 0},
        {"set -y -r -p PORT 0x50 0x91 0x1234 w", "Value 0x1234 written, readback matched\n", 0},
        {"set -y -m 0x0f -r -p PORT 0x50 0x93 0xa5", "Value 0x95 written, readback matched\n", 0},
        {"set -y -r -p PORT 0x27 0x00 0x5a",
         "Warning - data mismatch - wrote 0x5a, read back 0x00\n",
         0}, // the port takes the register number as its value
        {"set -y -p PORT 0x50 0xa0 1 2 3 i", "", 0},
        {"set -y -p PORT 0x50 0xa8 1 2 3 s", "", 0},
        {"get -y -p PORT 0x50 0x90 i 3", "0x99 0x34 0x12\n", 0},
        {"get -y -p PORT 0x50 0xa0 i 12",
         "0x01 0x02 0x03 0xa3 0xa4 0xa5 0xa6 0xa7 0x03 0x01 0x02 0x03\n", 0},
        {"set -y -p PORT 0x51 0x00 1", "", 1},
    };
    for (const auto &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    }
    EXPECT_NE(run("detect -F -p PORT").out.find("SMBus Block Read                 no\n"),
              std::string::npos);
    const Outcome longest = run("transfer -y -p PORT w1@0x50 0x00 r251");
    EXPECT_EQ(longest.out.size(), 251u * 5) << longest.err; // "0x00 " per byte
}

// A busy bus costs one byte its value; a refused command leaves the link in doubt and ends
// the dump, closing the link, rather than waiting out every later byte.
TEST_F(Cli, DumpMarksAFailedByteAndStopsWhenTheLinkIsInDoubt) {
    sim.failNext(Fault::Busy);
    Outcome r = run("dump -y -r 0x00-0x03 -p PORT 0x50");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, i2cdumpBytes(0, 3, [](int reg) { return reg == 0 ? -1 : 0; }));
    sim.failNext(Fault::Invalid);
    r = run("dump -y -r 0x00-0x03 -p PORT 0x50");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, i2cdumpBytes(0, -1, nullptr));
    EXPECT_NE(r.err.find("reading register 0x00: "), std::string::npos) << r.err;
    EXPECT_TRUE(closedCleanly());
}

// Ctrl+C in the middle of a dump: the rows so far stay printed, the link is closed.
TEST_F(Cli, InterruptedDumpClosesTheLinkWithStatus130) {
    sim.setTiming(Timing::Real); // at 19200 bit/s a dump takes some 8 s
    const Outcome r = run("dump -y -b 19200 -p PORT 0x50", "-s INT 1.5");
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_EQ(r.out.rfind(i2cdumpBytes(0, 15, [](int) { return 0; }), 0), 0u) << r.out;
    EXPECT_NE(r.err.find("interrupted; the link is closed"), std::string::npos) << r.err;
    EXPECT_TRUE(closedCleanly());
}

// i2c-tools' questions: the answer that goes on by default, and nothing sent on a no.
TEST_F(Cli, QuestionsAskFirstAndANoSendsNothing) {
    const struct {
        const char *args, *answers, *asked;
        bool goes_on;
    } cases[] = {
        {"detect -p PORT", "\\n", "I will probe address range 0x08-0x77.\nContinue? [Y/n] ", true},
        {"get -p PORT 0x27 0x10", "\\n", ", using read byte data.\nContinue? [Y/n] ", true},
        {"get -p PORT 0x27 0x10 cp", "\\n", "checked.\nContinue? [y/N] ", false},
        {"get -p PORT 0x50 0x10 bp", "y\\n", "STOP!", false},
        {"set -p PORT 0x27 0x10 1", "\\n", "data 0x01, mode byte.\nContinue? [Y/n] ", true},
        {"set -p PORT 0x50 0x10 1", "\\n", "DANGEROUS!", false},
        {"set -p PORT 0x50 0x10 1 2 s", "n\\n", "data 0x01 0x02, mode smbus block.\n", false},
        {"dump -r 0-0xf -p PORT 0x50", "nein\\n", "Probe range limited to 0x00-0x0f.\n", false},
        {"transfer -p PORT w1@0x27 0x10", "y\\n", "msg 0: addr 0x27, write, len 1, buf 0x10\n",
         true},
    };
    for (const auto &c : cases) {
        sim.clearReceived();
        const Outcome r = run(c.args, "-s KILL 20", c.answers);
        EXPECT_EQ(r.status, 0) << c.args << r.err;
        EXPECT_NE(r.err.find(c.asked), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(sent().empty(), !c.goes_on) << c.args;
    }
    // -m shows the old value (the port holds the register number written before it is read)
    // and what it will write, and asks again.
    sim.clearReceived();
    const Outcome r = run("set -m 0x0f -p PORT 0x27 0x10 0xa5", "-s KILL 20", "y\\nn\\n");
    EXPECT_NE(r.err.find("Old value 0x10, write mask 0x0f, will write 0x15\nContinue? [Y/n] "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(sent().find("/t~10~15"), std::string::npos);
    EXPECT_TRUE(closedCleanly());
}

// The adapter's commands for each probe rule and for SMBus transactions with PEC.
TEST_F(Cli, ProbesAndPecTransactionsOnTheBus) {
    const std::pair<const char *, const char *> rules[] = {
        {"", "auto"}, {"-q", "quick"}, {"-r", "read"}};
    for (const auto &[option, rule] : rules) {
        sim.clearReceived();
        EXPECT_EQ(run(std::string("detect -y -p PORT ") + option).status, 0);
        std::string expected;
        char command[16];
        for (int a = 0x08; a <= 0x77; ++a) {
            const bool read = rule == std::string("read") ||
                              (rule == std::string("auto") &&
                               ((a >= 0x30 && a <= 0x37) || (a >= 0x50 && a <= 0x5f)));
            std::snprintf(command, sizeof command, "/d%02X\r%s", a * 2, read ? "/r1\r" : "/t\r");
            expected += command;
        }
        EXPECT_NE(sent().find(expected + "/c\r"), std::string::npos) << rule;
    }
    // Register 0x10 holds 0x42, followed by its PEC byte: right, then wrong.
    const std::uint8_t bus[] = {0xa0, 0x10, 0xa1, 0x42};
    const std::uint8_t pec = smbusCrc8(0, bus, sizeof bus);
    for (const std::uint8_t stored : {pec, std::uint8_t(pec ^ 0x01)}) {
        sim.with([&](Adapter &a) { a.eeprom()[0x10] = 0x42, a.eeprom()[0x11] = stored; });
        sim.clearReceived();
        const Outcome r = run("get -y -p PORT 0x50 0x10 bp");
        EXPECT_EQ(r.out, stored == pec ? "0x42\n" : "");
        EXPECT_EQ(r.status, stored == pec ? 0 : 2);
        EXPECT_NE(sent().find("/dA0\r/*t~10\r/dA0\r/r2\r"), std::string::npos);
    }
    EXPECT_NE(run("dump -y -r 0x10-0x10 -p PORT 0x50 bp").out.find("XX"), std::string::npos);
    // A write carries its PEC byte; a bank is switched in and back around a dump.
    const std::uint8_t write[] = {0xa0, 0x60, 0x01};
    char expected[32];
    std::snprintf(expected, sizeof expected, "/dA0\r/t~60~01~%02X\r", smbusCrc8(0, write, 3));
    EXPECT_EQ(run("set -y -p PORT 0x50 0x60 0x01 bp").status, 0);
    sim.with([](Adapter &a) { a.eeprom()[0x4e] = 0x90; });
    EXPECT_EQ(run("dump -y -r 0-1 -p PORT 0x50 b 3").status, 0);
    const std::string log = sent();
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_NE(log.find("/t~4E~93\r/dA0\r/*t~00\r"), std::string::npos);
    EXPECT_NE(log.find("/t~4E~90\r/c\r"), std::string::npos);
}

} // namespace
