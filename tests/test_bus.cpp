// The bus library on its own: two links in one process, and adapters that misbehave in ways
// the simulator never does, on a pseudo-terminal of the test's own.
#include "list_runner.h"
#include "tavro_bus.h"

#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// An adapter that answers each command line (without its CR) with what answer gives, and
// sends chatter every 100 ms whatever comes. Resets are swallowed.
class FakeAdapter {
  public:
    using Answer = std::function<std::string(const std::string &command)>;

    explicit FakeAdapter(Answer answer, std::string chatter = "")
        : answer_(std::move(answer)), chatter_(std::move(chatter)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        path_ = ptsname(master_);
        // Held open, so that the master never reads a hang-up between the link's openings.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeAdapter() {
        stop_ = true;
        thread_.join();
        close(slave_);
        close(master_);
    }
    const std::string &path() const { return path_; }
    // When the command last came; the epoch if it never did.
    Clock::time_point arrived(const std::string &command) {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrived_[command];
    }

  private:
    void serve() {
        std::string pending;
        Clock::time_point next_chatter = Clock::now();
        while (!stop_) {
            if (!chatter_.empty() && Clock::now() >= next_chatter) {
                send(chatter_);
                next_chatter += 100ms;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) != 1 || !(p.revents & POLLIN))
                continue;
            char data[512];
            const ssize_t got = read(master_, data, sizeof data);
            for (ssize_t i = 0; i < got; ++i) {
                if (data[i] == '\x12')
                    continue;
                if (data[i] != '\r') {
                    pending += data[i];
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    arrived_[pending] = Clock::now();
                }
                send(answer_(pending));
                pending.clear();
            }
        }
    }
    void send(const std::string &bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += std::size_t(n);
        }
    }

    Answer answer_;
    std::string chatter_;
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> arrived_;
};

// The replies a Solx's opening and closing need; other commands get what others says.
FakeAdapter::Answer opening(std::map<std::string, std::string> others = {}) {
    return [others](const std::string &command) -> std::string {
        if (const auto it = others.find(command); it != others.end())
            return it->second;
        if (command == "/b2")
            return "/BC2\r";
        if (command == "/o")
            return "/OCC\r";
        if (command == "/c")
            return "/CCC\r";
        return "";
    };
}

std::string repeated(const std::string &text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

TEST(HostileAdapter, AReadReplyLongerThanAnyReplyIsRefused) {
    const std::string bytes251 = repeated(" 5A", 251);
    const struct {
        std::string reply;
        BusStatus status;
    } cases[] = {
        {"/MRC" + bytes251, BusStatus::Ok},
        {"/MRC" + repeated(" 5A", 256), BusStatus::BadReply},
        {"/MRC" + bytes251 + " ZZZZ GARBAGE", BusStatus::BadReply},
    };
    for (const auto &c : cases) {
        FakeAdapter fake(opening({{"/r251", c.reply + "\r\n"}}));
        TavroBus bus;
        ASSERT_EQ(bus.open(fake.path(), LinkSettings{}).status, BusStatus::Ok);
        I2cMessage message;
        message.address = 0x50;
        message.read = true;
        message.length = 251;
        const BusResult result = bus.transfer(message, true);
        EXPECT_EQ(result.status, c.status) << c.reply.size();
        if (c.status == BusStatus::Ok) {
            EXPECT_EQ(message.data, std::vector<std::uint8_t>(251, 0x5A));
        }
        EXPECT_EQ(bus.close().status, BusStatus::Ok); // the link stays usable
    }
}

TEST(HostileAdapter, ChatterDoesNotMoveTheReplyDeadline) {
    // Lines of every sort while the bus-open reply is awaited, and never the reply.
    FakeAdapter fake(opening({{"/o", ""}}), "/NSR\r\n/XYZ\r\n*\r\n");
    TavroBus bus;
    const BusResult opened = bus.open(fake.path(), LinkSettings{});
    const auto waited = Clock::now() - fake.arrived("/o");
    EXPECT_EQ(opened.status, BusStatus::TimedOut);
    EXPECT_EQ(opened.detail, "no reply from the adapter within 1 s");
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 2000ms);
}

TEST(Port, TheLineSettingsFoundComeBackWhenThePortCloses) {
    // An answering adapter and a silent one: a link closed, and an opening abandoned.
    for (const bool answers : {true, false}) {
        FakeAdapter fake(answers ? opening() : [](const std::string &) { return std::string(); });
        const int fd = open(fake.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios found{};
        ASSERT_EQ(tcgetattr(fd, &found), 0);
        {
            TavroBus bus;
            const BusResult opened = bus.open(fake.path(), LinkSettings{});
            EXPECT_EQ(opened.status, answers ? BusStatus::Ok : BusStatus::TimedOut);
        }
        termios after{};
        ASSERT_EQ(tcgetattr(fd, &after), 0);
        close(fd);
        EXPECT_EQ(after.c_iflag, found.c_iflag) << answers;
        EXPECT_EQ(after.c_oflag, found.c_oflag) << answers;
        EXPECT_EQ(after.c_lflag, found.c_lflag) << answers;
        EXPECT_EQ(after.c_cflag, found.c_cflag) << answers;
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found)) << answers;
    }
}

TEST(Port, OpeningRefusalsSayWhyAndSendNothing) {
    FakeAdapter fake(opening());
    const struct {
        std::string port;
        LinkSettings settings;
        BusStatus status;
        int system_errno;
        std::string detail;
    } cases[] = {
        {"/nonexistent/tty",
         {},
         BusStatus::NoPort,
         ENOENT,
         "cannot open /nonexistent/tty: No such file or directory"},
        {"/dev/null",
         {},
         BusStatus::NotTerminal,
         0,
         "/dev/null is not a terminal; give the adapter's serial port or the simulator's"},
        {fake.path(),
         {Variant::Solx, 9600, 100},
         BusStatus::Invalid,
         0,
         "the rate is 19200, 57600 or 115200"},
        {fake.path(),
         {Variant::Dyn, 115200, 50},
         BusStatus::Invalid,
         0,
         "the clock is 23, 86, 100 or 400 kHz"},
        {fake.path(),
         {Variant::Sol, 57600, 100},
         BusStatus::Invalid,
         0,
         "the Tavro/Sol runs at 19200 bit/s only"},
        {fake.path(),
         {Variant::Sol, 19200, 400},
         BusStatus::Invalid,
         0,
         "the Tavro/Sol clocks its bus at 100 kHz only"},
    };
    for (const auto &c : cases) {
        TavroBus bus;
        const BusResult result = bus.open(c.port, c.settings);
        EXPECT_EQ(result.status, c.status) << c.detail;
        EXPECT_EQ(result.system_errno, c.system_errno) << c.detail;
        EXPECT_EQ(result.detail, c.detail);
    }
    EXPECT_EQ(fake.arrived("/f0"), Clock::time_point());
}

TEST(TwoLinks, EachHasItsOwnRepliesAndItsOwnInterrupts) {
    tavrosim::PtySimulator first, second;
    for (tavrosim::PtySimulator *sim : {&first, &second}) {
        sim->start();
        sim->startThread();
    }
    TavroBus one, two;
    ASSERT_EQ(one.open(first.slavePath(), LinkSettings{}).status, BusStatus::Ok);
    ASSERT_EQ(two.open(second.slavePath(), LinkSettings{}).status, BusStatus::Ok);
    for (TavroBus *bus : {&one, &two})
        ASSERT_FALSE(bus->link().post(buildIntMonitor(1)));
    ASSERT_TRUE(second.waitUntil([&] { return second.received().size() >= 1; }, 2000));
    second.setInterrupt(true); // /NSA on the second line only

    // Each writes its own byte to its own EEPROM and reads it back, while the second line's
    // /INT report waits.
    const std::uint8_t written[] = {0x11, 0x22};
    TavroBus *buses[] = {&one, &two};
    for (int i = 0; i < 2; ++i) {
        std::vector<I2cMessage> write(1);
        write[0].address = 0x50;
        write[0].data = {0x00, written[i]};
        ASSERT_TRUE(buses[i]->transfer(write).ok()) << i;
    }
    for (int i = 0; i < 2; ++i) {
        std::vector<I2cMessage> read(2);
        read[0].address = read[1].address = 0x50;
        read[0].data = {0x00};
        read[1].read = true;
        read[1].length = 1;
        ASSERT_TRUE(buses[i]->transfer(read).ok()) << i;
        EXPECT_EQ(read[1].data, std::vector<std::uint8_t>{written[i]}) << i;
    }
    // The report, read in the transfers' waits unless it came later than they, is counted on
    // its own link only.
    two.link().awaitLine({}, Clock::now() + 300ms);
    EXPECT_EQ(one.link().takeAssertions(), 0);
    EXPECT_EQ(two.link().takeAssertions(), 1);
}

} // namespace
