// The file commands with their choosers, the rate dialogs, the text viewer and About.
#include "support.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

const std::string EXAMPLE = "QVT I2C Message List File V2\n$A0,W,Y,$0064,00,10,\n"
                            "$4E,R,N,$0000,FF,FF,\nAutoRepeat = OFF\nSendOnInt = ON\n"
                            "End of Sequence\n";

struct TempDir {
    fs::path path = taken(g_dir_make_tmp("sendral-files-XXXXXX", nullptr));
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
    long entries() const { return std::distance(fs::directory_iterator(path), {}); }
};

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Answers every overwrite question while it lives; counts them.
struct Answerer {
    explicit Answerer(bool yes) : yes(yes) {}
    ~Answerer() { g_source_remove(source); }
    bool yes;
    int asked = 0;
    bool over_chooser = false;
    guint source = g_timeout_add(
        10,
        [](gpointer self) -> gboolean {
            auto *me = static_cast<Answerer *>(self);
            if (YesNoBox && GTK_WIDGET_VISIBLE(YesNoBox) && ++me->asked) {
                me->over_chooser = file_selector != nullptr;
                clickButton(YesNoBox, me->yes ? "Yes" : "No");
            }
            return TRUE;
        },
        this);
};

// Runs a menu command whose chooser, once it shows folder, gets name and is accepted (or is
// cancelled, for no name). The chooser works in the background: an early answer would be lost.
void withChooser(void (*command)(gpointer, guint, GtkWidget *), const std::string &folder,
                 const std::string &name) {
    whenDialogOpens([=](GtkWidget *dialog) {
        auto *chooser = GTK_FILE_CHOOSER(dialog);
        EXPECT_TRUE(pumpUntil([&] {
            return taken(gtk_file_chooser_get_current_folder(chooser)) == folder;
        })) << "the chooser did not start in "
            << folder;
        if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE)
            gtk_file_chooser_set_current_name(chooser, name.c_str());
        else
            gtk_file_chooser_set_filename(chooser, (folder + "/" + name).c_str());
        pumpUntil(
            [&] {
                return fs::path(taken(gtk_file_chooser_get_filename(chooser))).filename() == name;
            },
            2000);
        gtk_dialog_response(GTK_DIALOG(dialog),
                            name.empty() ? GTK_RESPONSE_CANCEL : GTK_RESPONSE_ACCEPT);
    });
    command(nullptr, 0, nullptr);
}

} // namespace

TEST(Files, SaveAsSaveAndOpenAgain) {
    ensureMainWindow();
    TempDir dir;
    putRow(1, "A0", "W", "00,10,", 1, 100);
    putRow(2, "4E", "R", "FF,FF,", 0, 0);
    setSendonIntCheckbox(1);
    withChooser(gui_file_saveas, taken(g_get_current_dir()), ""); // no file yet: where we began
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    withChooser(gui_file_saveas, dir.path, "a");
    EXPECT_EQ(windowTitle(), "Tavro Sendral - [ a ]");
    EXPECT_EQ(readFile(dir / "a.iml"), EXAMPLE);
    {
        Answerer no(false);
        putRow(3, "10", "W", "");
        gui_file_save(nullptr, 0, nullptr); // its own file again, without a question
        EXPECT_NE(readFile(dir / "a.iml"), EXAMPLE);
        for (const char *name : {"list.IML", "list.txt", "b"})
            gui_file_save_as_success((dir / name).c_str());
        EXPECT_EQ(no.asked, 0);
        for (const char *written : {"list.IML", "list.txt", "b.iml"})
            EXPECT_TRUE(fs::exists(dir.path / written)) << written;
        writeFile(dir / "old.iml", "precious\n");
        withChooser(gui_file_saveas, dir.path, "old.iml");
        EXPECT_EQ(no.asked, 1);
        EXPECT_TRUE(no.over_chooser); // the question stands over the chooser it answers
        EXPECT_EQ(readFile(dir / "old.iml"), "precious\n");
        ASSERT_EQ(symlink("gone.iml", (dir / "link.iml").c_str()), 0); // dangling: not there
        gui_file_save_as_success((dir / "link.iml").c_str());
        EXPECT_EQ(no.asked, 1);
        EXPECT_EQ(readFile(dir / "gone.iml"), readFile(dir / "b.iml"));
    }
    whenDialogOpens(closeByWindowManager); // closing the question keeps the file too
    gui_file_save_as_success((dir / "old.iml").c_str());
    EXPECT_EQ(readFile(dir / "old.iml"), "precious\n");
    Answerer yes(true);
    gui_file_save(nullptr, 0, nullptr);
    EXPECT_EQ(readFile(dir / "old.iml"), readFile(dir / "b.iml"));

    gui_file_new(nullptr, 0, nullptr);
    EXPECT_EQ(getFilledCount(), 0);
    EXPECT_EQ(windowTitle(), "Tavro Sendral - [ new list ]");
    writeFile(dir / "example.iml", EXAMPLE);
    setSendonIntCheckbox(0);
    withChooser(gui_file_open, dir.path, "example.iml");
    EXPECT_EQ(row(2) + " " + std::to_string(getFilledCount()) +
                  std::to_string(getOptionSendonInt()),
              "2|4E|R|FF,FF,|0|0 21"); // two messages, and Send On /INT from the file
    EXPECT_EQ(windowTitle(), "Tavro Sendral - [ example.iml ]");
    EXPECT_EQ(dir.entries(), 8); // and no temporary file left behind
}

TEST(Files, FailuresLeaveNoFileToOverwriteAndKeepTheOldOne) {
    ensureMainWindow();
    TempDir dir;
    writeFile(dir / "good.iml", EXAMPLE);
    writeFile(dir / "notalist.iml", "QVT I2C Message List\n");
    fs::create_directory(dir / "folder.iml");
    for (const auto &[name, error] : std::vector<std::pair<std::string, std::string>>{
             {"notalist.iml", "Not an QVT I2C Message List file!"},
             {"missing.iml", "File could not be opened!"},
             {"folder.iml", "File could not be read!  The list was not loaded."}}) {
        gui_file_open_success((dir / "good.iml").c_str());
        ErrorBoxCloser closer;
        gui_file_open_success((dir / name).c_str());
        EXPECT_EQ(closer.texts(), std::vector<std::string>{error});
        EXPECT_EQ(getFilledCount(), 0);
        EXPECT_EQ(windowTitle(), "Tavro Sendral - [ good.iml ]");
    }
    // So Save List asks for a name instead of writing over the file that failed.
    std::string asked;
    whenDialogOpens([&](GtkWidget *dialog) {
        asked = gtk_window_get_title(GTK_WINDOW(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    });
    gui_file_save(nullptr, 0, nullptr);
    EXPECT_EQ(asked, "Save as...");
    EXPECT_EQ(readFile(dir / "notalist.iml"), "QVT I2C Message List\n");

    // A run that /INT started inside a chooser ends before the list is replaced.
    gui_send_start();
    setSendMode(1);
    gui_file_open_success((dir / "good.iml").c_str());
    EXPECT_EQ(ALLOW_SEND, 0);
    EXPECT_EQ(getSendMode(), 0);

    // A save that fails says so, and keeps the old file.
    current_filename = dir / "missing/list.iml";
    {
        ErrorBoxCloser closer;
        gui_file_save(nullptr, 0, nullptr);
        EXPECT_EQ(closer.texts(), std::vector<std::string>{"Can't open file for writing!"});
    }
    // A FIFO named in Save As is refused at once, without the question, and Open List refuses
    // it too. Opened, it would wait for a writer for good: one comes after 3 s here.
    ASSERT_EQ(mkfifo((dir / "pipe.iml").c_str(), 0600), 0);
    {
        ErrorBoxCloser closer;
        Answerer yes(true);
        std::atomic<bool> returned{false};
        bool waited = false;
        std::thread writer([&] {
            for (const gint64 end = g_get_monotonic_time() + 3 * G_USEC_PER_SEC; !returned;
                 g_usleep(1000)) {
                const int fd = g_get_monotonic_time() < end
                                   ? -1
                                   : open((dir / "pipe.iml").c_str(), O_WRONLY | O_NONBLOCK);
                waited |= fd >= 0;
                if (fd >= 0)
                    close(fd);
            }
        });
        gui_file_save_as_success((dir / "pipe.iml").c_str());
        gui_file_open_success((dir / "pipe.iml").c_str()); // nor is it read as a list
        returned = true;
        writer.join();
        EXPECT_FALSE(waited);
        EXPECT_EQ(yes.asked, 0);
        EXPECT_EQ(closer.texts(),
                  (std::vector<std::string>{"Can't open file for writing!",
                                            "File could not be read!  The list was not loaded."}));
    }
    // A write that fails part-way (past the file size limit here); in place, where putting
    // the old list back fails too, the box names the file.
    writeFile(dir / "full.iml", "precious\n");
    writeFile(dir / "linked.iml", std::string(200, '#'));
    ASSERT_EQ(link((dir / "linked.iml").c_str(), (dir / "twin.iml").c_str()), 0);
    current_filename = dir / "full.iml";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    auto *handler = signal(SIGXFSZ, SIG_IGN);
    ErrorBoxCloser closer;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    gui_file_save(nullptr, 0, nullptr);
    current_filename = dir / "linked.iml";
    gui_file_save(nullptr, 0, nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(closer.texts(),
              (std::vector<std::string>{"Can't write file!  The list was not saved.",
                                        "Can't write file!  The list was not saved, and the old "
                                        "list could not be put back: " +
                                            dir / "linked.iml" + " may be damaged."}));
    EXPECT_EQ(readFile(dir / "full.iml"), "precious\n");
    EXPECT_EQ(dir.entries(), 7); // and no temporary file left behind
}

namespace {

// Opens a rate dialog from its menu, types text (unless null) and presses button ("" closes it
// through the window manager); returns the value shown at first, and whether OK was greyed.
std::string runRate(bool baud, const char *text, const char *button) {
    std::string seen;
    whenDialogOpens([&](GtkWidget *dialog) {
        GtkWidget *entry = GTK_COMBO(baud ? baudrate : clockspeed)->entry;
        seen = gtk_entry_get_text(GTK_ENTRY(entry));
        if (text)
            gtk_entry_set_text(GTK_ENTRY(entry), text);
        GtkWidget *pressed = *button ? findButton(dialog, button) : nullptr;
        if (pressed && !GTK_WIDGET_IS_SENSITIVE(pressed)) {
            seen += " greyed";
            pressed = findButton(dialog, "Cancel");
        }
        if (pressed)
            gtk_button_clicked(GTK_BUTTON(pressed));
        else
            closeByWindowManager(dialog);
    });
    (baud ? gui_baud : gui_clock)(nullptr, 0, nullptr);
    EXPECT_TRUE(openDialogs().empty());
    return seen;
}

} // namespace

TEST(RateDialogs, OkStoresTheLeadingNumberUnlessTheLinkIsOpen) {
    ensureMainWindow();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    EXPECT_EQ(runRate(true, nullptr, "Cancel"), "115200");
    EXPECT_EQ(runRate(false, "400", "OK"), "100");
    for (const auto &[text, value] : std::vector<std::pair<const char *, int>>{
             {"57600baud", 57600}, {"  +38400", 38400}, {"fast", 0}, {"99999999999", INT_MAX}}) {
        runRate(true, text, "OK");
        EXPECT_EQ(gui_getBaudRate(), value) << text;
    }
    runRate(true, "1200", "Cancel");
    runRate(false, "1200", "");
    EXPECT_EQ(gui_getBaudRate(), INT_MAX); // Cancel and the window manager's close store nothing
    EXPECT_EQ(gui_getClockSpeed(), 400);
    setButtonMode(1); // an open link keeps its rate
    EXPECT_EQ(runRate(true, "57600", "OK"), "2147483647 greyed");
    EXPECT_EQ(gui_getBaudRate(), INT_MAX);
}

TEST(TextViewer, ShowsTheWholeFileReadOnlyAsValidText) {
    ensureMainWindow();
    TempDir dir;
    auto show = [](const std::string &title, const std::string &path) {
        std::string seen;
        whenDialogOpens([&](GtkWidget *dialog) {
            GtkWidget *scroller = nullptr;
            gtk_container_forall(
                GTK_CONTAINER(GTK_DIALOG(dialog)->vbox),
                [](GtkWidget *w, gpointer found) {
                    if (GTK_IS_SCROLLED_WINDOW(w))
                        *static_cast<GtkWidget **>(found) = w;
                },
                &scroller);
            auto *text = GTK_TEXT_VIEW(gtk_bin_get_child(GTK_BIN(scroller)));
            GtkTextIter start, end;
            gtk_text_buffer_get_bounds(gtk_text_view_get_buffer(text), &start, &end);
            seen = std::string(gtk_window_get_title(GTK_WINDOW(dialog))) + "|" +
                   taken(gtk_text_iter_get_text(&start, &end)) +
                   (gtk_text_view_get_editable(text) ? "|editable" : "");
            closeByWindowManager(dialog);
        });
        displayTextFile(title.c_str(), path.c_str());
        EXPECT_TRUE(openDialogs().empty());
        return seen;
    };
    EXPECT_EQ(show("ReadMe", dir / "README.txt"), "ReadMe|File not found!  Contact QVT.");
    // Over 255 bytes, with characters of two, three and four bytes across the piece ends,
    std::string text;
    while (text.size() < 1200)
        text += "caf\xC3\xA9 \xE2\x82\xAC 1 \xF0\x9F\x99\x82 ";
    // and bytes that are not UTF-8, each replaced.
    writeFile(dir / "long.txt", text + std::string("\xFF\xC3(\0!", 5));
    EXPECT_EQ(show("T", dir / "long.txt"), "T|" + text + "\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD!");
    EXPECT_EQ(show("T", dir.path), "T|File could not be read!  Contact QVT.");
}
