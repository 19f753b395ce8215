// tavro-i2c run against the adapter simulator: a saved list sent as the window sends it, its
// lines, its CSV log, its saved list, its bus events, /INT, and a stop by signal.
#include "list_file.h"
#include "list_runner.h"

#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tavrosim;
using Fields = std::vector<std::string>;

// A write of two bytes at offset 0, the pointer set back without a Stop, a read of two bytes
// after a delay of 100, and a write to the absent 0x05 (the one-digit address "A").
const char *const LIST = "QVT I2C Message List File V2\n"
                         "$A0,W,Y,$0000,00,12,34,\n"
                         "$A0,W,N,$0000,00,\n"
                         "$A0,R,Y,$0064,FF,FF,\n"
                         "$A,W,Y,$0000,01,\n"
                         "AutoRepeat = OFF\nSendOnInt = OFF\nEnd of Sequence\n";
// Each row's line after the time and the pass, and its outcome.
const Fields ROWS = {"1 0x50 w 0x00 0x12 0x34 ok", "2 0x50 w 0x00 ok", "3 0x50 r 0x12 0x34 ok",
                     "4 0x05 w 0x01 nak"};

struct Ended {
    int status; // 128 + the signal when killed
    std::string out, err;
};

// RFC 4180 records of fields that need no quotes: CRLF ends each record, a comma each field.
std::vector<Fields> parseCsv(const std::string &text) {
    std::vector<Fields> records;
    for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        std::istringstream record(text.substr(start, end - start) + ",");
        records.emplace_back();
        for (std::string field; std::getline(record, field, ',');)
            records.back().push_back(field);
    }
    EXPECT_EQ(text.size() - (text.rfind("\r\n") + 2), 0u) << "a record without its CRLF";
    return records;
}

class Run : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        sim.startThread();
        write(list, LIST);
    }
    void TearDown() override {
        for (const std::string &path : {list, out, err, log, saved})
            unlink(path.c_str());
    }
    static void write(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Starts tavro-i2c run with these arguments (PORT, LIST, LOG and SAVED stand for the
    // simulator's port and the files).
    pid_t start(std::string args) {
        for (const auto &[name, path] :
             {std::pair<std::string, std::string>{"PORT", sim.slavePath()},
              {"LIST", list},
              {"LOG", log},
              {"SAVED", saved}})
            for (std::size_t at; (at = args.find(name)) != std::string::npos;)
                args.replace(at, name.size(), path);
        const std::string line =
            "exec " TAVRO_I2C_BINARY " run -y " + args + " >" + out + " 2>" + err;
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            _exit(127);
        }
        return pid;
    }
    // Waits for it to end, killing it after 20 s.
    Ended finish(pid_t pid) {
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
            if (waited == 2000)
                kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read(out),
                read(err)};
    }
    Ended run(const std::string &args) { return finish(start(args)); }
    // The output lines, each without its time; the times apart.
    Fields lines(const std::string &text, std::vector<double> *times = nullptr) {
        Fields result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const std::size_t blank = line.find(' ');
            if (times)
                times->push_back(std::stod(line.substr(0, blank)));
            result.push_back(line.substr(blank + 1));
        }
        return result;
    }
    Fields passes(int count) {
        Fields expected;
        for (int pass = 1; pass <= count; ++pass)
            for (const std::string &row : ROWS)
                expected.push_back(std::to_string(pass) + " " + row);
        return expected;
    }
    std::string sent() {
        std::string bytes;
        for (const Received &r : sim.received())
            bytes += r.bytes;
        return bytes;
    }
    bool closedCleanly() { return sent().rfind("/c\r\x12\x12\x12") == sent().size() - 6; }
    PtySimulator sim{tavrosim::Variant::Solx};
    const std::string base = testing::TempDir() + "tavro-run-" + std::to_string(getpid());
    const std::string list = base + ".iml", out = base + ".out", err = base + ".err",
                      log = base + ".csv", saved = base + "-saved.iml";
};

TEST_F(Run, OnceSendsEachRowWithALineALogRecordAndSavesTheBytesRead) {
    const Ended r = run("-p PORT --log LOG --save SAVED LIST");
    EXPECT_EQ(r.status, 1) << r.err; // the NAK
    std::vector<double> times;
    ASSERT_EQ(lines(r.out, &times), passes(1));
    EXPECT_GE(times[3] - times[2], 0.020) << "a delay of 100 waits 10 ticks of 2 ms";
    EXPECT_NE(sent().find("/dA0\r/t~00~12~34\r/dA0\r/*t~00\r/dA0\r/r2\r/d0A\r/t~01\r/c\r"),
              std::string::npos);
    EXPECT_TRUE(closedCleanly());

    const std::vector<Fields> csv = parseCsv(read(log));
    ASSERT_EQ(csv.size(), 5u);
    EXPECT_EQ(csv[0], (Fields{"time", "elapsed_s", "pass", "row", "address", "direction", "bytes",
                              "outcome", "round_trip_ms"}));
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
    for (std::size_t i = 1; i < csv.size(); ++i) {
        const Fields &f = csv[i];
        ASSERT_EQ(f.size(), 9u);
        EXPECT_TRUE(std::regex_match(f[0], iso)) << f[0];
        EXPECT_NEAR(std::stod(f[1]), times[i - 1], 1e-6);
        const std::string bytes = f[6].empty() ? "" : " " + f[6];
        EXPECT_EQ(f[2] + " " + f[3] + " " + f[4] + " " + f[5] + bytes + " " + f[7],
                  passes(1)[i - 1]);
        EXPECT_GE(std::stod(f[8]), 0.0);
    }

    ListFile reread;
    ASSERT_EQ(parseListText(read(saved), reread), ListFileStatus::Ok);
    ASSERT_EQ(reread.messages.size(), 4u);
    EXPECT_EQ(reread.messages[2].data, "12,34,");
    EXPECT_EQ(reread.messages[0].data, "00,12,34,");
}

TEST_F(Run, CountAndFlagsSayHowOftenAndBusEventsSkipRetryOrStop) {
    const struct {
        const char *args;
        Fault fault;
        int faults;
        Fields outcomes; // the rows' lines, "pass row ... outcome", in order
    } cases[] = {
        {"--count 3", Fault::Nak, 0, passes(3)},
        {"--stop-on nak --count 3", Fault::Nak, 0, passes(1)},
        {"", Fault::Busy, 2, {"1 1 0x50 w 0x00 0x12 0x34 busy", "1 1 0x50 w 0x00 0x12 0x34 busy"}},
        {"--stop-on arb,busy", Fault::Busy, 1, {"1 1 0x50 w 0x00 0x12 0x34 busy"}},
        {"", Fault::ArbitrationLost, 1, {"1 1 0x50 w 0x00 0x12 0x34 arb-lost"}},
        {"--stop-on arb", Fault::ArbitrationLost, 1, {"1 1 0x50 w 0x00 0x12 0x34 arb-lost"}},
    };
    for (const auto &c : cases) {
        Fields expected = c.outcomes;
        if (c.faults > 0 && std::string(c.args).empty()) // retried or skipped, then the rest
            for (std::size_t row = c.fault == Fault::Busy ? 0 : 1; row < ROWS.size(); ++row)
                expected.push_back("1 " + ROWS[row]);
        sim.failNext(c.fault, c.faults);
        std::vector<double> times;
        const Ended r = run(std::string("-p PORT ") + c.args + " LIST");
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(lines(r.out, &times), expected) << c.args;
        if (c.fault == Fault::Busy && c.faults == 2 && times.size() > 1) {
            EXPECT_GE(times[1] - times[0], 0.020) << "a busy bus is retried after 20 ms";
        }
        EXPECT_TRUE(closedCleanly()) << c.args;
    }
    write(list, std::string(LIST).replace(std::string(LIST).find("OFF"), 3, "ON"));
    const int before = sim.transfers();
    const pid_t pid = start("-p PORT LIST"); // AutoRepeat: until stopped
    EXPECT_TRUE(sim.waitUntil([&] { return sim.transfers() > before + 3 * 4; }, 10000));
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid).status, 128 + SIGTERM);
}

TEST_F(Run, OnIntRunsOncePerAssertionAndOnceMoreForThoseDuringARun) {
    sim.setReplyDelay(40); // a pass takes long enough to assert /INT during it
    const pid_t pid = start("-p PORT --on-int --count 3 LIST");
    auto toggle = [&] {
        sim.setInterrupt(true);
        sim.setInterrupt(false);
    };
    ASSERT_TRUE(sim.waitUntil([&] { return sent().find("/n1\r") != std::string::npos; }, 10000));
    toggle();
    EXPECT_TRUE(sim.waitUntil([&] { return sim.transfers() >= 1; }, 10000));
    toggle(); // during pass 1: served by pass 2, once
    toggle();
    EXPECT_TRUE(sim.waitUntil([&] { return sim.transfers() >= 8; }, 10000));
    EXPECT_FALSE(sim.waitUntil([&] { return sim.transfers() > 8; }, 300)) << "pass 3 unasked";
    toggle();
    const Ended r = finish(pid);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lines(r.out), passes(3));
    EXPECT_TRUE(closedCleanly());
}

TEST_F(Run, StopSignalDuringForeverClosesTheLinkAndLeavesACompleteLog) {
    // Without delays a stop signal always finds the run awaiting a reply; the delay of 60000
    // holds it 12 s after row 3.
    const std::tuple<int, const char *, long, const char *> cases[] = {
        {SIGINT, "$0000", 21, "interrupted"}, {SIGTERM, "$ea60", 4, "ok"}};
    for (const auto &[signal, delay, lines, last] : cases) {
        write(list, std::string(LIST).replace(std::string(LIST).find("$0064"), 5, delay));
        unlink(log.c_str());
        sim.clearReceived();
        const int before = sim.transfers();
        const pid_t pid = start("-p PORT --forever --log LOG LIST");
        // Written as it goes: the records are in the file while the run is on.
        EXPECT_TRUE(sim.waitUntil(
            [&, lines = lines] {
                const std::string text = read(log);
                return std::count(text.begin(), text.end(), '\n') >= lines;
            },
            10000));
        kill(pid, signal);
        EXPECT_EQ(finish(pid).status, 128 + signal);
        EXPECT_TRUE(closedCleanly());
        const std::vector<Fields> csv = parseCsv(read(log));
        EXPECT_EQ(static_cast<int>(csv.size()) - 1, sim.transfers() - before);
        for (const Fields &record : csv)
            EXPECT_EQ(record.size(), 9u);
        EXPECT_EQ(csv.back().size() > 7 ? csv.back()[7] : "", last) << "the last record";
    }
}

// The list with text inserted before line n (counted from 1), or the first "from" replaced.
std::string edited(int n, const std::string &text) {
    std::string list = LIST;
    std::size_t at = 0;
    for (int line = 1; line < n; ++line)
        at = list.find('\n', at) + 1;
    return list.insert(at, text);
}
std::string edited(const std::string &from, const std::string &to) {
    std::string list = LIST;
    return list.replace(list.find(from), from.size(), to);
}

TEST_F(Run, WhatCannotRunExits2AndSendsNothing) {
    const std::string garbage = edited(4, "garbage\n");
    const std::tuple<std::string, const char *, std::string> cases[] = {
        {"QVT I2C Message List File V2\nAutoRepeat = OFF\n", "", "holds no message"},
        {LIST, "--count 0", "--count"},
        {LIST, "--once --forever", "exclude"},
        {LIST, "--stop-on nack", "--stop-on"},
        {LIST, "-d sol --on-int", "/INT monitor"},
        {LIST, "LIST", "one list file"},
        {LIST, "--log LIST", "the list itself"},
        {LIST, "--log LOG --save LOG", "name one file: give the log a file of its own"},
        {LIST, "--log --once", "--log --once: a file name that begins with -- needs ./ before it"},
        {LIST, "--save=--x", "--save --x: a file name that begins with -- needs ./ before it"},
        {LIST, "-p /dev/null --log LOG", "/dev/null is not a terminal"},
        {LIST, "--save /nonexistent/x.iml --log LOG",
         "--save /nonexistent/x.iml: No such file or directory; nothing was sent\n"},
        {LIST, "--log /tmp --save SAVED", "--log /tmp: Is a directory; nothing was sent\n"},
        {garbage, "--save LIST", "--save " + list + ": saving the list over itself would lose"},
        {garbage, "--strict --save SAVED --log LOG", "which --strict refuses; nothing was sent\n"},
    };
    write(log, "an old log\n");
    write(saved, "an old list\n");
    for (const auto &[text, args, words] : cases) {
        write(list, text);
        const Ended r = run(std::string("-p PORT ") + args + " LIST");
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
        EXPECT_EQ(read(list), text) << args;
    }
    EXPECT_EQ(read(log), "an old log\n");
    EXPECT_EQ(read(saved), "an old list\n");
    // A list without line ends is judged by its first characters, not read to its end.
    const Ended zero = run("-p PORT /dev/zero");
    EXPECT_EQ(zero.status, 2);
    EXPECT_EQ(zero.err, "tavro-i2c: /dev/zero: Not an QVT I2C Message List file!\n");
    EXPECT_TRUE(sent().empty());
}

// The window shows the list it read; from the shell each line that the reader's rules skip, or
// read otherwise than written, is named before anything is sent, and --strict refuses them.
TEST_F(Run, ListLinesSkippedOrReadOddlyAreToldAndStrictRefusesThem) {
    const struct {
        std::string text;
        const char *told; // LIST stands for the list's path
        std::size_t rows; // lines of the run
    } cases[] = {
        {edited(4, "garbage\n"),
         "LIST:4: not a message line: skipped, and the message lines end here\n"
         "LIST:5: a message line after the message lines ended: skipped\n"
         "LIST:6: a message line after the message lines ended: skipped\n",
         2},
        {edited(3, "\n"),
         "LIST:3: an empty line: skipped, and the message lines end here\n"
         "LIST:4: a message line after the message lines ended: skipped\n"
         "LIST:5: a message line after the message lines ended: skipped\n"
         "LIST:6: a message line after the message lines ended: skipped\n",
         1},
        {edited("$A,W", " $A,W"),
         "LIST:5: not a message line: skipped, and the message lines "
         "end here\n",
         3},
        {edited("$0064", "$00G4"),
         "LIST:4: the delay '00G4' holds a character that is not a hex digit: read as 0000 "
         "(0 ms)\n",
         4},
        {edited("$A0,W,N", "$A0,w,N"),
         "LIST:3: the direction 'w' is neither W nor R: read as R, a read\n", 4},
        {edited("$A0,R,Y", "$A0,R,y"), "LIST:4: the Stop 'y' is neither Y nor N: read as Y\n", 4},
        {edited("$A0,W,N,$0000,00,", "$A00,W,N,$0000,00,13"),
         "LIST:3: the address 'A00' is read as 'A0'\n"
         "LIST:3: the text '13' after the data's last comma is not read\n",
         4},
        {edited("$A,W,Y,$0000,01,", "$A,W,Y,$01,"),
         "LIST:5: no delay of four digits after \",$\": read with delay 0 and no data\n", 4},
        {edited(9, "$A0,W,Y,$0000,00,\n"),
         "LIST:9: follows \"End of Sequence\": not read, nor any line after it\n", 4},
        {edited("$A,W,Y,$0000,01,", "$A,W,Y,$0000,01," + std::string(250, ' ') + "02,"),
         "LIST:5: longer than 254 characters: the rest of the line is not read\n", 4},
        {std::regex_replace(LIST, std::regex("\n"), "\r\n"), "", 4}, // nothing lost
    };
    for (const auto &c : cases) {
        write(list, c.text);
        const std::string told =
            std::regex_replace(c.told, std::regex("LIST"), "tavro-i2c: " + list);
        const Ended r = run("-p PORT LIST");
        EXPECT_EQ(r.err.substr(0, told.size()), told) << c.text;
        EXPECT_EQ(r.err.find(list + ":", told.size()), std::string::npos) << r.err; // no more
        EXPECT_EQ(lines(r.out).size(), c.rows) << c.text;
    }
    write(list, cases[0].text);
    sim.clearReceived();
    const Ended strict = run("--strict -p PORT LIST");
    EXPECT_EQ(strict.status, 2);
    EXPECT_EQ(strict.err,
              std::regex_replace(cases[0].told, std::regex("LIST"), "tavro-i2c: " + list) +
                  "tavro-i2c: " + list +
                  ": not every line reads as written, which --strict refuses; nothing "
                  "was sent\n");
    EXPECT_TRUE(sent().empty());
}

// A rotation that empties the log while the run goes on (logrotate's copytruncate) leaves
// the records that follow at its head, not after a hole of NUL bytes.
TEST_F(Run, ALogCutDuringARunGoesOnFromItsHead) {
    const pid_t pid = start("-p PORT --forever --log LOG LIST");
    auto records = [&] {
        const std::string text = read(log);
        return std::count(text.begin(), text.end(), '\n');
    };
    ASSERT_TRUE(sim.waitUntil([&] { return records() >= 20; }, 10000));
    ASSERT_EQ(truncate(log.c_str(), 0), 0);
    EXPECT_TRUE(sim.waitUntil([&] { return records() >= 8; }, 10000));
    kill(pid, SIGINT);
    EXPECT_EQ(finish(pid).status, 128 + SIGINT);
    const std::string text = read(log);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("^\\d{4}-"))) << text.substr(0, 40);
}

TEST_F(Run, BadAddressStopsTheRunThereWithTheProgramsWords) {
    write(list, std::string(LIST).replace(std::string(LIST).find("$A0,W,N"), 3, "$A1"));
    const Ended r = run("-p PORT --count 2 LIST");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.out), Fields{"1 " + ROWS[0]});
    EXPECT_NE(r.err.find(std::string("row 2: ") + BAD_ADDRESS_TEXT), std::string::npos) << r.err;
    EXPECT_TRUE(closedCleanly());
}

} // namespace
