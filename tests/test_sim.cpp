// The adapter simulator where the program's suites cannot reach it: its line-speed model, and
// the tavro-sim program with its options and its commands on standard input. Its protocol and bus
// are exercised by the program's own link and send suites.
#include "tavrosim/adapter.h"
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>

using namespace tavrosim;

namespace {

// The replies the adapter sends after receiving bytes at rate, and the rate of each.
std::string talk(Adapter &a, const std::string &bytes, int rate) {
    a.receive(bytes, rate);
    std::string out;
    for (const Transmission &t : a.takeOutput())
        out += t.bytes + "@" + std::to_string(t.rate) + " ";
    return out;
}

// A host on the slave side of the pty, as the program opens it, reading what arrives.
struct Host {
    int fd;
    Host(const std::string &path, int rate) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        setRate(rate);
    }
    void setRate(int rate) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, speedFromRate(rate));
        tcsetattr(fd, TCSANOW, &t);
    }
    ~Host() { close(fd); }
    void send(const std::string &bytes) {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // What arrives until a line end, or within wait_ms.
    std::string line(int wait_ms = 2000) {
        std::string got;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (got.find('\n') == std::string::npos && poll(&p, 1, wait_ms) == 1 &&
               !(p.revents & POLLHUP) && read(fd, &c, 1) == 1)
            got += c;
        return got;
    }
};

} // namespace

TEST(LineSpeed, TheAdapterHearsOnlyItsOwnRate) {
    Adapter a(Variant::Solx);
    // "/b" answers at the old rate and only then listens at the new one.
    EXPECT_EQ(talk(a, "/b2\r/o\r", 19200), "/BC2\r\n@19200 ");
    EXPECT_EQ(talk(a, "/o\r", 19200), "");
    EXPECT_EQ(talk(a, "/o\r", 115200), "/OCC\r\n@115200 ");
    // A burst at another rate is garbage, and spoils the command it falls into.
    EXPECT_EQ(talk(a, "/c", 115200) + talk(a, "x", 57600) + talk(a, "\r", 115200), "");
    EXPECT_TRUE(a.busOpen());
    // A reset at the adapter's rate brings a Solx or Dyn back to 19200; a Sol keeps its rate.
    EXPECT_EQ(talk(a, "\x12\x12\x12", 57600) + talk(a, "\x12\x12\x12", 115200), "");
    EXPECT_EQ(a.rate(), 19200);
    EXPECT_FALSE(a.busOpen());
    Adapter sol(Variant::Sol, 57600);
    EXPECT_EQ(talk(sol, "\x12\x12\x12/K2\r", 57600), "/I8F\r\n@57600 ");
}

TEST(LineSpeed, RepliesReachOnlyAHostAtTheAdaptersRate) {
    PtySimulator sim(Variant::Dyn, 57600);
    sim.start();
    sim.startThread();
    Host host(sim.slavePath(), 57600);
    host.send("/o\r");
    EXPECT_EQ(host.line(), "/OCC\r\n");
    sim.setReplyDelay(1000);
    host.send("/b0\r"); // answered at 57600, but the host has moved to 19200 meanwhile
    ASSERT_TRUE(sim.waitUntil([&] { return sim.adapterRate() == 19200; }, 2000));
    host.setRate(19200);
    EXPECT_EQ(host.line(1500), "");
    sim.setReplyDelay(0);
    host.send("/c\r");
    EXPECT_EQ(host.line(), "/CCC\r\n");
}

TEST(SimProgram, ServesALinkTakesCommandsAndCleansUpOrRefusesWhatItCannotDo) {
    char dir[] = "/tmp/tavro-sim-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/port", sim = TAVRO_SIM_BINARY;
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0); // a stale link is replaced
    FILE *in =
        popen((sim + " --variant dyn --nak 1 --quiet --link " + link + " >/dev/null").c_str(), "w");
    char target[256] = "";
    for (int i = 0; i < 500 && std::string(target).rfind("/dev/pts/", 0) != 0; ++i, usleep(10000))
        target[std::max<ssize_t>(readlink(link.c_str(), target, sizeof target - 1), 0)] = '\0';
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
    {
        Host host(link, 19200);
        host.send("/o\r/t\r/n1\r");
        EXPECT_EQ(host.line(), "/OCC\r\n");
        EXPECT_EQ(host.line(), "/SNA\r\n");                 // --nak
        for (const char *command : {"bogus\n", "int on\n"}) // a bad command changes nothing
            std::fputs(command, in);
        std::fflush(in);
        EXPECT_EQ(host.line(), "/NSA\r\n");
    }
    std::fputs("quit\n", in);
    EXPECT_EQ(pclose(in), 0);
    EXPECT_EQ(access(link.c_str(), F_OK), -1) << "link left behind";

    FILE *keep = std::fopen(link.c_str(), "w"); // not a link: never replaced
    std::fclose(keep);
    EXPECT_EQ(WEXITSTATUS(std::system((sim + " --link " + link + " 2>/dev/null").c_str())), 1);
    EXPECT_EQ(WEXITSTATUS(std::system((sim + " --version | grep -qx 'tavro-sim [0-9.]*'").c_str())),
              0);
    // Its help fits a terminal of 80 columns.
    EXPECT_EQ(
        std::system((sim + " --help | awk 'length > 80 { exit 1 } END { exit NR < 4 }'").c_str()),
        0);
    for (const char *bad : {"--variant sol --rate 57600", "--bogus", "--timing fast", "--chip 0x48",
                            "--chip 0x80=/dev/null", "--chip 0x48=/nonexistent"})
        EXPECT_EQ(WEXITSTATUS(std::system((sim + " " + bad + " 2>/dev/null").c_str())), 2) << bad;
    unlink(link.c_str());
    rmdir(dir);
}

TEST(UsbLatency, RepliesAreHeldThenPassedOnInPacketsOfAtMost62Bytes) {
    using Clock = std::chrono::steady_clock;
    PtySimulator sim;
    sim.setTiming(Timing::Real); // 0.52 ms a byte at 19200: a packet fills in 32 ms
    sim.setUsbLatency(250);      // long beside any stall of a loaded machine
    sim.start();
    sim.startThread();
    Host host(sim.slavePath(), kResetRate);
    // What arrives for a command: when (ms after sending) and how many bytes, read by read.
    auto arrivals = [&](const char *command, ssize_t bytes) {
        std::vector<std::pair<double, ssize_t>> reads;
        const Clock::time_point sent = Clock::now();
        host.send(command);
        pollfd p{host.fd, POLLIN, 0};
        char data[256];
        for (ssize_t n = 0;
             bytes > 0 && poll(&p, 1, 2000) == 1 && (n = read(host.fd, data, sizeof data)) > 0;
             bytes -= n)
            reads.emplace_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count(), n);
        EXPECT_EQ(bytes, 0) << command;
        return reads.empty() ? decltype(reads){{0.0, 0}} : reads;
    };
    // A short reply waits out the latency. A read of 32 bytes (102 characters) goes on in a
    // full packet of 62 as soon as it is full (32 ms), the other 40 once the latency after
    // their first byte has passed.
    EXPECT_GE(arrivals("/o\r", 6).front().first, 250.0);
    const auto reads = arrivals("/dA0\r/r32\r", 102);
    ssize_t early = 0;
    for (const auto &[ms, n] : reads) {
        EXPECT_LE(n, ssize_t(kUsbPacketBytes));
        early += ms < 200 ? n : 0;
    }
    EXPECT_EQ(early, ssize_t(kUsbPacketBytes));
    EXPECT_GE(reads.back().first, 250.0);
}
