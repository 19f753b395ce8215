// The whole program started and quit, and the controls across run and variant changes.
#include "support.h"

#include <gdk/gdkx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <fcntl.h>
#include <sys/wait.h>

namespace {

bool sensitive(GtkWidget *w) {
    return GTK_WIDGET_IS_SENSITIVE(w);
}
bool menuSensitive(const char *path) {
    return sensitive(gtk_item_factory_get_widget(item_factory, path));
}

// The top-level window of process pid titled name (other suites' windows share the display).
Window programWindow(Display *display, const std::string &name, pid_t pid) {
    Window root, parent, *children = nullptr, found = 0;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    const Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
    for (unsigned i = 0; i < count && !found; ++i) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char *value = nullptr;
        char *title = nullptr;
        if (XGetWindowProperty(display, children[i], pid_atom, 0, 1, False, XA_CARDINAL, &type,
                               &format, &items, &after, &value) == Success &&
            value && items == 1 && *reinterpret_cast<long *>(value) == pid &&
            XFetchName(display, children[i], &title) && title && name == title)
            found = children[i];
        XFree(value);
        XFree(title);
    }
    XFree(children);
    return found;
}

} // namespace

TEST(Program, StartAndQuitThroughTheWindowManager) {
    gtk_init(nullptr, nullptr);
    Display *display = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    char out_name[] = "/tmp/sendral-run-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        execl(SENDRAL_PROGRAM, SENDRAL_PROGRAM, static_cast<char *>(nullptr));
        _exit(127);
    }
    Window target = 0;
    EXPECT_TRUE(pumpUntil([&] {
        gdk_error_trap_push(); // windows of other suites may vanish while they are listed
        target = programWindow(display, "Tavro Sendral - [ new list ]", pid);
        gdk_error_trap_pop();
        return target != 0;
    }));
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    gdk_error_trap_push();
    XSendEvent(display, target, False, NoEventMask, &event);
    XFlush(display);
    gdk_error_trap_pop();

    int code = -1;
    if (!pumpUntil([&] { return waitpid(pid, &code, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &code, 0);
        ADD_FAILURE() << "the program did not quit";
    }
    EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 0);

    // The banner, the 40 discovery lines (with what really opens here), the start and end.
    std::string expected = "Tavro/Sol/Solx/Dyn Sendral\nQVT\nhttps://www.example.com/sendral\n\n"
                           "Starting gui.\n";
    for (const char *prefix : {"/dev/ttyS", "/dev/ttyUSB", "/dev/tts/", "/dev/usb/tts/"})
        for (int i = 0; i <= 9; ++i) {
            const std::string name = prefix + std::to_string(i);
            const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            expected += "Checking " + name + "..." + (fd >= 0 ? " opens!\n" : "\n");
            close(fd);
        }
    gchar *text = nullptr;
    g_file_get_contents(out_name, &text, nullptr, nullptr);
    EXPECT_EQ(std::string(text ? text : ""), expected + "Exiting.\n");
    g_free(text);
    close(out_fd);
    unlink(out_name);
}

TEST(ControlState, FollowsTheLinkTheRunAndTheVariant) {
    ensureMainWindow();
    EXPECT_EQ(windowTitle() + statusText(), "Tavro Sendral - [ new list ]Link Closed");
    EXPECT_FALSE(sensitive(button_send) || sensitive(button_close) || sensitive(sendonint));

    // A run with the link closed (Send On /INT cannot start one, but a list file test can)
    // leaves Close Link grey; New and Open List wait for its end.
    setSendMode(1);
    EXPECT_FALSE(menuSensitive("/File/New List") || menuSensitive("/File/Open List..."));
    EXPECT_TRUE(menuSensitive("/File/Save List"));
    setSendMode(0);
    EXPECT_FALSE(sensitive(button_close));
    EXPECT_TRUE(menuSensitive("/File/Open List..."));

    // Leaving Sol passes through its defaults; Dyn has no rate choice; greying the /INT
    // controls leaves their options as they were.
    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb3), TRUE);
    EXPECT_EQ(gui_getBaudRate(), 115200);
    EXPECT_EQ(gui_getClockSpeed(), 100);
    EXPECT_FALSE(menuSensitive("/Options/RS-232 Baud Rate..."));
    EXPECT_TRUE(sensitive(interrupt_monitor_control) && sensitive(beepon_interrupt_control));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sendonint), TRUE);
    clockspeed_value = 400;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    EXPECT_EQ(gui_getClockSpeed(), 400);
    EXPECT_TRUE(menuSensitive("/Options/RS-232 Baud Rate..."));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb1), TRUE);
    EXPECT_EQ(gui_getBaudRate(), 19200);
    EXPECT_EQ(gui_getClockSpeed(), 100);
    EXPECT_FALSE(sensitive(sendonint) || sensitive(interrupt_monitor_control));
    EXPECT_EQ(getOptionSendonInt(), 1);
}
