// tavro-i2c, the real program, against the adapter simulator on a pseudo-terminal: its
// output in i2c-tools' formats, its transactions on the bus, its failures and exit codes.
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
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
    Outcome run(const std::string &args, const char *stop = "-s KILL 20") {
        std::string line =
            std::string("timeout --preserve-status ") + stop + " " TAVRO_I2C_BINARY " " + args;
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
        "probe -p PORT; detect -y; detect -p; detect -p PORT -x; detect -p PORT 0x07;"
        "detect -p PORT 0x30 0x2f; detect -p PORT -d solo; detect -p PORT -b 9600;"
        "detect -p PORT -d sol -b 115200; detect -p PORT -c 50; detect -y -p /dev/null;"
        "transfer -p PORT; transfer -p PORT x1@0x50; transfer -p PORT r1;"
        "transfer -p PORT r1@0x50x; transfer -p PORT r1@0xa0; transfer -p PORT r33@0x50;"
        "transfer -p PORT w2@0x50 1; transfer -p PORT w1@0x50 0x100; transfer -p PORT w1@0x50 1x;"
        "transfer -p PORT r?@0x50; transfer -r -p PORT r1@0x50");
    for (std::string args; std::getline(cases, args, ';');) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("Try 'tavro-i2c --help'"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(sent().empty());
}

} // namespace
