// Tests of the adapter simulator: the protocol and bus logic directly, the pseudo-terminal
// model through a client that uses the slave side as the program does, and the tavro-sim
// program itself.

#include "tavrosim/adapter.h"
#include "tavrosim/control.h"
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace tavrosim;
using namespace std::chrono_literals;

constexpr int kReplyWaitMs = 2000; // generous: a reply that is coming comes within a few ms
constexpr int kQuietMs = 60;       // how long "no reply" is watched for

// What the host reads when its line runs at the adapter's current rate.
std::string talk(Adapter &a, std::string_view bytes) {
    a.receive(bytes, a.rate());
    std::string out;
    for (const Transmission &t : a.takeOutput())
        out += t.bytes;
    return out;
}

Adapter openAdapter(Variant variant = Variant::Solx) {
    Adapter a(variant);
    talk(a, "/o\r");
    return a;
}

// ---------------------------------------------------------------- command parsing

TEST(AdapterCommands, RepliesAndSilentCommands) {
    Adapter a(Variant::Dyn);
    const std::pair<const char *, const char *> cases[] = {
        {"/c\r", "/CCC\r\n"}, // closing a closed bus still answers
        {"/o\r", "/OCC\r\n"}, {"/o\r", "/OCC\r\n"}, {"/K0\r", ""},   {"/K3\r", ""},
        {"/f0\r", ""},        {"/f1\r", ""},        {"/h0\r", ""},   {"/h1\r", ""},
        {"/i70\r", ""},       {"/ia5\r", ""},       {"/dA0\r", ""},  {"/n1\r", ""},
        {"/n0\r", ""},        {"/n\r", "/NSR\r\n"}, {"/s~41\r", ""}, {"/c\r", "/CCC\r\n"},
    };
    for (const auto &[command, reply] : cases)
        EXPECT_EQ(talk(a, command), reply) << escapeBytes(command);
    EXPECT_FALSE(a.busOpen());
}

TEST(AdapterCommands, MalformedCommandsAnswerInvalid) {
    Adapter a = openAdapter();
    for (const char *command :
         {"/K4\r",   "/K\r",   "/f2\r",  "/h\r",   "/i7\r",   "/iZZ\r", "/i123\r",
          "/dA1\r",  "/d0\r",  "/x\r",   "/\r",    "o\r",     "/*o\r",  "/*\r",
          "/oo\r",   "/c1\r",  "/t~1\r", "/t01\r", "/t~0G\r", "/r\r",   "/r-1\r",
          "/r257\r", "/r1a\r", "/n2\r",  "/b3\r",  "/\x12o\r"})
        EXPECT_EQ(talk(a, command), "/I8F\r\n") << escapeBytes(command);
    // None of them disturbed the bus.
    EXPECT_TRUE(a.busOpen());
    EXPECT_EQ(a.rate(), kResetRate);
}

TEST(AdapterCommands, SolLacksClockRateAndMonitor) {
    for (Variant v : {Variant::Sol, Variant::Solx, Variant::Dyn}) {
        Adapter a(v);
        const bool extended = v != Variant::Sol;
        EXPECT_EQ(talk(a, "/K2\r"), extended ? "" : "/I8F\r\n") << variantName(v);
        EXPECT_EQ(talk(a, "/n1\r"), extended ? "" : "/I8F\r\n") << variantName(v);
        EXPECT_EQ(talk(a, "/n\r"), extended ? "/NSR\r\n" : "/I8F\r\n") << variantName(v);
        EXPECT_EQ(talk(a, "/b1\r"), extended ? "/BC1\r\n" : "/I8F\r\n") << variantName(v);
        EXPECT_EQ(a.rate(), extended ? 57600 : kResetRate) << variantName(v);
    }
}

TEST(AdapterCommands, TransfersNeedAnOpenBus) {
    Adapter a(Variant::Solx);
    a.failNext(Fault::Busy);
    EXPECT_EQ(talk(a, "/dA0\r"), ""); // selecting a slave is fine before "/o"
    for (const char *transfer : {"/t~00\r", "/*t~00\r", "/r1\r", "/*r1\r"})
        EXPECT_EQ(talk(a, transfer), "/I8F\r\n") << transfer;
    EXPECT_EQ(a.faultsQueued(), 1u) << "a rejected transfer must not use up a fault";
    talk(a, "/o\r");
    EXPECT_EQ(talk(a, "/t~00\r"), "/I81\r\n");
    EXPECT_EQ(talk(a, "/t~00\r"), "/MTC\r\n");
    talk(a, "/c\r");
    EXPECT_EQ(talk(a, "/r1\r"), "/I8F\r\n");
    EXPECT_EQ(a.transfers(), 7);
}

TEST(AdapterCommands, OverlongCommandIsRejectedAndAdapterRecovers) {
    Adapter a = openAdapter();
    std::string line = "/t" + std::string(3 * kMaxCommandLength, '~') + "\r";
    EXPECT_EQ(talk(a, line), "/I8F\r\n");
    EXPECT_EQ(talk(a, "/c\r"), "/CCC\r\n");
}

TEST(AdapterCommands, FlowControlCharactersAreNotData) {
    Adapter a(Variant::Solx);
    EXPECT_EQ(talk(a, "/\x11o\x13\r"), "/OCC\r\n");
    EXPECT_EQ(a.received().back().bytes, "/o\r");
}

// ---------------------------------------------------------------- bus model

TEST(AdapterBus, EepromPointerAutoIncrementsAndWraps) {
    Adapter a = openAdapter();
    talk(a, "/dA0\r");
    EXPECT_EQ(talk(a, "/t~FE~01~02~03\r"), "/MTC\r\n"); // writes FE, FF, then wraps to 00
    EXPECT_EQ(a.eeprom()[0xFE], 0x01);
    EXPECT_EQ(a.eeprom()[0x00], 0x03);
    EXPECT_EQ(talk(a, "/*t~FE\r"), "/MTC\r\n"); // pointer only, repeated start follows
    EXPECT_EQ(talk(a, "/*r2\r"), "/MRC 01 02\r\n");
    EXPECT_EQ(talk(a, "/r2\r"), "/MRC 03 00\r\n"); // continues across the wrap
    EXPECT_EQ(talk(a, "/r0\r"), "/MRC\r\n");
    EXPECT_EQ(talk(a, "/t~10~ab\r"), "/MTC\r\n"); // lower-case hex accepted
    EXPECT_EQ(talk(a, "/t~10\r"), "/MTC\r\n");
    EXPECT_EQ(talk(a, "/r1\r"), "/MRC AB\r\n");
    EXPECT_EQ(talk(a, "/t\r"), "/MTC\r\n"); // address only: pointer unchanged
    EXPECT_EQ(talk(a, "/r1\r"), "/MRC 00\r\n");
}

TEST(AdapterBus, PortLatchesLastByteAndAbsentSlavesNak) {
    Adapter a = openAdapter();
    talk(a, "/d4E\r");
    EXPECT_EQ(talk(a, "/r1\r"), "/MRC FF\r\n");
    EXPECT_EQ(talk(a, "/t~12~34\r"), "/MTC\r\n");
    EXPECT_EQ(talk(a, "/r3\r"), "/MRC 34 34 34\r\n");
    for (const char *address : {"/d42\r", "/d00\r", "/dA2\r"}) {
        talk(a, address);
        EXPECT_EQ(talk(a, "/t~00\r"), "/SNA\r\n") << address;
        EXPECT_EQ(talk(a, "/r1\r"), "/SNA\r\n") << address;
    }
    EXPECT_EQ(talk(a, "/r257\r"), "/I8F\r\n");
    talk(a, "/dA0\r");
    EXPECT_EQ(talk(a, "/r256\r").size(), 4 + 3 * 256 + 2u);
}

TEST(AdapterBus, ForcedFaultsHitTheNextTransfersInOrder) {
    Adapter a = openAdapter();
    talk(a, "/d4E\r");
    a.failNext(Fault::Busy, 2);
    a.failNext(Fault::ArbitrationLost);
    a.failNext(Fault::Nak);
    a.failNext(Fault::Invalid);
    EXPECT_EQ(talk(a, "/t~55\r"), "/I81\r\n");
    EXPECT_EQ(talk(a, "/K1\r"), ""); // other commands leave the queue alone
    for (const char *expected : {"/I81\r\n", "/I83\r\n", "/SNA\r\n", "/I8F\r\n", "/MRC FF\r\n"})
        EXPECT_EQ(talk(a, "/r1\r"), expected);
    EXPECT_EQ(a.port(), 0xFF) << "a failed write must not reach the slave";
}

// ---------------------------------------------------------------- events

TEST(AdapterEvents, InterruptReportedOnlyWhileMonitorOn) {
    Adapter a(Variant::Solx);
    a.setInterrupt(true);
    EXPECT_TRUE(a.takeOutput().empty());
    EXPECT_EQ(talk(a, "/n\r"), "/NSA\r\n"); // the state was kept
    talk(a, "/n1\r");
    a.setInterrupt(false);
    a.setInterrupt(true);
    auto out = a.takeOutput();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, "/NSR\r\n");
    EXPECT_EQ(out[1].bytes, "/NSA\r\n");
    talk(a, "\x12\x12\x12"); // a reset turns the monitor off
    EXPECT_FALSE(a.monitorOn());
    a.setInterrupt(false);
    EXPECT_TRUE(a.takeOutput().empty());
}

TEST(AdapterEvents, SlaveTransmitAndDataFromMaster) {
    Adapter a(Variant::Dyn);
    a.requestSlaveTransmit();
    EXPECT_EQ(talk(a, ""), "/STR\r\n");
    EXPECT_EQ(talk(a, "/s~41~42\r"), "/STC\r\n");
    EXPECT_EQ(talk(a, "/s~43\r"), "") << "only one completion per request";
    a.deliverFromMaster({0x01, 0xAB});
    a.deliverFromMaster({});
    EXPECT_EQ(talk(a, ""), "/SRC 01 AB\r\n/SRC\r\n");
}

TEST(AdapterEvents, SilenceSuppressesRepliesAndEventsButNotEffects) {
    Adapter a(Variant::Solx);
    a.setSilent(true);
    EXPECT_EQ(talk(a, "/o\r/n1\r/b2\r"), "");
    a.setInterrupt(true);
    EXPECT_TRUE(a.takeOutput().empty());
    EXPECT_TRUE(a.busOpen());
    EXPECT_EQ(a.rate(), 115200);
    EXPECT_EQ(a.received().back().reply, "BC2"); // the log shows what it would have said
    a.setSilent(false);
    EXPECT_EQ(talk(a, "/c\r"), "/CCC\r\n");
}

TEST(AdapterEvents, NoiseAndOverlongLine) {
    Adapter a(Variant::Solx);
    a.sendNoise(2000);
    std::string noise = talk(a, "");
    ASSERT_EQ(noise.size(), 2000u);
    for (char c : noise) {
        ASSERT_NE(c, '\x11');
        ASSERT_NE(c, '\x13');
        ASSERT_NE(c, '/');
        ASSERT_TRUE((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n');
    }
    a.sendOverlongLine();
    std::string line = talk(a, "");
    EXPECT_EQ(line.rfind("/XYZ", 0), 0u);
    EXPECT_EQ(line.size(), 4 + 400 + 2u);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
}

// ---------------------------------------------------------------- line rates

TEST(AdapterRates, BitRateRepliesAtOldRateThenListensAtNew) {
    Adapter a(Variant::Solx);
    a.receive("/b2\r/o\r", 19200); // "/o" in the same burst is already garbage
    auto out = a.takeOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "/BC2\r\n");
    EXPECT_EQ(out[0].rate, 19200);
    EXPECT_EQ(a.rate(), 115200);
    EXPECT_FALSE(a.busOpen());

    a.receive("/o\r", 115200);
    out = a.takeOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rate, 115200);
    a.receive("/b0\r", 115200);
    EXPECT_EQ(a.takeOutput().at(0).rate, 115200);
    EXPECT_EQ(a.rate(), 19200);
}

TEST(AdapterRates, GarbageDiscardsPartialCommand) {
    Adapter a(Variant::Solx);
    a.receive("/o", 19200);
    a.receive("x", 57600);    // a burst at another rate
    a.receive("\r\n", 19200); // stray line ends make no entry
    a.receive("/c\r", 0);     // B0
    EXPECT_TRUE(a.takeOutput().empty());
    EXPECT_FALSE(a.busOpen());
    const auto &log = a.received();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].bytes, "/o");
    EXPECT_EQ(log[1].bytes, "x");
    EXPECT_EQ(log[1].rate, 57600);
    EXPECT_EQ(log[2].bytes, "/c\r");
    for (const Received &r : log)
        EXPECT_FALSE(r.understood);
}

TEST(AdapterRates, ResetRestores19200ButSolKeepsItsRate) {
    Adapter dyn(Variant::Dyn, 57600);
    dyn.receive("/o\r", 57600);
    dyn.receive("\x12\x12\x12", 115200); // wrong rate: ignored
    EXPECT_TRUE(dyn.busOpen());
    dyn.receive("/n1\r\x12\x12\x12", 57600);
    EXPECT_FALSE(dyn.busOpen());
    EXPECT_FALSE(dyn.monitorOn());
    EXPECT_EQ(dyn.rate(), 19200);

    Adapter sol(Variant::Sol, 57600);
    sol.receive("\x12\x12\x12", 57600);
    EXPECT_EQ(sol.rate(), 57600);
    sol.receive("/o\r", 57600);
    EXPECT_EQ(sol.takeOutput().at(0).bytes, "/OCC\r\n");
}

// ---------------------------------------------------------------- pseudo-terminal

// The program's side of the line: opens the slave raw, at a chosen speed.
class Client {
  public:
    Client(const std::string &path, int rate) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_iflag |= IXON | IXOFF;
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &t);
        setRate(rate);
    }
    ~Client() { ::close(fd_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void setRate(int rate) {
        termios t{};
        tcgetattr(fd_, &t);
        cfsetospeed(&t, speedFromRate(rate));
        cfsetispeed(&t, speedFromRate(rate));
        tcsetattr(fd_, TCSANOW, &t);
    }
    void send(const std::string &bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // One line including its line end; "" if none completes within the time.
    std::string readLine(int timeoutMs = kReplyWaitMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            if (auto eol = buffer_.find('\n'); eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol + 1);
                buffer_.erase(0, eol + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(static_cast<int>(left.count())))
                return "";
        }
    }
    // Everything that arrives within `ms`.
    std::string drain(int ms = kQuietMs) {
        while (fill(ms)) {
        }
        std::string all;
        all.swap(buffer_);
        return all;
    }
    bool hungUp(int timeoutMs) {
        pollfd pfd{fd_, POLLIN, 0};
        return ::poll(&pfd, 1, timeoutMs) == 1 && (pfd.revents & POLLHUP);
    }

  private:
    bool fill(int timeoutMs) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) != 1 || !(pfd.revents & POLLIN))
            return false;
        char chunk[512];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    std::string buffer_;
};

class PtyLink : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        sim.startThread();
    }
    PtySimulator sim{Variant::Solx};
};

TEST_F(PtyLink, BytesAtTheWrongRateAreIgnored) {
    Client c(sim.slavePath(), 57600);
    c.send("/o\r");
    ASSERT_TRUE(sim.waitUntil([&] { return sim.received().size() == 1; }, kReplyWaitMs));
    c.setRate(0);
    c.send("/o\r");
    ASSERT_TRUE(sim.waitUntil([&] { return sim.received().size() == 2; }, kReplyWaitMs));
    EXPECT_EQ(c.drain(), "");
    auto log = sim.received();
    EXPECT_EQ(log[0].rate, 57600);
    EXPECT_EQ(log[1].rate, 0);
    EXPECT_FALSE(log[0].understood || log[1].understood);
    // An event while the rates differ is lost as well.
    sim.requestSlaveTransmit();
    EXPECT_EQ(c.drain(), "");
    c.setRate(19200);
    c.send("/s\r");
    EXPECT_EQ(c.readLine(), "/STC\r\n");
}

TEST_F(PtyLink, BitRateHandshake) {
    Client c(sim.slavePath(), 19200);
    c.send("/b2\r");
    EXPECT_EQ(c.readLine(), "/BC2\r\n");
    EXPECT_TRUE(sim.linkUp());
    EXPECT_EQ(sim.adapterRate(), 115200);
    c.setRate(115200);
    c.send("/f0\r/o\r");
    EXPECT_EQ(c.readLine(), "/OCC\r\n");
    auto log = sim.received();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].rate, 19200);
    EXPECT_EQ(log[0].reply, "BC2");
    EXPECT_EQ(log[1].bytes, "/f0\r");
    EXPECT_EQ(log[1].rate, 115200);
    EXPECT_TRUE(log[1].understood);
}

TEST_F(PtyLink, SurvivesReopeningAndKeepsState) {
    {
        Client c(sim.slavePath(), 19200);
        c.send("/n1\r/b1\r");
        EXPECT_EQ(c.readLine(), "/BC1\r\n");
    }
    for (int i = 0; i < 10; ++i) {
        Client c(sim.slavePath(), 57600);
        c.send("/o\r");
        EXPECT_EQ(c.readLine(), "/OCC\r\n") << "session " << i;
    }
    ASSERT_TRUE(sim.waitUntil([&] { return !sim.linkUp(); }, kReplyWaitMs));
    sim.setInterrupt(true); // nobody listening: must not reach the next session
    Client c(sim.slavePath(), 57600);
    EXPECT_EQ(c.drain(), "");
    c.send("/n\r");
    EXPECT_EQ(c.readLine(), "/NSA\r\n");
}

TEST_F(PtyLink, ReplyDelayHoldsRepliesBack) {
    sim.setReplyDelay(200);
    Client c(sim.slavePath(), 19200);
    const auto start = std::chrono::steady_clock::now();
    c.send("/o\r");
    EXPECT_EQ(c.readLine(), "/OCC\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
}

TEST_F(PtyLink, VanishHangsUpTheProgram) {
    Client c(sim.slavePath(), 19200);
    sim.vanish();
    EXPECT_TRUE(sim.vanished());
    EXPECT_TRUE(c.hungUp(kReplyWaitMs));
}

class PtyReset : public ::testing::TestWithParam<int> {};

// The program's reset sequence must reach the adapter whatever rate it was left at.
TEST_P(PtyReset, ResetSequenceWorksFromAnyRate) {
    const int leftAt = GetParam();
    PtySimulator sim(Variant::Dyn, leftAt);
    sim.start();
    sim.startThread();
    Client c(sim.slavePath(), 115200);
    std::size_t sent = 0;
    for (int rate : {115200, 57600, 19200}) {
        c.setRate(rate);
        c.send("\x12\x12\x12");
        // The program pauses 20 ms; waiting for the simulator instead keeps a loaded
        // machine from turning this into a test of scheduling.
        ++sent;
        ASSERT_TRUE(sim.waitUntil([&] { return sim.received().size() == sent; }, kReplyWaitMs));
    }
    c.send("/o\r");
    EXPECT_EQ(c.readLine(), "/OCC\r\n");
    auto log = sim.received();
    ASSERT_EQ(log.size(), 4u);
    const int rates[] = {115200, 57600, 19200};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].bytes, "\x12\x12\x12");
        EXPECT_EQ(log[i].rate, rates[i]);
        EXPECT_EQ(log[i].understood, rates[i] == leftAt || rates[i] == 19200);
    }
}

INSTANTIATE_TEST_SUITE_P(LeftAt, PtyReset, ::testing::Values(19200, 57600, 115200));

TEST(PtyPump, RunsInTheCallersThread) {
    PtySimulator sim(Variant::Sol);
    sim.start();
    Client c(sim.slavePath(), 19200);
    EXPECT_FALSE(sim.poll(10));
    c.send("/o\r");
    EXPECT_TRUE(sim.poll(kReplyWaitMs));
    EXPECT_EQ(c.readLine(), "/OCC\r\n");
    c.send("/K1\r");
    EXPECT_TRUE(sim.waitUntil([&] { return sim.received().size() == 2; }, kReplyWaitMs));
    EXPECT_EQ(c.readLine(), "/I8F\r\n");
}

// ---------------------------------------------------------------- control commands

TEST(Control, CommandsReachTheSimulatorAndBadOnesDoNothing) {
    PtySimulator sim;
    EXPECT_TRUE(runControl(sim, "busy 2").ok);
    EXPECT_TRUE(runControl(sim, "  nak").ok);
    EXPECT_TRUE(runControl(sim, "int on").ok);
    EXPECT_TRUE(runControl(sim, "silent").ok);
    EXPECT_TRUE(runControl(sim, "# comment").ok);
    for (const char *bad : {"busy x", "busy 1 2", "int", "int maybe", "src 01 1FF", "delay",
                            "noise -1", "frobnicate", "silent now"})
        EXPECT_FALSE(runControl(sim, bad).ok) << bad;
    sim.with([](Adapter &a) {
        EXPECT_EQ(a.faultsQueued(), 3u);
        EXPECT_TRUE(a.interruptAsserted());
        EXPECT_TRUE(a.silent());
    });
    EXPECT_NE(runControl(sim, "status").message.find("faults queued 3"), std::string::npos);
    EXPECT_TRUE(runControl(sim, "quit").quit);
}

// ---------------------------------------------------------------- the program

class SimProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavro-sim-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        link = dir + "/port";
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ::close(toChild);
        ::close(fromChild);
        unlink(link.c_str());
        rmdir(dir.c_str());
    }
    void spawn(std::vector<std::string> args) {
        int in[2], out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), TAVRO_SIM_BINARY);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid, TAVRO_SIM_BINARY, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        toChild = in[1];
        fromChild = out[0];
    }
    // Next line of the program's output without its '\n'; "" on time-out or end.
    std::string outputLine() {
        std::string line;
        char c;
        pollfd pfd{fromChild, POLLIN, 0};
        while (::poll(&pfd, 1, kReplyWaitMs) == 1 && ::read(fromChild, &c, 1) == 1) {
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }
    bool outputHas(const std::string &text) {
        for (std::string line = outputLine(); !line.empty(); line = outputLine())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    void control(const std::string &line) {
        ASSERT_EQ(::write(toChild, (line + "\n").data(), line.size() + 1),
                  static_cast<ssize_t>(line.size() + 1));
    }
    // The program's exit code; -1 if it did not exit by itself within two seconds.
    int exitStatus() {
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1; // TearDown kills it
    }

    std::string dir, link;
    pid_t pid = -1;
    int toChild = -1, fromChild = -1;
};

TEST_F(SimProgram, ServesTheLinkObeysStdinAndCleansUpOnSignal) {
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0); // a stale link is replaced
    spawn({"--variant", "dyn", "--link", link, "--nak", "1"});
    const std::string path = outputLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    Client c(link, 19200);
    c.send("/n1\r/o\r");
    EXPECT_EQ(c.readLine(), "/OCC\r\n");
    c.send("/t\r");
    EXPECT_EQ(c.readLine(), "/SNA\r\n");
    control("int on");
    EXPECT_EQ(c.readLine(), "/NSA\r\n");
    EXPECT_TRUE(outputHas("tx 19200 \"/NSA\\r\\n\""));

    kill(pid, SIGTERM);
    EXPECT_EQ(exitStatus(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST_F(SimProgram, VanishHangsUpAndExits) {
    spawn({"--link", link, "--quiet"});
    ASSERT_FALSE(outputLine().empty());
    Client c(link, 19200);
    control("vanish");
    EXPECT_TRUE(c.hungUp(kReplyWaitMs));
    EXPECT_EQ(exitStatus(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST_F(SimProgram, RefusesToReplaceARegularFileOrABadOption) {
    FILE *f = std::fopen(link.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("keep", f);
    std::fclose(f);
    spawn({"--link", link});
    EXPECT_NE(exitStatus(), 0);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 4);

    ::close(toChild);
    ::close(fromChild);
    spawn({"--variant", "sol", "--rate", "12345"});
    EXPECT_EQ(exitStatus(), 2);
}

} // namespace
