// The main window as built, its control state across link, send and variant changes, the
// notices, and a whole start and quit of the program.
#include "gui_callbacks.h"
#include "gui_create.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

GtkWidget *item(const char *path) {
    return gtk_item_factory_get_widget(item_factory, path);
}
bool sensitive(GtkWidget *w) {
    return GTK_WIDGET_IS_SENSITIVE(w);
}
bool visible(GtkWidget *w) {
    return GTK_WIDGET_VISIBLE(w);
}

std::string title() {
    return gtk_window_get_title(GTK_WINDOW(window));
}

} // namespace

TEST(MainWindow, StartsClosedIdleWithVariantZero) {
    ensureMainWindow();
    EXPECT_EQ(title(), "Tavro Sendral - [ new list ]");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), "Link Closed");
    EXPECT_FALSE(gtk_editable_get_editable(GTK_EDITABLE(status)));
    EXPECT_TRUE(sensitive(button_open));
    EXPECT_TRUE(visible(button_send));
    EXPECT_FALSE(sensitive(button_send));
    EXPECT_FALSE(visible(button_stop));
    EXPECT_FALSE(sensitive(button_close));
    EXPECT_FALSE(visible(label_int_asserted));
    EXPECT_TRUE(visible(label_int_released));
    EXPECT_FALSE(sensitive(sendonint));
    EXPECT_FALSE(sensitive(beepon_interrupt_control));
    EXPECT_FALSE(sensitive(interrupt_monitor_control));
    EXPECT_TRUE(sensitive(item("/Options/RS-232 Baud Rate...")));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(rb1)));
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_EQ(getSendMode(), 0);
    EXPECT_EQ(getDevice(), 0);
    EXPECT_EQ(gui_getBaudRate(), 19200);
    EXPECT_EQ(gui_getClockSpeed(), 100);
    EXPECT_TRUE(current_filename.empty());

    // The list: 50 numbered rows under six columns.
    const char *titles[] = {"Msg #", "Address", "R/W", "Message", "Stop", "Delay"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(
            gtk_tree_view_column_get_title(gtk_tree_view_get_column(GTK_TREE_VIEW(view), i)),
            titles[i]);
    EXPECT_EQ(gtk_tree_model_iter_n_children(MODEL, nullptr), 50);
    EXPECT_FALSE(gtk_tree_view_get_enable_search(GTK_TREE_VIEW(view)));
    EXPECT_EQ(gtk_tree_selection_get_mode(sel), GTK_SELECTION_SINGLE);

    // The port chooser shows the first port found, or nothing.
    const std::string shown = getSerialPort();
    EXPECT_EQ(shown, getNumDetectedPorts() > 0 ? getDetectedPort(0) : "");
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), "/dev/typed-by-hand");
    EXPECT_STREQ(getSerialPort(), "/dev/typed-by-hand");
}

TEST(MainWindow, MenuItemsAndAccelerators) {
    ensureMainWindow();
    for (const char *path :
         {"/File/New List", "/File/Open List...", "/File/Save List", "/File/Save List As...",
          "/File/Exit", "/Options/RS-232 Baud Rate...", "/Options/I2C Bus Clock Speed...",
          "/Help/ReadMe...", "/Help/Revision Report...", "/Help/Quick Start...", "/Help/About..."})
        EXPECT_NE(item(path), nullptr) << path;

    struct {
        const char *path;
        guint key;
        GdkModifierType mods;
    } accels[] = {
        {"<main>/File/New List", GDK_n, GDK_CONTROL_MASK},
        {"<main>/File/Open List...", GDK_o, GDK_CONTROL_MASK},
        {"<main>/File/Save List", GDK_s, GDK_CONTROL_MASK},
        {"<main>/File/Save List As...", GDK_s, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK)},
        {"<main>/File/Exit", GDK_q, GDK_CONTROL_MASK}};
    for (const auto &a : accels) {
        GtkAccelKey key{};
        ASSERT_TRUE(gtk_accel_map_lookup_entry(a.path, &key)) << a.path;
        EXPECT_EQ(gdk_keyval_to_lower(key.accel_key), a.key) << a.path;
        EXPECT_EQ(key.accel_mods, a.mods) << a.path;
    }
}

TEST(MainWindow, ControlPressQEndsTheMainLoop) {
    ensureMainWindow();
    g_timeout_add(
        50,
        [](gpointer) -> gboolean {
            gtk_accel_groups_activate(G_OBJECT(window), GDK_q, GDK_CONTROL_MASK);
            return FALSE;
        },
        nullptr);
    // A guard, so that a broken accelerator fails the test instead of hanging it.
    const guint guard = g_timeout_add(
        5000,
        [](gpointer) -> gboolean {
            ADD_FAILURE() << "Ctrl+Q did not quit";
            gtk_main_quit();
            return FALSE;
        },
        nullptr);
    gtk_main();
    g_source_remove(guard);
}

TEST(MainWindow, OnlyTheListRowGrowsWithTheWindow) {
    ensureMainWindow();
    pump(200);
    GtkWidget *options = gtk_widget_get_parent(gtk_widget_get_parent(status));
    const int list_before = scrolled_window->allocation.height;
    const int status_before = options->allocation.height;
    gtk_window_resize(GTK_WINDOW(window), 800, 1000);
    pumpUntil([&] { return window->allocation.height >= 1000; }, 2000);
    pump(100);
    EXPECT_GT(scrolled_window->allocation.height, list_before + 100);
    EXPECT_EQ(options->allocation.height, status_before);
}

TEST(ControlState, LinkAndSendStatesFollowTheTables) {
    ensureMainWindow();
    setButtonMode(1);
    EXPECT_EQ(getButtonMode(), 1);
    EXPECT_FALSE(sensitive(button_open));
    EXPECT_TRUE(sensitive(button_send));
    EXPECT_TRUE(sensitive(button_close));
    for (GtkWidget *w : {serial_port, rb1, rb2, rb3})
        EXPECT_FALSE(sensitive(w));

    setSendMode(1);
    EXPECT_EQ(getSendMode(), 1);
    EXPECT_FALSE(visible(button_send));
    EXPECT_TRUE(visible(button_stop));
    EXPECT_FALSE(sensitive(button_close));
    EXPECT_FALSE(sensitive(item("/File/New List")));
    EXPECT_FALSE(sensitive(item("/File/Open List...")));
    EXPECT_TRUE(sensitive(item("/File/Save List")));
    EXPECT_TRUE(sensitive(autorepeat));

    setSendMode(0);
    EXPECT_EQ(getSendMode(), 0);
    EXPECT_TRUE(visible(button_send));
    EXPECT_TRUE(sensitive(button_send));
    EXPECT_FALSE(visible(button_stop));
    EXPECT_TRUE(sensitive(button_close));
    EXPECT_TRUE(sensitive(item("/File/New List")));

    setButtonMode(0);
    EXPECT_EQ(getButtonMode(), 0);
    for (GtkWidget *w : {button_open, serial_port, rb1, rb2, rb3})
        EXPECT_TRUE(sensitive(w));
    EXPECT_FALSE(sensitive(button_send));
    EXPECT_FALSE(sensitive(button_close));

    // Ending a run with the link closed leaves Close Link greyed.
    setSendMode(1);
    setSendMode(0);
    EXPECT_FALSE(sensitive(button_close));
    EXPECT_TRUE(visible(button_send));
}

TEST(ControlState, VariantsByTheirRadioButtons) {
    ensureMainWindow();
    // A radio change runs the old variant's handler too, so leaving variant 0 passes
    // through its defaults.
    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    EXPECT_EQ(getDevice(), 1);
    EXPECT_EQ(gui_getBaudRate(), 115200);
    EXPECT_EQ(gui_getClockSpeed(), 100);
    EXPECT_TRUE(sensitive(sendonint));
    EXPECT_TRUE(sensitive(beepon_interrupt_control));
    EXPECT_TRUE(sensitive(interrupt_monitor_control));
    EXPECT_TRUE(sensitive(item("/Options/RS-232 Baud Rate...")));

    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb3), TRUE);
    EXPECT_EQ(getDevice(), 2);
    EXPECT_EQ(gui_getBaudRate(), 115200);
    EXPECT_EQ(gui_getClockSpeed(), 400);
    EXPECT_FALSE(sensitive(item("/Options/RS-232 Baud Rate...")));

    // Greying the /INT controls leaves their options alone.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sendonint), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(beepon_interrupt_control), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb1), TRUE);
    EXPECT_EQ(getDevice(), 0);
    EXPECT_EQ(gui_getBaudRate(), 19200);
    EXPECT_EQ(gui_getClockSpeed(), 100);
    EXPECT_FALSE(sensitive(sendonint));
    EXPECT_FALSE(sensitive(interrupt_monitor_control));
    EXPECT_TRUE(sensitive(item("/Options/RS-232 Baud Rate...")));
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(sendonint)));
    EXPECT_EQ(getOptionSendonInt(), 1);
    EXPECT_NE(getOptionBeeponInt(), 0);
}

TEST(ControlState, TitleLabelsAndCheckBoxSetters) {
    ensureMainWindow();
    setTitle("bench.iml");
    EXPECT_EQ(title(), "Tavro Sendral - [ bench.iml ]");
    const std::string long_name(300, 'x');
    setTitle(long_name.c_str());
    EXPECT_EQ(title(), "Tavro Sendral - [ " + long_name + " ]");

    setIntMode(1);
    setIntMode(1);
    EXPECT_TRUE(visible(label_int_asserted));
    EXPECT_FALSE(visible(label_int_released));
    setIntMode(0);
    EXPECT_FALSE(visible(label_int_asserted));
    EXPECT_TRUE(visible(label_int_released));

    // The option follows its box: all bits for the complemented options, 1 for Send on /INT.
    setAutorepeatCheckbox(1);
    EXPECT_EQ(getOptionAutorepeat(), ~0);
    setAutorepeatCheckbox(1);
    EXPECT_EQ(getOptionAutorepeat(), ~0);
    setAutorepeatCheckbox(0);
    EXPECT_EQ(getOptionAutorepeat(), 0);
    setSendonIntCheckbox(1); // works on a greyed box too
    EXPECT_EQ(getOptionSendonInt(), 1);
    setSendonIntCheckbox(0);
    EXPECT_EQ(getOptionSendonInt(), 0);
}

TEST(Notices, EveryErrorBoxStopsTheRunAndBeepsOnceBeforeShowing) {
    ensureMainWindow();
    setButtonMode(1);
    ALLOW_SEND = 1;
    INT_NEEDS_HANDLING = 1;
    setSendMode(1);

    StdoutCapture out;
    int beeps_while_open = -1;
    bool stopped_while_open = false;
    std::string text;
    whenDialogOpens([&](GtkWidget *box) {
        beeps_while_open = out.count("Alert!\a\n");
        stopped_while_open = ALLOW_SEND == 0 && getSendMode() == 0;
        text = dialogText(box);
        gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    });
    showError("Something went wrong.\n\nTwo lines.");
    EXPECT_EQ(beeps_while_open, 1);
    EXPECT_TRUE(stopped_while_open);
    EXPECT_EQ(text, "Something went wrong.\n\nTwo lines.");
    EXPECT_EQ(out.count("Alert!\a\n"), 1);
    EXPECT_EQ(DO_ROW_RESET, 1);
    EXPECT_EQ(INT_NEEDS_HANDLING, 0);
    EXPECT_TRUE(visible(button_send));
    EXPECT_TRUE(sensitive(button_close));
    EXPECT_TRUE(openDialogs().empty());

    // A box with no run going still resets the send state.
    DO_ROW_RESET = 0;
    ErrorBoxCloser closer;
    showError("Again.");
    EXPECT_EQ(DO_ROW_RESET, 1);
    EXPECT_EQ(out.count("Alert!\a\n"), 2);
}

TEST(Notices, StatusLineIsReplacedWhole) {
    ensureMainWindow();
    setStatus("/XYZ whatever came");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), "/XYZ whatever came");
    setStatus("");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), "");
}

TEST(Notices, QuestionBoxAnswers) {
    ensureMainWindow();
    whenDialogOpens([](GtkWidget *box) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(box)), "Warning!");
        EXPECT_TRUE(clickButton(box, "Yes"));
    });
    EXPECT_EQ(showYesNo(), 1);
    EXPECT_TRUE(openDialogs().empty());

    whenDialogOpens([](GtkWidget *box) { EXPECT_TRUE(clickButton(box, "No")); });
    EXPECT_EQ(showYesNo(), 0);
    EXPECT_TRUE(openDialogs().empty());

    // Closing the box through the window manager leaves the file alone and the box gone.
    YESNO_BOX_STATE = 1;
    whenDialogOpens([](GtkWidget *box) {
        GdkEvent *event = gdk_event_new(GDK_DELETE);
        event->any.window = GDK_WINDOW(g_object_ref(box->window));
        event->any.send_event = TRUE;
        gtk_main_do_event(event);
        gdk_event_free(event);
    });
    EXPECT_EQ(showYesNo(), 0);
    pump(20);
    EXPECT_TRUE(openDialogs().empty());
    EXPECT_EQ(YesNoBox, nullptr);
}

namespace {

// The program's main window: its title, on a window of that process (other suites share the
// display, and their windows carry the same title).
Window findProgramWindow(Display *display, const std::string &name, pid_t pid) {
    Window root_return, parent;
    Window *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent, &children, &count))
        return 0;
    const Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
    for (unsigned i = 0; i < count && !found; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *value = nullptr;
        const bool ours =
            XGetWindowProperty(display, children[i], pid_atom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &items, &after, &value) == Success &&
            value && items == 1 && *reinterpret_cast<long *>(value) == pid;
        if (value)
            XFree(value);
        char *window_name = nullptr;
        if (ours && XFetchName(display, children[i], &window_name) && window_name) {
            if (name == window_name)
                found = children[i];
            XFree(window_name);
        }
    }
    if (children)
        XFree(children);
    return found;
}

void askToClose(Display *display, Window target) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, target, False, NoEventMask, &event);
    XFlush(display);
}

std::string discoveryLines() {
    std::string lines;
    for (const char *prefix : {"/dev/ttyS", "/dev/ttyUSB", "/dev/tts/", "/dev/usb/tts/"}) {
        for (int i = 0; i <= 9; ++i) {
            const std::string name = prefix + std::to_string(i);
            const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            lines += "Checking " + name + "..." + (fd >= 0 ? " opens!\n" : "\n");
            if (fd >= 0)
                close(fd);
        }
    }
    return lines;
}

} // namespace

TEST(Program, StartAndQuitThroughTheWindowManager) {
    gtk_init(nullptr, nullptr);
    Display *display = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    char out_name[] = "/tmp/sendral-run-XXXXXX";
    const int out_fd = mkstemp(out_name);
    ASSERT_GE(out_fd, 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        execl(SENDRAL_PROGRAM, SENDRAL_PROGRAM, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out_fd);

    Window target = 0;
    const gint64 end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (!target && g_get_monotonic_time() < end) {
        g_usleep(20000);
        // Other suites' windows come and go on the shared display: a window that vanished
        // between listing and asking is not an error here.
        gdk_error_trap_push();
        target = findProgramWindow(display, "Tavro Sendral - [ new list ]", pid);
        gdk_error_trap_pop();
    }
    EXPECT_NE(target, Window(0)) << "the main window never appeared";
    if (target) {
        gdk_error_trap_push();
        askToClose(display, target);
        gdk_error_trap_pop();
    }

    int status_code = -1;
    pid_t done = 0;
    const gint64 quit_by = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while ((done = waitpid(pid, &status_code, WNOHANG)) == 0 && g_get_monotonic_time() < quit_by)
        g_usleep(10000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status_code, 0);
        FAIL() << "the program did not quit";
    }
    EXPECT_TRUE(WIFEXITED(status_code));
    EXPECT_EQ(WEXITSTATUS(status_code), 0);

    std::ifstream in(out_name);
    std::stringstream text;
    text << in.rdbuf();
    unlink(out_name);
    EXPECT_EQ(text.str(), "Tavro/Sol/Solx/Dyn Sendral\nQVT\nhttps://www.example.com/sendral\n\n"
                          "Starting gui.\n" +
                              discoveryLines() + "Exiting.\n");
}
