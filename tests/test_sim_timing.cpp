// The simulator keeping a real line's time, seen through the program's own serial code and
// link opening; and the program's request for low latency on its port.
#include "support.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <gdk/gdkkeysyms.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

using namespace tavrosim;

// While serial_driver is set, the stand-in answers as a serial driver with these settings.
// With report_release set, it writes a line when the low-latency flag is cleared (from a
// signal handler too).
static bool serial_driver = false;
static bool report_release = false;
static serial_struct driver{};

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    auto &settings = *static_cast<serial_struct *>(argument);
    if (serial_driver && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        static const char released[] = "low latency off\n";
        if (report_release && request == TIOCSSERIAL && (driver.flags & ASYNC_LOW_LATENCY) &&
            !(settings.flags & ASYNC_LOW_LATENCY) &&
            write(STDOUT_FILENO, released, sizeof released - 1) < 0)
            return -1;
        request == TIOCGSERIAL ? settings = driver : driver = settings;
        return 0;
    }
    static const auto next = reinterpret_cast<decltype(&ioctl)>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}

namespace {

// A simulated Solx on a line that keeps its time, left at rate, chosen in the window.
struct RealLink : SimLink {
    explicit RealLink(int rate = kResetRate) : SimLink(Variant::Solx, rate) {
        sim.setTiming(Timing::Real);
    }
    // Opens the link at rate; returns the milliseconds it took.
    double open(int rate) {
        baudrate_value = rate;
        const gint64 start = g_get_monotonic_time();
        EXPECT_TRUE(SimLink::open()) << rate;
        return double(g_get_monotonic_time() - start) / 1000.0;
    }
};

} // namespace

TEST(RealTiming, LinkOpensAtEveryRateAndServesAChattyAdapter) {
    for (int rate : {19200, 57600, 115200}) {
        std::atomic<int> chatter{0}; // transmissions that do not start with a reply
        RealLink link(rate);         // left at the rate the link asks for
        link.sim.setTrace([&](const std::string &line) {
            chatter += line.rfind("tx ", 0) == 0 && line.find(" \"/") == std::string::npos;
        });
        link.sim.with([](Adapter &a) { a.setChatty(true); });
        ErrorBoxCloser closer; // a fault shows as a box, which would wait for a click
        // Three 20 ms reset pauses; /K2 /b2 out and /BC2 back up to its CR at 19200; then
        // /f0 /h1 /iFE /n0 /o out and /OCC back up to its CR at the chosen rate; each byte
        // 10 bit times, 10000 ms / rate.
        EXPECT_GE(link.open(rate), 60 + 13 * 10000.0 / 19200 + 25 * 10000.0 / rate) << rate;
        for (int n = 1; n <= 10; ++n)
            putRow(n, "4E", n % 2 ? "W" : "R", n % 2 ? "5A," : "00,");
        gui_send(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return getSendMode() == 0; }, 10000));
        EXPECT_EQ(row(10), "10|4E|R|5A,|1|10");
        EXPECT_GT(chatter.load(), 1) << "besides the answer to the reset";
        ASSERT_TRUE(link.close());
    }
}

TEST(RealTiming, ThirtyTwoByteReadComesAtItsLinesPaceOverManyReads) {
    RealLink link;
    ASSERT_TRUE(openSerial(link.sim.slavePath().c_str()));
    configureSerial(19200);
    const gint64 start = g_get_monotonic_time();
    writeSerial("/o\r/dA0\r/r32\r");
    std::string got;
    int reads = 0;
    while (got.size() < 6 + 102 && g_get_monotonic_time() < start + 5 * G_USEC_PER_SEC) {
        pollfd p{PORT_DESCRIPTOR, POLLIN, 0};
        char buffer[256];
        const ssize_t n = poll(&p, 1, 100) == 1 ? read(PORT_DESCRIPTOR, buffer, sizeof buffer) : 0;
        got.append(buffer, std::size_t(std::max<ssize_t>(n, 0)));
        reads += n > 0;
    }
    ASSERT_EQ(got.size(), 6 + 102u);
    EXPECT_EQ(got.substr(0, 13), "/OCC\r\n/MRC 00");
    // 13 bytes out, then the 102 bytes of the read's reply.
    EXPECT_GE(double(g_get_monotonic_time() - start) / 1000.0, (13 + 102) * 10000.0 / 19200);
    EXPECT_GT(reads, 2);
    closeSerial();
}

TEST(RealTiming, ResetStillOnTheWireWhenTheRateChangesIsNotTaken) {
    RealLink link;
    tavrosim::PtySimulator &sim = link.sim;
    ASSERT_TRUE(openSerial(sim.slavePath().c_str()));
    configureSerial(19200);
    // A command, 39 ms of line ends, a reset: once the command is in, the reset is still on
    // its way when the rate changes, as it is without the reset's pause.
    writeSerial(("/iFE\r" + std::string(75, '\r') + "\x12\x12\x12").c_str());
    ASSERT_TRUE(sim.waitUntil([&] { return !sim.received().empty(); }, 5000));
    configureSerial(57600);
    ASSERT_TRUE(sim.waitUntil([&] { return sim.received().size() == 2; }, 5000));
    EXPECT_EQ(sim.received().back().rate, 57600) << "the reset was taken before its time";
    closeSerial();
}

TEST(Interrupt, ReportedOnChangesOnlyAndWhenTheMonitorComesOn) {
    Adapter a(Variant::Solx);
    a.setInterrupt(true);
    a.receive("/n1\r", a.rate()); // the host learns of the earlier assertion at once
    for (bool asserted : {true, false, false, true})
        a.setInterrupt(asserted);
    EXPECT_EQ(a.takeOutput().size(), 3u); // NSA, NSR, NSA
}

// The menu's Exit, its Ctrl+Q, the window's close button and SIGTERM.
void (*const ways_out[])() = {
    [] {
        gtk_menu_item_activate(
            GTK_MENU_ITEM(gtk_item_factory_get_widget(item_factory, "/File/Exit")));
    },
    [] { gtk_accel_groups_activate(G_OBJECT(window), GDK_q, GDK_CONTROL_MASK); },
    [] { closeByWindowManager(window); }, [] { kill(getpid(), SIGTERM); }};

TEST(LowLatency, EveryWayOutGivesItBack) {
    serial_driver = true;
    for (int way = 0; way < 4; ++way) {
        SimLink link; // opened, or (every other way) left open by an opening that timed out
        ErrorBoxCloser closer;
        link.sim.setSilent(way % 2 == 1);
        gui_open(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return statusText().find("Connecting") != 0; }));
        ASSERT_EQ(driver.flags, ASYNC_LOW_LATENCY) << way;
        g_idle_add(
            [](gpointer n) {
                ways_out[GPOINTER_TO_INT(n)]();
                return FALSE;
            },
            GINT_TO_POINTER(way));
        // A way that does not end the main loop fails the case after 5 s.
        const guint limit = g_timeout_add_seconds(
            5,
            [](gpointer) -> gboolean {
                gtk_main_quit();
                return TRUE;
            },
            nullptr);
        gtk_main();
        g_source_remove(limit);
        EXPECT_EQ(driver.flags, 0) << way;
        EXPECT_TRUE(way % 2 || link.close()); // the next opening starts from a closed link
    }
    serial_driver = false;
}

namespace {

// The modal boxes, each opened from the main loop as the program opens it, with what the
// program prints on the way.
struct Box {
    const char *name;
    void (*open)();
    const char *printed;
};
const Box boxes[] = {
    {"error box", [] { showError("Something failed."); }, "Alert!\a\n"},
    {"time-out box", [] { startWatchdog(); }, "Timed out!\nAlert!\a\n"},
    {"chooser", [] { gui_file_open(nullptr, 0, nullptr); }, ""},
    {"editor",
     [] {
         GtkTreePath *first = gtk_tree_path_new_first();
         gui_openRow(GTK_TREE_VIEW(view), first, nullptr, nullptr);
         gtk_tree_path_free(first);
     },
     ""},
    {"question", [] { showYesNo(); }, ""},
};

// The program in a process of its own, with the port's driver at low latency: it opens box,
// says "box open" once it stands, and, when stuck, then keeps its main thread away from the
// loop for 5 s. Returns only if the main loop ends.
void runProgramWithBox(int box, bool stuck) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ensureMainWindow();
    serial_driver = report_release = true;
    openSerial("/dev/null");
    requestLowLatency();
    std::puts("program started");
    g_idle_add(
        [](gpointer box) {
            boxes[GPOINTER_TO_INT(box)].open();
            return FALSE;
        },
        GINT_TO_POINTER(box));
    whenDialogOpens([stuck](GtkWidget *) {
        std::puts("box open");
        if (stuck)
            g_usleep(5 * G_USEC_PER_SEC);
    });
    gtk_main();
    std::puts("main loop ended");
}

struct Ending {
    std::string printed; // after "program started"
    int status = -1;
    double seconds = -1; // from the signal to the end
};

// Runs this test in a new process as the program with that box open, and sends it signals
// once the box stands.
Ending endWithSignals(int box, bool stuck, std::vector<int> signals) {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string filter = "--gtest_filter=LowLatency." + test;
    char *argv[] = {const_cast<char *>("/proc/self/exe"), const_cast<char *>(filter.c_str()),
                    nullptr};
    gchar **env = g_environ_setenv(g_get_environ(), "SENDRAL_BOX",
                                   (std::to_string(box) + (stuck ? "s" : "")).c_str(), TRUE);
    GPid pid = 0;
    int out = -1;
    Ending ending;
    const bool spawned =
        g_spawn_async_with_pipes(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                 &pid, nullptr, &out, nullptr, nullptr);
    g_strfreev(env);
    if (!spawned)
        return ending;
    std::string all;
    const auto readFor = [&](int ms) {
        pollfd ready{out, POLLIN, 0};
        char buffer[512];
        ssize_t n = 0;
        if (poll(&ready, 1, ms) == 1 && (n = read(out, buffer, sizeof buffer)) > 0)
            all.append(buffer, std::size_t(n));
        return n > 0;
    };
    for (const gint64 end = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
         all.find("box open\n") == std::string::npos && g_get_monotonic_time() < end;)
        readFor(100);
    const gint64 signalled = g_get_monotonic_time();
    for (int signal_number : signals)
        kill(pid, signal_number);
    int status = 0;
    for (const gint64 end = signalled + 10 * G_USEC_PER_SEC;
         waitpid(pid, &status, WNOHANG) == 0 && g_get_monotonic_time() < end;)
        g_usleep(1000);
    ending.seconds = double(g_get_monotonic_time() - signalled) / G_USEC_PER_SEC;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL); // it did not end: the case fails on its time
        waitpid(pid, &status, 0);
    }
    while (readFor(0)) {
    }
    close(out);
    ending.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::size_t start = all.find("program started\n");
    ending.printed = start == std::string::npos ? all : all.substr(start + 16);
    return ending;
}

} // namespace

TEST(LowLatency, ATerminationSignalEndsTheProgramWhateverBoxIsOpen) {
    if (const char *box = std::getenv("SENDRAL_BOX")) {
        runProgramWithBox(std::atoi(box), box[std::strlen(box) - 1] == 's');
        return;
    }
    const std::string ended = "box open\nlow latency off\nExiting.\n";
    const int signal_of[] = {SIGTERM, SIGINT, SIGHUP, SIGTERM, SIGTERM};
    for (int box = 0; box < 5; ++box) {
        const Ending ending = endWithSignals(box, false, {signal_of[box]});
        EXPECT_EQ(ending.printed, boxes[box].printed + ended) << boxes[box].name;
        EXPECT_EQ(ending.status, 0) << boxes[box].name;
        EXPECT_LT(ending.seconds, 1.0) << boxes[box].name;
    }
    // A main thread that does not come back to its loop: a second signal ends it at once. (Two
    // of one kind sent together would arrive as one.)
    const Ending ending = endWithSignals(0, true, {SIGTERM, SIGINT});
    EXPECT_EQ(ending.printed, boxes[0].printed + ended);
    EXPECT_EQ(ending.status, 0);
    EXPECT_LT(ending.seconds, 1.0);
}
