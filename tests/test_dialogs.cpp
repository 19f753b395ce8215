// The baud rate and clock speed dialogs, the text viewer and the About window.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "main.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace {

std::string title(GtkWidget *w) {
    return gtk_window_get_title(GTK_WINDOW(w));
}

// The widgets under widget (itself included) that match, depth first.
std::vector<GtkWidget *> findAll(GtkWidget *widget, const std::function<bool(GtkWidget *)> &match) {
    std::vector<GtkWidget *> found;
    if (match(widget))
        found.push_back(widget);
    if (GTK_IS_CONTAINER(widget)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList *l = children; l; l = l->next)
            for (GtkWidget *w : findAll(GTK_WIDGET(l->data), match))
                found.push_back(w);
        g_list_free(children);
    }
    return found;
}

// The window manager's close.
void deleteEvent(GtkWidget *dialog) {
    GdkEvent *event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(dialog->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

struct RateSeen {
    std::string title, entry;
    std::vector<std::string> choices;
    bool ok_sensitive = false;
};

// Opens a rate dialog from its menu callback, types text (unless null) and presses button.
RateSeen runRate(bool baud, const char *text, const char *button) {
    RateSeen seen;
    whenDialogOpens([&](GtkWidget *dialog) {
        EXPECT_EQ(dialog, baud ? baudwindow : clockwindow);
        GtkCombo *combo = GTK_COMBO(baud ? baudrate : clockspeed);
        seen.title = title(dialog);
        seen.entry = gtk_entry_get_text(GTK_ENTRY(combo->entry));
        for (GtkWidget *label : findAll(combo->list, [](GtkWidget *w) { return GTK_IS_LABEL(w); }))
            seen.choices.push_back(gtk_label_get_text(GTK_LABEL(label)));
        seen.ok_sensitive = GTK_WIDGET_IS_SENSITIVE(
            findAll(dialog, [](GtkWidget *w) {
                return GTK_IS_BUTTON(w) &&
                       g_strcmp0(gtk_button_get_label(GTK_BUTTON(w)), "OK") == 0;
            }).at(0));
        if (text)
            gtk_entry_set_text(GTK_ENTRY(combo->entry), text);
        if (button)
            clickButton(dialog, button);
        else
            deleteEvent(dialog);
    });
    (baud ? gui_baud : gui_clock)(nullptr, 0, nullptr);
    EXPECT_EQ(baud ? baudwindow : clockwindow, nullptr);
    EXPECT_EQ(baud ? baudrate : clockspeed, nullptr);
    EXPECT_TRUE(openDialogs().empty());
    return seen;
}

struct ViewerSeen {
    std::string title, text;
    bool editable = true, cursor = true;
    GtkWrapMode wrap = GTK_WRAP_NONE;
    GtkPolicyType horizontal = GTK_POLICY_ALWAYS, vertical = GTK_POLICY_ALWAYS;
};

// Runs open, reads the viewer it shows and closes it by "OK" or the window manager.
ViewerSeen viewText(const std::function<void()> &open, bool by_window_manager = false) {
    ViewerSeen seen;
    whenDialogOpens([&](GtkWidget *dialog) {
        EXPECT_EQ(dialog, displaybox);
        seen.title = title(dialog);
        auto *text =
            GTK_TEXT_VIEW(findAll(dialog, [](GtkWidget *w) { return GTK_IS_TEXT_VIEW(w); }).at(0));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(gtk_text_view_get_buffer(text), &start, &end);
        gchar *all = gtk_text_iter_get_text(&start, &end);
        seen.text = all;
        g_free(all);
        seen.editable = gtk_text_view_get_editable(text);
        seen.cursor = gtk_text_view_get_cursor_visible(text);
        seen.wrap = gtk_text_view_get_wrap_mode(text);
        gtk_scrolled_window_get_policy(GTK_SCROLLED_WINDOW(gtk_widget_get_parent(GTK_WIDGET(text))),
                                       &seen.horizontal, &seen.vertical);
        if (by_window_manager)
            deleteEvent(dialog);
        else
            clickButton(dialog, "OK");
    });
    open();
    EXPECT_EQ(displaybox, nullptr);
    EXPECT_TRUE(openDialogs().empty());
    return seen;
}

} // namespace

TEST(RateDialogs, ListsFollowTheVariantAndOkStoresTheLeadingNumber) {
    ensureMainWindow();
    RateSeen seen = runRate(true, nullptr, "Cancel");
    EXPECT_EQ(seen.title, "Set serial baud rate");
    EXPECT_EQ(seen.choices, std::vector<std::string>({"19200"}));
    EXPECT_EQ(seen.entry, "19200");
    seen = runRate(false, nullptr, "Cancel");
    EXPECT_EQ(seen.title, "Set I2C clock speed");
    EXPECT_EQ(seen.choices, std::vector<std::string>({"100"}));

    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    seen = runRate(true, nullptr, "Cancel");
    EXPECT_EQ(seen.choices, std::vector<std::string>({"19200", "57600", "115200"}));
    EXPECT_EQ(seen.entry, "115200");
    EXPECT_EQ(runRate(false, "400", "OK").choices,
              std::vector<std::string>({"23", "86", "100", "400"}));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb3), TRUE);
    EXPECT_EQ(runRate(false, nullptr, "Cancel").entry, "400");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb1), TRUE);
    EXPECT_EQ(gui_getClockSpeed(), 100);

    for (const auto &[text, value] :
         std::vector<std::pair<const char *, int>>{{"57600baud", 57600},
                                                   {"  +38400", 38400},
                                                   {"-7x", -7},
                                                   {"fast", 0},
                                                   {"99999999999", INT_MAX}}) {
        runRate(true, text, "OK");
        EXPECT_EQ(gui_getBaudRate(), value) << text;
        runRate(false, text, "OK");
        EXPECT_EQ(gui_getClockSpeed(), value) << text;
    }
    // Cancel and the window manager's close store nothing.
    runRate(true, "1200", "Cancel");
    runRate(false, "1200", nullptr);
    EXPECT_EQ(gui_getBaudRate(), INT_MAX);
    EXPECT_EQ(gui_getClockSpeed(), INT_MAX);
}

TEST(RateDialogs, OkIsGreyedWhileTheLinkIsOpen) {
    ensureMainWindow();
    setButtonMode(1);
    EXPECT_FALSE(runRate(true, nullptr, "Cancel").ok_sensitive);
    EXPECT_FALSE(runRate(false, nullptr, "Cancel").ok_sensitive);
    setButtonMode(0);
    EXPECT_TRUE(runRate(true, nullptr, "Cancel").ok_sensitive);
}

TEST(RateDialogs, ASecondDialogInsideTheFirstClosesOnlyItself) {
    ensureMainWindow();
    GtkWidget *outer = nullptr;
    GtkWidget *outer_combo = nullptr;
    whenDialogOpens([&](GtkWidget *first) {
        outer = first;
        outer_combo = baudrate;
        whenDialogOpens([&](GtkWidget *second) {
            EXPECT_NE(second, outer);
            EXPECT_EQ(baudwindow, second);
            gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(baudrate)->entry), "57600");
            clickButton(second, "OK");
            EXPECT_EQ(baudwindow, outer); // back in the first one's run
            EXPECT_EQ(baudrate, outer_combo);
            gui_baud_cancel(nullptr, nullptr);
        });
        displayBaudRate();
    });
    displayBaudRate();
    EXPECT_EQ(baudwindow, nullptr);
    EXPECT_EQ(gui_getBaudRate(), 57600);
    EXPECT_TRUE(openDialogs().empty());
}

TEST(TextViewer, ShowsTheWholeFileReadOnly) {
    ensureMainWindow();
    char name[] = "/tmp/sendral-view-XXXXXX";
    const std::filesystem::path dir = mkdtemp(name);
    auto file = [&](const char *leaf, const std::string &bytes) {
        std::ofstream(dir / leaf, std::ios::binary) << bytes;
        return (dir / leaf).string();
    };
    auto show = [](const std::string &path) {
        return viewText([&] { displayTextFile("Title", path.c_str()); }).text;
    };

    const ViewerSeen missing =
        viewText([&] { displayTextFile("ReadMe", (dir / "README.txt").c_str()); });
    EXPECT_EQ(missing.title, "ReadMe");
    EXPECT_EQ(missing.text, "File not found!  Contact QVT.");
    EXPECT_EQ(show(file("empty.txt", "")), "");

    // Over 255 bytes, with two-, three- and four-byte characters across the piece ends.
    std::string text;
    for (int i = 0; text.size() < 1200; ++i)
        text += i % 3 == 0   ? "caf\xC3\xA9 "
                : i % 3 == 1 ? "\xE2\x82\xAC"
                               "1 "
                             : "\xF0\x9F\x99\x82 ";
    const ViewerSeen whole =
        viewText([&] { displayTextFile("T", file("long.txt", text).c_str()); });
    EXPECT_EQ(whole.text, text);
    EXPECT_FALSE(whole.editable);
    EXPECT_FALSE(whole.cursor);
    EXPECT_EQ(whole.wrap, GTK_WRAP_WORD_CHAR);
    EXPECT_EQ(whole.horizontal, GTK_POLICY_NEVER);

    // Bytes that are not UTF-8 (NUL too) are each replaced; the rest stays.
    EXPECT_EQ(show(file("bad.txt", std::string("ok \xFF\xC3(\xE2\x82 end\0!", 14))),
              "ok \xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD end\xEF\xBF\xBD!");
    std::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(show((dir / "folder").string()), "File could not be read!  Contact QVT.");
    EXPECT_EQ(viewText([&] { displayTextFile("Closed", "/nonexistent"); }, true).title, "Closed");
    std::filesystem::remove_all(dir);
}

TEST(TextViewer, SanitizerIgnoresPieceBoundaries) {
    const std::string input("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x99\x82\xE2\x82z\xED\xA0\x80\xC0\xAF"
                            "\xF4\x90\x80\x80\0\xC3",
                            24);
    Utf8Sanitizer one;
    std::string whole = one.feed(input.data(), input.size());
    whole += one.finish();
    auto replaced = [](int n) {
        std::string marks;
        while (n-- > 0)
            marks += "\xEF\xBF\xBD";
        return marks;
    };
    EXPECT_EQ(whole, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x99\x82" + replaced(2) + "z" + replaced(11));
    for (std::size_t cut = 0; cut <= input.size(); ++cut)
        for (std::size_t second = cut; second <= input.size(); ++second) {
            Utf8Sanitizer pieces;
            std::string out = pieces.feed(input.data(), cut);
            out += pieces.feed(input.data() + cut, second - cut);
            out += pieces.feed(input.data() + second, input.size() - second);
            out += pieces.finish();
            ASSERT_EQ(out, whole) << cut << " " << second;
        }
}

TEST(HelpMenu, EachEntryOpensItsWindow) {
    ensureMainWindow();
    for (const auto &[path, expected] : std::vector<std::pair<const char *, const char *>>{
             {"/Help/ReadMe...", "ReadMe"},
             {"/Help/Revision Report...", "Revision Report"},
             {"/Help/Quick Start...", "QuickStart"}})
        EXPECT_EQ(viewText([path = path] {
                      gtk_menu_item_activate(
                          GTK_MENU_ITEM(gtk_item_factory_get_widget(item_factory, path)));
                  }).title,
                  expected);

    std::string labels;
    whenDialogOpens([&](GtkWidget *dialog) {
        EXPECT_EQ(dialog, displaybox);
        EXPECT_EQ(title(dialog), "About...");
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(window));
        for (GtkWidget *label : findAll(dialog, [](GtkWidget *w) { return GTK_IS_LABEL(w); }))
            labels += std::string(gtk_label_get_text(GTK_LABEL(label))) + "\n";
        deleteEvent(dialog);
    });
    gui_help_about(nullptr, 0, nullptr);
    EXPECT_EQ(displaybox, nullptr);
    EXPECT_TRUE(openDialogs().empty());
    EXPECT_NE(labels.find("Tavro Sendral for Linux Ver. 1.0\n"), std::string::npos);
    EXPECT_NE(labels.find("System Requirements (one of the following):\n1.  Tavro/Sol   #"),
              std::string::npos);
}
