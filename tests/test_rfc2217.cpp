// tavro-i2c over rfc2217:// ports: a real ser2net, started here on the loopback with its own
// configuration and stopped by its pid, serving the simulator's pseudo-terminal. What the
// program prints and what the adapter receives, at which rates, must be what the port itself
// gives; the network's faults must read like a serial line's. The telnet parser is checked
// on its own below.
#include "rfc2217.h"
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tavrosim;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

struct Ended {
    int status; // -1 when killed
    std::string out, err;
    double seconds;
};

// A listener that accepts (in the kernel's backlog) and never says a word.
struct SilentListener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int port = 0;
    SilentListener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd, 4);
        socklen_t size = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~SilentListener() { close(fd); }
};

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether something listens on the TCP port (IPv4 or IPv6), from the kernel's tables: a row
// with that local port, any remote address and the state 0A.
bool listening(int port) {
    char local[8];
    std::snprintf(local, sizeof local, ":%04X ", port);
    return std::regex_search(readFile("/proc/net/tcp") + readFile("/proc/net/tcp6"),
                             std::regex(local + "[0-9A-F]+:[0-9A-F]{4} 0A "s));
}

bool waitFor(const std::function<bool()> &condition, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Rfc2217 : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        sim.startThread();
        std::ofstream(list) << "QVT I2C Message List File V2\n$A0,W,Y,$0000,00,12,34,\n"
                               "$A0,R,Y,$0000,FF,FF,\n$A,W,Y,$0000,01,\nAutoRepeat = OFF\n"
                               "SendOnInt = OFF\nEnd of Sequence\n";
        startServer();
    }
    void TearDown() override {
        stopServer(SIGTERM);
        for (const std::string &path : {out, err, yaml, list})
            unlink(path.c_str());
    }
    void startServer() {
        std::ofstream(yaml) << "connection: &tavro4\n"
                               "    accepter: telnet(rfc2217),tcp,127.0.0.1,"
                            << port << "\n    connector: serialdev," << sim.slavePath()
                            << ",19200n81,local\n    options:\n      chardelay: false\n"
                               "connection: &tavro6\n"
                               "    accepter: telnet(rfc2217),tcp,::1,"
                            << port6 << "\n    connector: serialdev," << sim.slavePath()
                            << ",19200n81,local\n    options:\n      chardelay: false\n";
        const std::string pidfile =
            yaml + ".pid"; // the child of a threaded process allocates nothing
        server = fork();
        if (server == 0) {
            execlp("ser2net", "ser2net", "-n", "-u", "-c", yaml.c_str(), "-P", pidfile.c_str(),
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(waitFor([&] { return listening(port) && listening(port6); }, 30))
            << "ser2net does not listen";
    }
    void stopServer(int signal) {
        if (server <= 0)
            return;
        kill(server, signal);
        waitpid(server, nullptr, 0);
        server = -1;
        unlink((yaml + ".pid").c_str());
    }
    // Runs tavro-i2c; PORT stands for the pseudo-terminal, URL for ser2net's IPv4 port,
    // URL6 for its IPv6 one, LIST for the list file.
    Ended run(const std::string &args, const std::string &stop = "-s KILL 30") {
        std::string line = "timeout " + stop + " " TAVRO_I2C_BINARY " " + args;
        const std::pair<const char *, std::string> names[] = {
            {"URL6", "rfc2217://[::1]:" + std::to_string(port6)},
            {"URL", "rfc2217://127.0.0.1:" + std::to_string(port)},
            {"PORT", sim.slavePath()},
            {"LIST", list}};
        for (const auto &[name, value] : names)
            for (std::size_t at; (at = line.find(name)) != std::string::npos;)
                line.replace(at, std::strlen(name), value);
        // Until ser2net has closed the port after the last client: two of its connections on
        // one device, or the device opened beside it, would each set the line.
        waitFor([&] { return !sim.linkUp(); }, 10);
        const auto start = Clock::now();
        const int status = std::system((line + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err),
                std::chrono::duration<double>(Clock::now() - start).count()};
    }
    // What the adapter received since the last call, as runs of bytes at one rate, with
    // whether the adapter was listening at that rate: how reads split them does not count.
    std::vector<std::string> wire() {
        std::vector<std::string> runs;
        int rate = -1;
        bool understood = false;
        for (const Received &r : sim.takeReceived()) {
            if (runs.empty() || r.rate != rate || r.understood != understood)
                runs.push_back(std::to_string(r.rate) + (r.understood ? " " : " ignored "));
            runs.back() += r.bytes;
            rate = r.rate;
            understood = r.understood;
        }
        return runs;
    }

    PtySimulator sim{Variant::Solx};
    const int port = SilentListener().port, port6 = SilentListener().port; // free, for a moment
    pid_t server = -1;
    const std::string base = testing::TempDir() + "tavro-rfc2217-" + std::to_string(getpid());
    const std::string out = base + ".out", err = base + ".err", yaml = base + ".yaml",
                      list = base + ".iml";
};

TEST_F(Rfc2217, SameOutputAndSameBytesAtTheSameRatesAsThePortItself) {
    const char *cases[] = {"detect -y -p P", "dump -y -r 0x00-0x1f -p P 0x50",
                           "set -y -p P 0x50 0x10 0xa5", "get -y -p P 0x50 0x10",
                           "run -y -p P LIST"};
    // Times of day and elapsed times differ from run to run; nothing else may.
    const std::regex times(R"(\d+\.\d+|\d\d:\d\d:\d\d\S*)");
    for (const char *args : cases) {
        const std::string local = std::regex_replace(args, std::regex("P"), "PORT");
        // The port's own run is the reference (the simulator's thread takes each reset at the
        // rate it went out at, even under load).
        const Ended there = run(local);
        const std::vector<std::string> expected = wire();
        ASSERT_GT(expected.size(), 3u) << args << there.err << ::testing::PrintToString(expected);
        for (const char *url : {"URL", "URL6"}) {
            const Ended here = run(std::regex_replace(args, std::regex("P"), url));
            EXPECT_EQ(here.status, there.status) << args << url << here.err;
            EXPECT_EQ(std::regex_replace(here.out, times, "T"),
                      std::regex_replace(there.out, times, "T"))
                << args << url;
            EXPECT_EQ(here.err, there.err) << args << url;
            EXPECT_EQ(wire(), expected) << args << url;
        }
    }
}

TEST_F(Rfc2217, ServerKilledMidDumpIsAHangUpWithStatus1) {
    sim.setTiming(Timing::Real);
    std::thread killer([&] {
        // Once the dump is well under way.
        if (waitFor([&] { return sim.transfers() > 40; }, 30))
            stopServer(SIGKILL);
    });
    const Ended r = run("dump -y -p URL 0x50");
    killer.join();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("the line hung up (adapter unplugged?)"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 10.0) << "the hang-up is told at once, not at a deadline";
}

// A refusal or an unknown host cannot open the port; a peer that never answers is caught by
// the reply deadline. Each is told at once (an unknown host's reason is the resolver's).
TEST_F(Rfc2217, RefusedStalledOrUnknownPeerFailsWithStatus1) {
    stopServer(SIGTERM);
    SilentListener silent;
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(port),
                      stalled = "rfc2217://127.0.0.1:" + std::to_string(silent.port),
                      unknown = "rfc2217://no-such-host.invalid:4000";
    const std::pair<std::string, std::string> cases[] = {
        {refused, "tavro-i2c: cannot open " + refused + ": Connection refused\n"},
        {stalled, "tavro-i2c: opening the link on " + stalled +
                      ": no reply from the adapter within 1 s; is the adapter connected and "
                      "powered, and a Tavro/Solx (see -d)?\n"},
        {unknown, "tavro-i2c: cannot open " + unknown + ": "}};
    for (const auto &[url, err] : cases) {
        const Ended r = run("get -y -p " + url + " 0x50 0");
        EXPECT_EQ(r.status, 1) << url;
        EXPECT_EQ(url == unknown ? r.err.substr(0, err.size()) : r.err, err);
        EXPECT_LT(r.seconds, 10.0) << url;
    }
}

TEST_F(Rfc2217, RawTcpAndMalformedUrlsAreUsageErrorsThatSendNothing) {
    SilentListener listener;
    const std::string lp = std::to_string(listener.port);
    const std::string hint = "\nTry 'tavro-i2c --help' for more information.\n";
    const std::pair<std::string, std::string> cases[] = {
        {"socket://127.0.0.1:" + lp,
         ": raw TCP cannot change the line's bit rate, as opening the link must; serve the "
         "port with RFC 2217 (ser2net's telnet(rfc2217)) and give rfc2217://HOST:PORT"},
        {"rfc2217://127.0.0.1", ": the port is missing; give rfc2217://HOST:PORT"},
        {"rfc2217://127.0.0.1:", ": the port is missing; give rfc2217://HOST:PORT"},
        {"rfc2217://127.0.0.1:0", ": the port must be a number from 1 to 65535"},
        {"rfc2217://127.0.0.1:65536", ": the port must be a number from 1 to 65535"},
        {"rfc2217://127.0.0.1:-1", ": the port must be a number from 1 to 65535"},
        {"rfc2217://:" + lp, ": the host is missing; give rfc2217://HOST:PORT"},
        {"rfc2217://[]:" + lp, ": the host is missing; give rfc2217://HOST:PORT"},
        {"rfc2217://[::1:" + lp, ": the IPv6 address lacks its ']'; give rfc2217://HOST:PORT"},
        {"rfc2217://::1:" + lp, ": an IPv6 address goes in brackets: rfc2217://[ADDRESS]:PORT"},
        {"tcp://127.0.0.1:" + lp,
         ": not a serial port; give rfc2217://HOST:PORT for a port on another machine"},
    };
    for (const auto &[url, why] : cases)
        for (const char *command : {"detect -y -p ", "run -y -p "}) {
            const Ended r = run(command + url + (command[0] == 'r' ? " LIST" : ""));
            EXPECT_EQ(r.status, 2) << url;
            EXPECT_EQ(r.err, "tavro-i2c: " + url + why + hint) << command << url;
        }
    EXPECT_EQ(accept(listener.fd, nullptr, nullptr), -1) << "a client connected";
    EXPECT_TRUE(wire().empty());
}

// The parser and encoder alone: what ser2net says when a client connects, split anywhere.
TEST(Telnet, NegotiationIsAnsweredOnceAndDataPassesWithIacsUndoubled) {
    const std::string greeting = TelnetDecoder().greeting();
    EXPECT_EQ(greeting, "\xff\xfb\x2c\xff\xfb\x00\xff\xfb\x03\xff\xfd\x00\xff\xfd\x03"s);
    // WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT, a
    // modem state notice, data with a doubled IAC, a break, and an unknown DO.
    const std::string server = "\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfe\x01\xff\xfd\x00"s +
                               "\xff\xfb\x00\xff\xfd\x2c\xff\xfa\x2c\x6b\x00\xff\xf0"s +
                               "/OCC\xff\xff\r\n\xff\xf3\xff\xfd\x18"s;
    for (std::size_t split = 0; split <= server.size(); ++split) {
        TelnetDecoder decoder;
        decoder.greeting();
        std::string data, answer;
        const auto *bytes = reinterpret_cast<const unsigned char *>(server.data());
        EXPECT_FALSE(decoder.comPortAnswered());
        decoder.feed(bytes, split, data, answer);
        decoder.feed(bytes + split, server.size() - split, data, answer);
        EXPECT_EQ(data, "/OCC\xff\r\n") << split;
        EXPECT_EQ(answer, "\xff\xfe\x01\xff\xfc\x18") << split; // DONT ECHO, WONT the unknown
        EXPECT_TRUE(decoder.comPortAnswered());
        EXPECT_FALSE(decoder.comPortRefused());
        EXPECT_EQ(decoder.lastSubnegotiation(), "\x2c\x6b\x00"s);
    }
    TelnetDecoder refusing;
    refusing.greeting();
    std::string data, answer;
    refusing.feed(reinterpret_cast<const unsigned char *>("\xff\xfe\x2c"), 3, data, answer);
    EXPECT_TRUE(refusing.comPortRefused());
    EXPECT_EQ(answer, "") << "a refusal of our own offer is not answered";
}

TEST(Telnet, LineCommandsCarryTheRateBigEndianWithIacsDoubled) {
    EXPECT_EQ(lineCommands(115200, false),
              "\xff\xfa\x2c\x01\x00\x01\xc2\x00\xff\xf0\xff\xfa\x2c\x0c\x01\xff\xf0"s);
    EXPECT_EQ(lineCommands(19200, true),
              "\xff\xfa\x2c\x02\x08\xff\xf0\xff\xfa\x2c\x03\x01\xff\xf0\xff\xfa\x2c\x04\x01\xff\xf0"
              "\xff\xfa\x2c\x05\x02\xff\xf0\xff\xfa\x2c\x01\x00\x00\x4b\x00\xff\xf0"
              "\xff\xfa\x2c\x0c\x01\xff\xf0"s);
    EXPECT_EQ(comPortCommand(telnet::SET_BAUDRATE, "\x00\x00\x00\xff"s),
              "\xff\xfa\x2c\x01\x00\x00\x00\xff\xff\xff\xf0"s);
    EXPECT_EQ(telnetEscape("a\xff\xff", 3), "a\xff\xff\xff\xff");
}

} // namespace
