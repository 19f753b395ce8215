// tavro-i2c, the real program, against the adapter simulator on a pseudo-terminal: its
// output in i2c-tools' formats, its transactions on the bus, its failures and exit codes.
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
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

// What i2c-tools print, as literal texts: i2cdetect's grid of the simulated bus (0x27 and
// 0x50 answer) over 0x08-0x77, and over 0x03-0x7a, which only -a allows.
const char *const GRID = R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f
00:                         -- -- -- -- -- -- -- -- 
10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
20: -- -- -- -- -- -- -- 27 -- -- -- -- -- -- -- -- 
30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
70: -- -- -- -- -- -- -- --                         
)";
const char *const GRID_03_7A = R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f
00:          -- -- -- -- -- -- -- -- -- -- -- -- -- 
10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
20: -- -- -- -- -- -- -- 27 -- -- -- -- -- -- -- -- 
30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 
70: -- -- -- -- -- -- -- -- -- -- --                
)";

// i2cdump's tables of an EEPROM that holds its register numbers: every register, and parts
// in each mode; the text column shows "." for 00 and ff, "?" outside 32-126.
const char *const DUMP_ALL =
    R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
00: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f    .???????????????
10: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f    ????????????????
20: 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f     !"#$%&'()*+,-./
30: 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f    0123456789:;<=>?
40: 40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f    @ABCDEFGHIJKLMNO
50: 50 51 52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f    PQRSTUVWXYZ[\]^_
60: 60 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f    `abcdefghijklmno
70: 70 71 72 73 74 75 76 77 78 79 7a 7b 7c 7d 7e 7f    pqrstuvwxyz{|}~?
80: 80 81 82 83 84 85 86 87 88 89 8a 8b 8c 8d 8e 8f    ????????????????
90: 90 91 92 93 94 95 96 97 98 99 9a 9b 9c 9d 9e 9f    ????????????????
a0: a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af    ????????????????
b0: b0 b1 b2 b3 b4 b5 b6 b7 b8 b9 ba bb bc bd be bf    ????????????????
c0: c0 c1 c2 c3 c4 c5 c6 c7 c8 c9 ca cb cc cd ce cf    ????????????????
d0: d0 d1 d2 d3 d4 d5 d6 d7 d8 d9 da db dc dd de df    ????????????????
e0: e0 e1 e2 e3 e4 e5 e6 e7 e8 e9 ea eb ec ed ee ef    ????????????????
f0: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff    ???????????????.
)";
const char *const DUMP_35_4A =
    R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
30:                35 36 37 38 39 3a 3b 3c 3d 3e 3f         56789:;<=>?
40: 40 41 42 43 44 45 46 47 48 49 4a                   @ABCDEFGHIJ     
)";
const char *const DUMP_WORDS_05_17 = R"(     0,8  1,9  2,a  3,b  4,c  5,d  6,e  7,f
00:                          0605 0706 0807 
08: 0908 0a09 0b0a 0c0b 0d0c 0e0d 0f0e 100f 
10: 1110 1211 1312 1413 1514 1615 1716 1817 
)";
const char *const DUMP_04_13 =
    R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
00:             04 05 06 07 08 09 0a 0b 0c 0d 0e 0f        ????????????
10: 10 11 12 13                                        ????            
)";
const char *const DUMP_7C_83 =
    R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
70:                                     7c 7d 7e 7f                |}~?
80: 80 81 82 83                                        ????            
)";
const char *const DUMP_UNREAD_20_2F =
    R"(     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
20: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX
)";
const char *const DUMP_HEADER =
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";

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
    const std::pair<const char *, const char *> cases[] = {{"", GRID},
                                                           {"-a 0x03 0x7a", GRID_03_7A}};
    for (const auto &[args, grid] : cases) {
        const Outcome r = run(std::string("detect -y -p PORT ") + args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, grid) << args;
        EXPECT_TRUE(closedCleanly());
    }
}

// A NAK ends the transaction there; as i2ctransfer, nothing read before it is printed.
TEST_F(Cli, NakAtAnAbsentAddressEndsTheTransactionWithStatus1) {
    const std::pair<const char *, const char *> cases[] = {
        {"w1@0x50 0x00 r2@0x51 r1",
         "tavro-i2c: msg 1 (r2@0x51): the slave did not acknowledge (/SNA)\n"},
        {"w1@0x50 0x00 r2 w1@0x51 0x00",
         "tavro-i2c: msg 2 (w1@0x51): the slave did not acknowledge (/SNA)\n"},
    };
    for (const auto &[messages, told] : cases) {
        const Outcome r = run(std::string("transfer -y -p PORT ") + messages);
        EXPECT_EQ(r.status, 1) << messages;
        EXPECT_EQ(r.out, "") << messages;
        EXPECT_EQ(r.err, told);
        EXPECT_TRUE(closedCleanly()) << messages;
    }
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
        {"dump -y -p PORT 0x50", DUMP_ALL, 0},
        {"dump -y -f -p PORT 0x50 i", DUMP_ALL, 0},
        {"dump -y -r 0x35-0x4a -p PORT 0x50 i", DUMP_35_4A, 0},
        {"dump -y -r 0x05-0x17 -p PORT 0x50 w", DUMP_WORDS_05_17, 0},
        {"dump -y -r 0x04-0x13 -p PORT 0x50 W", DUMP_04_13, 0},
        {"dump -y -r 0x7c-0x83 -p PORT 0x50 c", DUMP_7C_83, 0},
        {"dump -y -r 0x20-0x2f -p PORT 0x51", DUMP_UNREAD_20_2F, 0},
        {"dump -y -p PORT 0x51 i", "", 1},
        {"dump -y -p PORT 0x50 s", "", 1},
        {"detect -y -q -p PORT", GRID, 0},
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
        {"transfer -y -p PORT w4@0x50 0xc0 0x12 52 0126", "", 0}, // hex, decimal, octal
        {"transfer -y -p PORT w1@0x50 0xc0 r3", "0x12 0x34 0x56\n", 0},
        {"transfer -y -p PORT w4@0x50 0xc0 0xff-", "", 0}, // i2ctransfer's data suffixes
        {"transfer -y -p PORT w1@0x50 0xc0 r3", "0xff 0xfe 0xfd\n", 0},
    };
    for (const auto &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    }
    // A repeated start between the messages, Stop after the last.
    EXPECT_NE(sent().find("/dA0\r/*t~C0\r/dA0\r/r3\r/c\r"), std::string::npos);
    EXPECT_NE(run("detect -F -p PORT").out.find("SMBus Block Read                 no\n"),
              std::string::npos);
    const Outcome longest = run("transfer -y -p PORT w1@0x50 0x00 r251");
    EXPECT_EQ(longest.out.size(), 251u * 5) << longest.err; // "0x00 " per byte
}

// A refused command leaves the link in doubt and ends the dump, closing the link, rather
// than waiting out every later byte.
TEST_F(Cli, DumpStopsWhenTheLinkIsInDoubt) {
    sim.failNext(Fault::Invalid);
    const Outcome r = run("dump -y -r 0x00-0x03 -p PORT 0x50");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, DUMP_HEADER);
    EXPECT_NE(r.err.find("reading register 0x00: "), std::string::npos) << r.err;
    EXPECT_TRUE(closedCleanly());
}

// A reader that stops reading (dump | head) ends the dump quietly, with the link closed.
TEST_F(Cli, ClosedPipeEndsTheDumpQuietly) {
    sim.setTiming(Timing::Real); // at 19200 bit/s the rows come long after head has gone
    const std::string line = "bash -c '" TAVRO_I2C_BINARY " dump -y -b 19200 -p " +
                             sim.slavePath() + " 0x50 2>" + err + " | head -2 >" + out +
                             "; exit ${PIPESTATUS[0]}'";
    const int status = std::system(line.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 128 + SIGPIPE);
    EXPECT_EQ(readFile(out), std::string(DUMP_HEADER) + "00: 00 00 00 00 00 00 00 00 00 00 00 "
                                                        "00 00 00 00 00    ................\n");
    EXPECT_EQ(readFile(err), "No mode given: reading byte data (mode b)\n");
    EXPECT_TRUE(closedCleanly());
}

// i2c-tools' questions: the answer that goes on by default, and nothing sent on a no; every
// line of them and of the help text fits a terminal of 80 columns.
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
        {"set -p PORT 0x50 0x10 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 "
         "25 26 27 28 29 30 31 32 s",
         "n\\n", "mode smbus block.\n", false},
        {"--help", "", "", false},
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
        std::istringstream text(r.out + r.err);
        for (std::string line; std::getline(text, line);)
            EXPECT_LE(line.size(), 80u) << c.args << "\n" << line;
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
    // Per address, rows of 16 from 0x00: r a one-byte read, q a quick write, . no probe.
    const std::pair<const char *, const char *> rules[] = {
        {"", "........qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqrrrrrrrrqqqqqqqq"
             "qqqqqqqqqqqqqqqqrrrrrrrrrrrrrrrrqqqqqqqqqqqqqqqqqqqqqqqq........"},
        {"-q", "........qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq"
               "qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq........"},
        {"-r", "........rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr"
               "rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr........"}};
    for (const auto &[option, expected] : rules) {
        sim.clearReceived();
        EXPECT_EQ(run(std::string("detect -y -p PORT ") + option).status, 0);
        std::string probes(128, '.');
        const std::string log = sent();
        const std::regex probe("/d([0-9A-F]{2})\r(/r1|/t)\r");
        for (auto it = std::sregex_iterator(log.begin(), log.end(), probe);
             it != std::sregex_iterator(); ++it)
            probes[std::stoul((*it)[1], nullptr, 16) / 2] = (*it)[2] == "/t" ? 'q' : 'r';
        EXPECT_EQ(probes, expected) << option;
        EXPECT_TRUE(closedCleanly()) << option;
    }
    // Register 0x10 holds 0x42, followed by its PEC byte (the CRC-8 of a0 10 a1 42): right,
    // then wrong.
    const std::uint8_t pec = 0x99;
    for (const std::uint8_t stored : {pec, std::uint8_t(pec ^ 0x01)}) {
        sim.with([&](Adapter &a) { a.eeprom()[0x10] = 0x42, a.eeprom()[0x11] = stored; });
        sim.clearReceived();
        const Outcome r = run("get -y -p PORT 0x50 0x10 bp");
        EXPECT_EQ(r.out, stored == pec ? "0x42\n" : "");
        EXPECT_EQ(r.status, stored == pec ? 0 : 2);
        EXPECT_NE(sent().find("/dA0\r/*t~10\r/dA0\r/r2\r"), std::string::npos);
    }
    EXPECT_NE(run("dump -y -r 0x10-0x10 -p PORT 0x50 bp").out.find("XX"), std::string::npos);
    // A write carries its PEC byte (the CRC-8 of a0 60 01); a bank is switched in and back
    // around a dump.
    EXPECT_EQ(run("set -y -p PORT 0x50 0x60 0x01 bp").status, 0);
    sim.with([](Adapter &a) { a.eeprom()[0x4e] = 0x90; });
    EXPECT_EQ(run("dump -y -r 0-1 -p PORT 0x50 b 3").status, 0);
    const std::string log = sent();
    EXPECT_NE(log.find("/dA0\r/t~60~01~BA\r"), std::string::npos) << log;
    EXPECT_NE(log.find("/t~4E~93\r/dA0\r/*t~00\r"), std::string::npos);
    EXPECT_NE(log.find("/t~4E~90\r/c\r"), std::string::npos);
    // A short write with a mask (a port expander's pins): as i2cset, the chip's byte is read
    // (0xff), the bits outside the mask kept, the result written and read back.
    sim.clearReceived();
    const Outcome masked = run("set -y -m 0x0f -r -p PORT 0x27 0xa5 c");
    EXPECT_EQ(masked.out, "Value 0xf5 written, readback matched\n") << masked.err;
    EXPECT_NE(sent().find("/o\r/d4E\r/r1\r/d4E\r/t~F5\r/d4E\r/r1\r/c\r"), std::string::npos);
}

} // namespace
