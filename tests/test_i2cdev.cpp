// tavro-i2c exec with Debian's own i2c-tools and python3-smbus2, unmodified, against the
// adapter simulator: what they print, the errno each failure gives, and what exec does with
// several programs, a program that dies, signals and paths that are not its bus.
#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tavrosim;
using namespace std::chrono_literals;

const char *const PYTHON = "/usr/bin/python3"; // Debian's, with python3-smbus2

struct Outcome {
    int wait_status;
    std::string out, err;
    int exitCode() const { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }
};

class Exec : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        sim.startThread();
        // Register numbers in the EEPROM's first rows, letters from 0x41 on.
        sim.with([](Adapter &a) {
            for (int r = 0; r < 0x20; ++r)
                a.eeprom()[r] = static_cast<std::uint8_t>(0x30 + r);
        });
    }
    void TearDown() override {
        unlink(out_path.c_str());
        unlink(err_path.c_str());
        unlink(script_path.c_str());
    }

    // Runs the shell line in a process group of its own (EXEC stands for tavro-i2c exec on
    // the simulator's port, PY for the Python with smbus2); during(pid) runs meanwhile. Ends
    // it after 30 s.
    Outcome run(std::string line, const std::function<void(pid_t)> &during = {}) {
        replace(line, "EXEC", TAVRO_I2C_BINARY " exec -p " + sim.slavePath());
        replace(line, "PY", PYTHON);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        setpgid(pid, pid);
        if (during)
            during(pid);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(-pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "still running after 30 s: " << line;
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        return {status, readFile(out_path), readFile(err_path)};
    }
    // Runs a Python script through exec.
    Outcome python(const std::string &script, const std::function<void(pid_t)> &during = {}) {
        std::ofstream(script_path) << "import errno, fcntl, os, sys, time\n"
                                      "from smbus2 import SMBus, i2c_msg\n"
                                   << script;
        return run("EXEC -- PY " + script_path, during);
    }
    static void replace(std::string &line, const std::string &from, const std::string &to) {
        for (std::size_t at = 0; (at = line.find(from, at)) != std::string::npos; at += to.size())
            line.replace(at, from.size(), to);
    }
    static std::string readFile(const std::string &path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The link was closed as it should be: the close command, then the reset.
    bool closedCleanly() {
        return sim.waitUntil(
            [&] {
                std::string log;
                for (const Received &r : sim.received())
                    log += r.bytes;
                return log.size() >= 6 && log.substr(log.size() - 6) == "/c\r\x12\x12\x12";
            },
            5000);
    }
    int opens() {
        int count = 0;
        for (const Received &r : sim.received())
            count += r.bytes == "/o\r";
        return count;
    }

    const std::string out_path = testing::TempDir() + "i2cdev-out" + std::to_string(getpid());
    const std::string err_path = out_path + "-err";
    const std::string script_path = out_path + ".py";
    PtySimulator sim{Variant::Solx};
};

TEST_F(Exec, I2cToolsPrintWhatTheyPrintOnAKernelBus) {
    const std::pair<const char *, const char *> cases[] = {
        {"i2cdetect -y 0", "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                           "00:                         -- -- -- -- -- -- -- -- \n"
                           "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                           "20: -- -- -- -- -- -- -- 27 -- -- -- -- -- -- -- -- \n"
                           "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                           "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                           "50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                           "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                           "70: -- -- -- -- -- -- -- --                         \n"},
        {"i2cdetect -F 0", "Functionalities implemented by /dev/i2c/0:\n"
                           "I2C                              yes\n"
                           "SMBus Quick Command              yes\n"
                           "SMBus Send Byte                  yes\n"
                           "SMBus Receive Byte               yes\n"
                           "SMBus Write Byte                 yes\n"
                           "SMBus Read Byte                  yes\n"
                           "SMBus Write Word                 yes\n"
                           "SMBus Read Word                  yes\n"
                           "SMBus Process Call               yes\n"
                           "SMBus Block Write                yes\n"
                           "SMBus Block Read                 no\n"
                           "SMBus Block Process Call         no\n"
                           "SMBus PEC                        yes\n"
                           "I2C Block Write                  yes\n"
                           "I2C Block Read                   yes\n"},
        {"i2cset -y -r 0 0x50 0x10 0x5a", "Value 0x5a written, readback matched\n"},
        {"i2cget -y 0 0x50 0x10 w", "0x415a\n"},
        {"i2cget -y 0 0x50 0x11 b", "0x41\n"},
        {"i2cdump -y -r 0x00-0x1f 0 0x50 b",
         "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
         "00: 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f    0123456789:;<=>?\n"
         "10: 5a 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f    ZABCDEFGHIJKLMNO\n"},
        // The EEPROM sends no PEC byte of its own: every PEC read fails its check.
        {"i2cdump -y -r 0x00-0x0f 0 0x50 bp",
         "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
         "00: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX\n"},
        // The port keeps the last byte written: the PEC of 4e 00 34.
        {"i2cset -y 0 0x27 0x00 0x34 bp && i2cget -y 0 0x27", "0x26\n"},
        {"i2ctransfer -y 0 w3@0x50 0x20 0xc0 0xde r2 w1@0x27 0x81 r1 w1@0x50 0x1e r4",
         "0x00 0x00\n0x81\n0x4e 0x4f 0xc0 0xde\n"},
    };
    for (const auto &[command, expected] : cases) {
        const Outcome r = run(std::string("EXEC -- sh -c '") + command + "'");
        EXPECT_EQ(r.exitCode(), 0) << command << "\n" << r.err;
        EXPECT_EQ(r.out, expected) << command;
        EXPECT_EQ(r.err, "") << command;
    }
}

TEST_F(Exec, Smbus2ScriptRunsUnmodified) {
    const Outcome r =
        python("with SMBus(0) as bus:\n"
               "    bus.write_byte_data(0x50, 0x40, 0x11)\n"
               "    bus.write_i2c_block_data(0x50, 0x41, [0x22, 0x33, 0x44])\n"
               "    bus.write_word_data(0x50, 0x44, 0x6655)\n"
               "    print(hex(bus.read_byte_data(0x50, 0x40)),\n"
               "          hex(bus.read_word_data(0x50, 0x41)),\n"
               "          bus.read_i2c_block_data(0x50, 0x40, 6))\n"
               "    write, read = i2c_msg.write(0x50, [0x42]), i2c_msg.read(0x50, 3)\n"
               "    bus.i2c_rdwr(write, read)\n"
               "    print(list(read), hex(bus.read_byte(0x27)),\n"
               "          hex(bus.process_call(0x50, 0x0e, 0x1234)))\n"
               // The file-object way of Adafruit's PureIO under Blinka: read() and write()
               // as single messages to the address set.
               "with open('/dev/i2c-0', 'r+b', buffering=0) as device:\n"
               "    fcntl.ioctl(device, 0x0703, 0x50)\n"
               "    print(device.write(bytes([0x10])), device.read(3))\n");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out, "0x11 0x3322 [17, 34, 51, 68, 85, 102]\n[51, 68, 85] 0xff 0x4140\n"
                     "1 b'@AB'\n");
}

// One row per errno of the i2c-dev interface, each from a program's point of view.
TEST_F(Exec, EachFailureGivesTheKernelsErrno) {
    const struct {
        const char *expected;
        std::function<void()> setup;
        const char *call;
    } rows[] = {
        {"ENXIO", [] {}, "bus.read_byte(0x33)"},
        {"EAGAIN", [&] { sim.failNext(Fault::ArbitrationLost); }, "bus.read_byte(0x50)"},
        {"EBUSY", [&] { sim.failNext(Fault::Busy); }, "bus.write_byte(0x50, 0)"},
        {"EBADMSG", [] {}, "bus.pec = 1; bus.read_word_data(0x50, 0)"},
        {"EOPNOTSUPP", [] {}, "bus.read_block_data(0x50, 0)"},
        {"EOPNOTSUPP", [] {}, "bus.i2c_rdwr(i2c_msg.read(0x50, 252))"},
        {"EOPNOTSUPP", [] {}, "fcntl.ioctl(bus.fd, 0x0704, 1); bus.read_byte(0x50)"},
        {"EINVAL", [] {}, "bus.i2c_rdwr(*[i2c_msg.read(0x50, 1) for _ in range(43)])"},
        {"EINVAL", [] {}, "bus.read_byte(0x80)"},
        {"ENOTTY", [] {}, "os.isatty(bus.fd) or fcntl.ioctl(bus.fd, 0x5401, bytes(64))"},
        // I2C_RETRIES: a lost arbitration is tried again.
        {"0x30", [&] { sim.failNext(Fault::ArbitrationLost); },
         "fcntl.ioctl(bus.fd, 0x0701, 1); print(hex(bus.read_byte_data(0x50, 0)))"},
        // The number of messages, from I2C_RDWR itself.
        {"3", [] {},
         "from smbus2.smbus2 import i2c_rdwr_ioctl_data\n"
         "    print(fcntl.ioctl(bus.fd, 0x0707, i2c_rdwr_ioctl_data.create(\n"
         "        i2c_msg.write(0x50, [0]), i2c_msg.read(0x50, 2), i2c_msg.read(0x27, 1))))"},
    };
    for (const auto &row : rows) {
        row.setup();
        const Outcome r = python("bus = SMBus(0)\n"
                                 "try:\n"
                                 "    " +
                                 std::string(row.call) +
                                 "\n"
                                 "except OSError as e:\n"
                                 "    print({errno.EOPNOTSUPP: 'EOPNOTSUPP'}.get(e.errno, "
                                 "errno.errorcode[e.errno]))\n");
        EXPECT_EQ(r.out, std::string(row.expected) + "\n") << row.call << "\n" << r.err;
    }
}

// The adapter falls silent once the link is open: ETIMEDOUT, and exec tries the link afresh.
TEST_F(Exec, ASilentAdapterTimesOutAndTheLinkIsOpenedAgain) {
    const std::string flag = script_path + ".go";
    const Outcome r = python("bus = SMBus(0)\n"
                             "while not os.path.exists('" +
                                 flag +
                                 "'): time.sleep(0.01)\n"
                                 "try:\n"
                                 "    bus.read_byte(0x50)\n"
                                 "except OSError as e:\n"
                                 "    print(errno.errorcode[e.errno])\n",
                             [&](pid_t) {
                                 sim.waitUntil([&] { return opens() > 0; }, 10000);
                                 sim.setSilent(true);
                                 std::ofstream{flag};
                             });
    unlink(flag.c_str());
    EXPECT_EQ(r.out, "ETIMEDOUT\n");
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_NE(r.err.find("tavro-i2c: opening the link on "), std::string::npos) << r.err;
    // Closed once, after the time-out; the opening again found no adapter to close.
    int closes = 0;
    for (const Received &received : sim.received())
        closes += received.bytes == "/c\r";
    EXPECT_EQ(closes, 1);
}

TEST_F(Exec, ProgramsShareTheLinkOneTransactionAtATime) {
    // Two at once, each its own address and register; a shell loop opens the link once.
    const Outcome r = run("EXEC -- sh -c 'i2cget -y 0 0x50 0x11 & i2cget -y 0 0x27 & "
                          "for i in 1 2 3 4 5 6 7 8; do i2cget -y 0 0x50 0x12 w; done; wait' "
                          "| sort");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out,
              "0x41\n0x4342\n0x4342\n0x4342\n0x4342\n0x4342\n0x4342\n0x4342\n0x4342\n0xff\n");
    EXPECT_EQ(opens(), 1);
    EXPECT_TRUE(closedCleanly());
}

TEST_F(Exec, AClientThatDiesMidRequestWedgesNothing) {
    sim.setTiming(Timing::Real); // a dump of a few seconds, killed within its first second
    const Outcome r =
        run("EXEC -- sh -c 'i2cdump -y 0 0x50 b >/dev/null & sleep 0.5; kill -9 $!; wait; "
            // A request cut off in its frame, then one malformed, from clients that go away.
            "PY -c \"import os, socket; s = socket.socket(socket.AF_UNIX); "
            "s.connect(os.environ[\\\"TAVRO_I2CDEV\\\"].split(\\\"=\\\")[1]); "
            "s.send(b\\\"\\\\x30\\\")\"; "
            "PY -c \"import os, socket; s = socket.socket(socket.AF_UNIX); "
            "s.connect(os.environ[\\\"TAVRO_I2CDEV\\\"].split(\\\"=\\\")[1]); "
            "s.send(bytes([2, 0, 0, 0, 9, 9])); s.recv(1)\"; "
            "i2cget -y 0 0x50 0x11'");
    EXPECT_EQ(r.exitCode(), 0) << r.err;
    EXPECT_EQ(r.out, "0x41\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Exec, OtherPathsAndBusesAreLeftAlone) {
    const Outcome r = run(
        "EXEC --bus 3 -- sh -c '"
        "i2cget -y 0 0x50 0x11; echo $?; i2cget -y 3 0x50 0x11; "
        "PY -c \"import os, stat; s = os.stat(\\\"/dev/i2c-3\\\"); "
        "print(stat.S_ISCHR(s.st_mode), os.major(s.st_rdev), os.minor(s.st_rdev), "
        "os.access(\\\"/dev/i2c/3\\\", os.R_OK | os.W_OK), os.path.realpath(\\\"/dev/i2c-3\\\"), "
        "stat.S_ISCHR(os.fstat(os.open(\\\"/dev/i2c-3\\\", os.O_RDWR)).st_mode), "
        "os.path.exists(\\\"/dev/i2c-4\\\"))\"; "
        "head -c 5 " TAVRO_I2C_BINARY " | tail -c 3 | od -An -c'; echo $?");
    EXPECT_EQ(r.out, "1\n0x41\nTrue 89 3 True /dev/i2c-3 True False\n   L   F 002\n0\n");
    EXPECT_EQ(r.err, "Error: Could not open file `/dev/i2c-0' or `/dev/i2c/0': No such file or "
                     "directory\n");
    // Without a door in the environment the library changes nothing.
    const Outcome alone = run("LD_PRELOAD=" TAVRO_I2CDEV_LIBRARY " i2cget -y 3 0x50 0x11");
    EXPECT_EQ(alone.exitCode(), 1);
    EXPECT_EQ(alone.err, "Error: Could not open file `/dev/i2c-3' or `/dev/i2c/3': No such file "
                         "or directory\n");
}

TEST_F(Exec, ExitsAsTheProgramAndSignalsReachIt) {
    EXPECT_EQ(run("EXEC -- sh -c 'exit 3'").exitCode(), 3);
    const Outcome missing = run("EXEC -- no-such-program-here");
    EXPECT_EQ(missing.exitCode(), 127);
    EXPECT_EQ(missing.err, "tavro-i2c: exec: cannot run no-such-program-here: No such file or "
                           "directory\n");

    // A stop signal while the link opens: the program never starts, and the link is closed.
    sim.clearReceived();
    sim.setReplyDelay(300);
    const std::string ran = script_path + ".ran";
    const Outcome early = run("exec EXEC -- touch " + ran, [&](pid_t pid) {
        sim.waitUntil([&] { return !sim.received().empty(); }, 10000);
        kill(pid, SIGTERM);
    });
    sim.setReplyDelay(0);
    EXPECT_EQ(early.exitCode(), 128 + SIGTERM);
    EXPECT_NE(access(ran.c_str(), F_OK), 0);
    EXPECT_TRUE(closedCleanly());

    // Ctrl+C reaches the whole group at the terminal; SIGTERM comes to exec alone.
    sim.setTiming(Timing::Real);
    for (const int signal : {SIGINT, SIGTERM}) {
        sim.clearReceived();
        const int before = sim.transfers();
        const Outcome r = run("exec EXEC -- i2cdump -y 0 0x50 b", [&](pid_t pid) {
            sim.waitUntil([&] { return sim.transfers() > before + 20; }, 10000);
            kill(signal == SIGINT ? -pid : pid, signal);
        });
        EXPECT_TRUE(WIFSIGNALED(r.wait_status) && WTERMSIG(r.wait_status) == signal)
            << r.wait_status << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(closedCleanly());
    }
}

} // namespace
