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
        : answer_(std::move(answer)), chatter_(std::move(chatter)),
          master_(posix_openpt(O_RDWR | O_NOCTTY)) {
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

  private:
    void serve() {
        std::string command;
        for (auto chatter_due = Clock::now(); !stop_;) {
            if (!chatter_.empty() && Clock::now() >= chatter_due) {
                send(chatter_);
                chatter_due += 100ms;
            }
            pollfd p{master_, POLLIN, 0};
            char c;
            if (poll(&p, 1, 10) != 1 || read(master_, &c, 1) != 1 || c == '\x12')
                continue;
            if (c != '\r') {
                command += c;
            } else {
                send(answer_(command));
                command.clear();
            }
        }
    }
    void send(const std::string &bytes) {
        if (write(master_, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            ADD_FAILURE() << "the pseudo-terminal took less than " << bytes.size();
    }

    Answer answer_;
    std::string chatter_;
    int master_, slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// The replies a Solx's opening and closing need, unless replies says otherwise; no other.
FakeAdapter::Answer opening(std::map<std::string, std::string> replies = {}) {
    replies.insert({{"/b2", "/BC2\r"}, {"/o", "/OCC\r"}, {"/c", "/CCC\r"}});
    return [replies](const std::string &command) {
        const auto it = replies.find(command);
        return it == replies.end() ? std::string() : it->second;
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
    const Clock::time_point start = Clock::now(); // the bus-open command goes out ~0.1 s later
    const BusResult opened = bus.open(fake.path(), LinkSettings{});
    EXPECT_EQ(opened.status, BusStatus::TimedOut);
    EXPECT_EQ(opened.detail, "no reply from the adapter within 1 s");
    EXPECT_GE(Clock::now() - start, 1000ms);
    EXPECT_LT(Clock::now() - start, 2000ms);
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
    TavroBus *buses[] = {&one, &two};
    for (std::uint8_t i = 0; i < 2; ++i) {
        std::vector<I2cMessage> write(1), read(2);
        write[0].address = read[0].address = read[1].address = 0x50;
        write[0].data = {0x00, std::uint8_t(0x11 + i)};
        read[0].data = {0x00};
        read[1].read = true;
        read[1].length = 1;
        ASSERT_TRUE(buses[i]->transfer(write).ok()) << i;
        ASSERT_TRUE(buses[i]->transfer(read).ok()) << i;
        EXPECT_EQ(read[1].data, std::vector<std::uint8_t>{std::uint8_t(0x11 + i)}) << i;
    }
    // The report, read in the transfers' waits unless it came later than they, is counted on
    // its own link only.
    two.link().awaitLine({}, Clock::now() + 300ms);
    EXPECT_EQ(one.link().takeAssertions(), 0);
    EXPECT_EQ(two.link().takeAssertions(), 1);
}

} // namespace
