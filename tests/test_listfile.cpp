// The list file: its writer and reader, and the New, Open, Save and Save As commands with
// their file choosers, the extension rule, the overwrite question and the failure cases.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "main.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string EXAMPLE = "QVT I2C Message List File V2\n"
                            "$A0,W,Y,$0064,00,10,\n"
                            "$A0,R,Y,$0000,12,34,56,78,\n"
                            "$4E,W,N,$03e8,01,\n"
                            "$4E,R,Y,$0000,FF,FF,\n"
                            "AutoRepeat = OFF\n"
                            "SendOnInt = ON\n"
                            "End of Sequence\n";
const std::string HEADER = "QVT I2C Message List File V2\n";

const std::vector<ListMessage> EXAMPLE_MESSAGES = {{"A0", "W", "00,10,", true, 100},
                                                   {"A0", "R", "12,34,56,78,", true, 0},
                                                   {"4E", "W", "01,", false, 1000},
                                                   {"4E", "R", "FF,FF,", true, 0}};

struct TempDir {
    fs::path path = [] {
        char name[] = "/tmp/sendral-list-XXXXXX";
        return fs::path(mkdtemp(name));
    }();
    ~TempDir() {
        fs::permissions(path / "locked", fs::perms::owner_all, fs::perm_options::add, ignored_);
        fs::remove_all(path, ignored_);
    }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
    std::error_code ignored_;
};

std::string readFile(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Fills the list (which unticks AutoRepeat) and ticks Send On /INT, as the example has it.
void fillList(const std::vector<ListMessage> &messages) {
    eraseRows();
    setSendonIntCheckbox(1);
    int row = 0;
    for (const ListMessage &m : messages) {
        selectRowNumber(++row);
        setRow(row, m.address.c_str(), m.rw.c_str(), m.data.c_str(), m.stop, int(m.delay));
    }
    setFilledCount(row);
}

std::string text(const std::vector<ListMessage> &messages) {
    std::string all;
    for (const ListMessage &m : messages)
        all += m.address + "|" + m.rw + "|" + m.data + "|" + (m.stop ? "Y" : "N") + "|" +
               std::to_string(m.delay) + "\n";
    return all;
}

ListFile parse(const std::string &bytes) {
    ListFile list;
    EXPECT_EQ(parseListText(bytes, list), ListFileStatus::Ok) << bytes;
    return list;
}

std::string title() {
    return gtk_window_get_title(GTK_WINDOW(window));
}

// Answers every overwrite question while it lives; counts them.
struct QuestionAnswerer {
    explicit QuestionAnswerer(bool yes) : yes(yes) {}
    ~QuestionAnswerer() { g_source_remove(source); }
    static gboolean poll(gpointer self) {
        auto *me = static_cast<QuestionAnswerer *>(self);
        if (YesNoBox && GTK_WIDGET_VISIBLE(YesNoBox) && ++me->asked)
            clickButton(YesNoBox, me->yes ? "Yes" : "No");
        return TRUE;
    }
    bool yes;
    int asked = 0;
    guint source = g_timeout_add(10, poll, this);
};

// Runs a menu command and accepts its chooser once choose has set it (cancels it for an
// empty choose); returns the chooser's title.
std::string withChooser(void (*command)(gpointer, guint, GtkWidget *),
                        const std::function<void(GtkFileChooser *)> &choose) {
    std::string seen;
    whenDialogOpens([&](GtkWidget *dialog) {
        seen = gtk_window_get_title(GTK_WINDOW(dialog));
        if (choose)
            choose(GTK_FILE_CHOOSER(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), choose ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
    });
    command(nullptr, 0, nullptr);
    return seen;
}

// The chooser changes folder asynchronously; an accept before it is done would be lost.
void waitFor(GtkFileChooser *c, gchar *(*get)(GtkFileChooser *), const std::string &want) {
    ASSERT_TRUE(pumpUntil(
        [&] {
            gchar *now = get(c);
            const bool same = want == (now ? now : "");
            g_free(now);
            return same;
        },
        3000));
}

} // namespace

TEST(ListFile, WriterAndReaderAgreeOnEveryField) {
    ensureMainWindow();
    TempDir dir;
    fillList(EXAMPLE_MESSAGES);
    gui_file_save_as_success((dir / "example.iml").c_str());
    EXPECT_EQ(readFile(dir / "example.iml"), EXAMPLE);
    EXPECT_EQ(formatListFile({}, true, false),
              HEADER + "AutoRepeat = ON\nSendOnInt = OFF\nEnd of Sequence\n");

    std::string full;
    for (int i = 0; i < 32; ++i)
        full += "7A,";
    const std::vector<ListMessage> odd = {{"A", "W", "", true, 60000},
                                          {"fe", "R", full, false, 0xffff}};
    EXPECT_EQ(text(parse(formatListFile(odd, false, false)).messages), text(odd));
    QuestionAnswerer yes(true);
    for (const bool on : {true, false}) {
        fillList(odd);
        setAutorepeatCheckbox(on);
        setSendonIntCheckbox(on);
        gui_file_save_as_success((dir / "odd.iml").c_str());
        gui_file_new(nullptr, 0, nullptr);
        setSendonIntCheckbox(!on);
        gui_file_open_success((dir / "odd.iml").c_str());
        EXPECT_EQ(text(listMessages()), text(odd));
        EXPECT_EQ(getOptionAutorepeat() != 0, on);
        EXPECT_EQ(getOptionSendonInt() != 0, on);
        EXPECT_EQ(current_filename, dir / "odd.iml");
        EXPECT_EQ(title(), "Tavro Sendral - [ odd.iml ]");
    }
}

TEST(ListFile, ReaderRules) {
    ListFile list;
    EXPECT_EQ(parseListText("QVT I2C Message List File\n", list), ListFileStatus::Ok);
    EXPECT_EQ(parseListText("QVT I2C Message List File V1 (old)\r\n", list), ListFileStatus::Ok);
    for (const char *refused : {"QVT I2C Message List\n$A0,W,Y,$0000,\n", "", "\nQVT I2C"})
        EXPECT_EQ(parseListText(refused, list), ListFileStatus::NotAList) << refused;

    // Direction and Stop anywhere in the line, two address characters, the delay in either
    // case, data cut after its last comma; no ",$" or under four delay characters: delay 0.
    EXPECT_EQ(text(parse(HEADER + "$ABC,R,Y,$00FF,12,34,56,78,  \r\n$2,X,Q,$ea60,1,W,2,N,3\n"
                                  "$A0,W,Y,$0064,noComma\n$C0\n$D0,R,Y,$01\n")
                       .messages),
              "AB|R|12,34,56,78,|Y|255\n2|W|1,W,2,N,|N|60000\nA0|W||Y|100\nC0|R||Y|0\n"
              "D0|R||Y|0\n");

    // An empty line ends the messages, later "$" lines are skipped, option lines count up
    // to "End of Sequence"; a last line without its line feed is read once.
    list = parse(HEADER + "$A0,W,Y,$0000,01,\n\n$B0,W,Y,$0000,02,\nAutoRepeat = ON\n"
                          "SendOnInt = OFF\n$C0,W,Y,$0000,\nEnd of Sequence\nAutoRepeat = OFF\n");
    EXPECT_EQ(text(list.messages), "A0|W|01,|Y|0\n");
    EXPECT_EQ(list.autorepeat, 1);
    EXPECT_EQ(list.sendonint, 0);
    EXPECT_EQ(parse(HEADER + "$A0,W,Y,$0000,01,\n$B0,W,Y,$0000,02,").messages.size(), 2u);
    EXPECT_EQ(parse(HEADER).autorepeat, -1);
}

TEST(ListFile, ReaderStaysWithinTheRecordWhateverTheInput) {
    std::string groups;
    for (int i = 0; i < 40; ++i)
        groups += "0" + std::string(1, "0123456789ABCDEF"[i % 16]) + ",";
    // A line far over 255 bytes is one line; a NUL ends a line's text; over 32 groups keep 32.
    const std::string bytes = HEADER + "$A0,W,Y,$0001," + groups + std::string(300, ' ') +
                              ",$B0,W,Y,$0002,\n" +
                              std::string("$E0,W,N,$0003,1\0"
                                          "2,\n",
                                          19) +
                              std::string(3 << 20, 'x') + "\nAutoRepeat = ON\n";
    const ListFile whole = parse(bytes);
    EXPECT_EQ(text(whole.messages), "A0|W|" + groups.substr(0, 96) + "|Y|1\nE0|W||N|3\n");
    EXPECT_EQ(whole.autorepeat, 1);

    // Pieces of any size read the same.
    const std::string start = bytes.substr(0, 600);
    for (const std::size_t size : {1, 7, 254}) {
        ListFileParser parser;
        for (std::size_t at = 0; at < start.size(); at += size)
            parser.feed(start.data() + at, std::min(size, start.size() - at));
        parser.finish();
        EXPECT_EQ(text(parser.result().messages), text(parse(start).messages)) << size;
    }
}

TEST(ListFile, OpenFillsTheListOrLeavesItEmptyWithNoFileToOverwrite) {
    ensureMainWindow();
    TempDir dir;
    std::string many = HEADER;
    for (int i = 0; i < 52; ++i)
        many += "$A0,W,Y,$0000," + std::to_string(10 + i) + ",\n";
    writeFile(dir / "many.iml", many + "AutoRepeat = ON\n");
    gui_file_open_success((dir / "many.iml").c_str());
    EXPECT_EQ(filled_rows, 50);
    EXPECT_EQ(listMessages().back().data, "59,");
    EXPECT_EQ(getOptionAutorepeat() != 0, true);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)),
                 "The list holds at most 50 messages: 2 message lines of the file were dropped.");

    writeFile(dir / "notalist.iml", "QVT I2C Message List\n");
    fs::create_directory(dir / "folder.iml");
    for (const auto &[name, error] : std::vector<std::pair<std::string, std::string>>{
             {"notalist.iml", "Not an QVT I2C Message List file!"},
             {"missing.iml", "File could not be opened!"},
             {"folder.iml", "File could not be read!  The list was not loaded."}}) {
        gui_file_open_success((dir / "many.iml").c_str());
        ErrorBoxCloser closer;
        gui_file_open_success((dir / name).c_str());
        EXPECT_EQ(closer.texts(), std::vector<std::string>{error});
        EXPECT_EQ(filled_rows, 0);
        EXPECT_EQ(title(), "Tavro Sendral - [ many.iml ]");
        EXPECT_EQ(current_filename, "");
    }
    // So Save List asks for a name instead of writing over the file that failed.
    EXPECT_EQ(withChooser(gui_file_save, nullptr), "Save as...");
    EXPECT_EQ(readFile(dir / "notalist.iml"), "QVT I2C Message List\n");

    // New List empties everything, and ends a run that /INT started meanwhile.
    fillList(EXAMPLE_MESSAGES);
    setAutorepeatCheckbox(1);
    current_filename = dir / "many.iml";
    gui_send_start();
    setSendMode(1);
    gui_file_new(nullptr, 0, nullptr);
    EXPECT_TRUE(listMessages().empty());
    EXPECT_EQ(getOptionAutorepeat(), 0);
    EXPECT_EQ(current_filename, "");
    EXPECT_EQ(title(), "Tavro Sendral - [ new list ]");
    EXPECT_EQ(getSendMode(), 0);
    EXPECT_EQ(ALLOW_SEND, 0);
}

TEST(ListFile, ChoosersExtensionRuleAndOverwriteQuestion) {
    ensureMainWindow();
    TempDir dir;
    writeFile(dir / "chosen.iml", EXAMPLE);
    EXPECT_EQ(withChooser(gui_file_open,
                          [&](GtkFileChooser *c) {
                              gtk_file_chooser_set_filename(c, (dir / "chosen.iml").c_str());
                              waitFor(c, gtk_file_chooser_get_filename, dir / "chosen.iml");
                          }),
              "Open list...");
    EXPECT_EQ(filled_rows, 4);
    EXPECT_EQ(file_selector, nullptr);

    // Save As to a name without extension writes name.iml and titles the name as chosen;
    // Save List then writes there again without a question.
    fillList({EXAMPLE_MESSAGES[0]});
    EXPECT_EQ(withChooser(gui_file_saveas,
                          [&](GtkFileChooser *c) {
                              gtk_file_chooser_set_current_folder(c, dir.path.c_str());
                              gtk_file_chooser_set_current_name(c, "a");
                              waitFor(c, gtk_file_chooser_get_current_folder, dir.path);
                          }),
              "Save as...");
    EXPECT_EQ(title(), "Tavro Sendral - [ a ]");
    EXPECT_EQ(current_filename, dir / "a.iml");
    fillList(EXAMPLE_MESSAGES);
    {
        QuestionAnswerer no(false);
        gui_file_save(nullptr, 0, nullptr);
        EXPECT_EQ(readFile(dir / "a.iml"), EXAMPLE);
        for (const auto &[chosen, written] : std::vector<std::pair<std::string, std::string>>{
                 {"list.IML", "list.IML"}, {"list.txt", "list.txt"}, {"b", "b.iml"}}) {
            gui_file_save_as_success((dir / chosen).c_str());
            EXPECT_EQ(readFile(dir / written), EXAMPLE) << chosen;
        }
        EXPECT_EQ(no.asked, 0);

        writeFile(dir / "old.iml", "precious\n");
        gui_file_save_as_success((dir / "old.iml").c_str());
        EXPECT_EQ(no.asked, 1);
        EXPECT_EQ(readFile(dir / "old.iml"), "precious\n");
        EXPECT_EQ(current_filename, dir / "old.iml");
    }
    QuestionAnswerer yes(true);
    gui_file_save_as_success((dir / "old.iml").c_str());
    EXPECT_EQ(readFile(dir / "old.iml"), EXAMPLE);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 6); // no temporary left
}

TEST(ListFile, FailedSaveKeepsTheOldFile) {
    ensureMainWindow();
    TempDir dir;
    fillList(EXAMPLE_MESSAGES);
    // A read-only directory, though the file in it is writable; root may write anywhere,
    // so the save runs as an ordinary user for the moment.
    fs::create_directory(dir / "locked");
    writeFile(dir / "locked/list.iml", "precious\n");
    chmod((dir / "locked/list.iml").c_str(), 0666);
    chmod((dir / "locked").c_str(), 0555);
    chmod(dir.path.c_str(), 0755);
    current_filename = dir / "locked/list.iml";
    {
        ErrorBoxCloser closer;
        ASSERT_EQ(seteuid(geteuid() == 0 ? 65534 : geteuid()), 0);
        gui_file_save(nullptr, 0, nullptr);
        ASSERT_EQ(seteuid(getuid()), 0);
        EXPECT_EQ(closer.texts(), std::vector<std::string>{"Can't open file for writing!"});
    }
    EXPECT_EQ(readFile(dir / "locked/list.iml"), "precious\n");

    // A write that fails part-way (past the file size limit here).
    writeFile(dir / "full.iml", "precious\n");
    current_filename = dir / "full.iml";
    {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 64;
        auto *handler = signal(SIGXFSZ, SIG_IGN);
        ErrorBoxCloser closer;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        gui_file_save(nullptr, 0, nullptr);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, handler);
        EXPECT_EQ(closer.texts(),
                  std::vector<std::string>{"Can't write file!  The list was not saved."});
    }
    EXPECT_EQ(readFile(dir / "full.iml"), "precious\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 2); // no temporary left
}

TEST(ListFile, SaveDuringARunAndLongPaths) {
    ensureMainWindow();
    TempDir dir;
    fillList(EXAMPLE_MESSAGES);
    current_filename = dir / "run.iml";
    gui_send_start();
    setSendMode(1);
    selectRowNumber(2);
    NO_MORE_ROWS = 0;
    gui_file_save(nullptr, 0, nullptr);
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    EXPECT_EQ(gtk_tree_path_get_indices(path)[0], 1);
    gtk_tree_path_free(path);
    EXPECT_EQ(current_row, 2);
    EXPECT_EQ(NO_MORE_ROWS, 0);
    EXPECT_EQ(readFile(dir / "run.iml"), EXAMPLE);
    gui_stop(nullptr, nullptr);

    const std::string deep =
        dir / (std::string(120, 'a') + "/" + std::string(120, 'b') + "/" + std::string(200, 'n'));
    fs::create_directories(fs::path(deep).parent_path());
    gui_file_save_as_success(deep.c_str());
    EXPECT_EQ(title(), "Tavro Sendral - [ " + std::string(200, 'n') + " ]");
    gui_file_open_success((deep + ".iml").c_str());
    EXPECT_EQ(filled_rows, 4);
    EXPECT_EQ(current_filename, deep + ".iml");
}

TEST(ListFile, ChoosersStartWhereTheListLives) {
    ensureMainWindow();
    TempDir dir;
    gchar *cwd = g_get_current_dir();
    const std::string start = cwd;
    g_free(cwd);
    std::string seen;
    auto folderSeen = [&](GtkFileChooser *c) {
        waitFor(c, gtk_file_chooser_get_current_folder, seen);
    };
    // No file yet: where the program was started, not the toolkit's recently used list.
    seen = start;
    clearCurrentFilename();
    whenDialogOpens([&](GtkWidget *dialog) {
        folderSeen(GTK_FILE_CHOOSER(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    });
    gui_file_saveas(nullptr, 0, nullptr);

    // With a current file: its folder.
    current_filename = dir / "kept.iml";
    seen = dir.path;
    whenDialogOpens([&](GtkWidget *dialog) {
        folderSeen(GTK_FILE_CHOOSER(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    });
    gui_file_open(nullptr, 0, nullptr);
    EXPECT_EQ(current_filename, dir / "kept.iml"); // a cancelled chooser changes nothing
}
