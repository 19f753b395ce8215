// The message list: its keys, insertion, deletion and erasing, and the message editor driven
// from inside its own nested main loop.
#include "support.h"

#include <gdk/gdkkeysyms.h>

namespace {

void releaseKey(guint keyval) {
    GdkEventKey event{};
    event.type = GDK_KEY_RELEASE;
    event.keyval = keyval;
    gui_keypress(view, &event, nullptr);
}

// Opens the editor on row n and runs action on it from inside the editor's loop.
void editRow(int n, std::function<void(GtkWidget *)> action) {
    if (action)
        whenDialogOpens(std::move(action));
    GtkTreePath *path = gtk_tree_path_new_from_indices(n - 1, -1);
    gui_openRow(GTK_TREE_VIEW(view), path, nullptr, nullptr);
    gtk_tree_path_free(path);
}

void setAddress(const char *text) {
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry), text);
}
void setBoxes(const std::vector<const char *> &bytes) {
    for (std::size_t k = 0; k < editor_write_data.size(); ++k)
        gtk_entry_set_text(GTK_ENTRY(editor_write_data[k]), k < bytes.size() ? bytes[k] : "");
}
void ok(GtkWidget *dialog) {
    clickButton(dialog, "OK");
}
void cancel(GtkWidget *dialog) {
    clickButton(dialog, "Cancel");
}

// The open editor as "address|direction, frames shown|stop|delay|read count|boxes".
std::string shown() {
    std::string text = gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry));
    text +=
        std::string("|") + new_msg_rw.data() + (GTK_WIDGET_VISIBLE(editor_read_frame) ? "r" : "") +
        (GTK_WIDGET_VISIBLE(editor_write_frame) ? "w" : "") + "|" + std::to_string(new_msg_stop) +
        "|" + std::to_string(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(editor_delay))) +
        "|" + std::to_string(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(editor_read_bytes))) +
        "|";
    for (GtkWidget *box : editor_write_data)
        text += gtk_entry_get_text(GTK_ENTRY(box));
    return text;
}

} // namespace

TEST(ListStore, KeysInsertAndDeleteKeepTheMessagesInOrder) {
    ensureMainWindow();
    for (int n = 1; n <= 5; ++n)
        putRow(n, "10", "W", (std::to_string(10 + n) + ",").c_str());
    auto list = [] { return row(1) + row(2) + row(3) + row(4) + row(5) + row(6); };
    const std::string before = list();

    // Cancel of an inserted row gives the list back, even when a run moved the selection.
    whenDialogOpens([](GtkWidget *dialog) {
        EXPECT_EQ(row(3), "3||||1|0");
        EXPECT_EQ(row(6), "6|10|W|15,|1|5");
        selectRow(5);
        cancel(dialog);
    });
    selectRow(3);
    releaseKey(GDK_Insert);
    EXPECT_EQ(list(), before);
    EXPECT_EQ(getFilledCount(), 5);

    whenDialogOpens([](GtkWidget *dialog) {
        setAddress("7E");
        ok(dialog);
    });
    selectRow(2);
    releaseKey(GDK_KP_Insert);
    EXPECT_EQ(row(2) + row(6), "2|7E|W||1|06|10|W|15,|1|5");
    selectRow(1);
    releaseKey(GDK_Delete);
    EXPECT_EQ(row(1) + row(5) + row(6), "1|7E|W||1|05|10|W|15,|1|56||||1|0");
    EXPECT_EQ(getFilledCount(), 5);

    setSendMode(1); // no key acts during a run: an editor would wait for the time-out
    releaseKey(GDK_KP_Delete);
    releaseKey(GDK_Insert);
    EXPECT_EQ(getFilledCount(), 5);
    setSendMode(0);

    // With all 50 rows full, Insert is refused rather than push the last message out.
    for (int n = 1; n <= LIST_ROWS; ++n)
        putRow(n, "20", "W", "01,");
    selectRow(10);
    releaseKey(GDK_Insert);
    EXPECT_EQ(row(LIST_ROWS), "50|20|W|01,|1|50");
    EXPECT_NE(statusText().find("full"), std::string::npos);

    setAutorepeatCheckbox(1);
    eraseRows();
    EXPECT_EQ(getOptionAutorepeat() + getFilledCount(), 0);
    EXPECT_EQ(row(LIST_ROWS), "50||||1|0");
}

TEST(Editor, RefusesBadMessagesEncodesGoodOnesAndShowsThemBack) {
    ensureMainWindow();
    ErrorBoxCloser errors;
    editRow(1, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "|Ww|1|0|1|");
        for (const char *bad : {"FF", "2z"}) { // refused, and the editor stays open
            setAddress(bad);
            ok(dialog);
        }
        setAddress("A0");
        setBoxes({"1", "x7"});
        ok(dialog);
        EXPECT_EQ(editwindow, dialog);
        clickButton(dialog, "Read"); // the hidden boxes do not count for a read
        clickButton(dialog, "No");
        setAddress("A0");
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_read_bytes), 3);
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_delay), 250);
        ok(dialog);
    });
    EXPECT_EQ(row(1), "1|A0|R|FF,FF,FF,|0|250");
    EXPECT_EQ(getFilledCount(), 1);
    std::vector<std::string> refused(2, "Address must be an even hexadecimal number between "
                                        "00 and FE.");
    refused.push_back("Message data must contain only one or two digit hexadecimal numbers.");
    EXPECT_EQ(errors.texts(), refused);

    editRow(1, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "A0|Rr|0|250|3|FFFFFF");
        clickButton(dialog, "Write");
        clickButton(dialog, "Yes");
        setAddress("a0"); // kept as typed
        setBoxes({"1", "a", "", "33"});
        ok(dialog);
    });
    EXPECT_EQ(row(1), "1|a0|W|01,0A,|1|250");

    // A run may rewrite the editor's record meanwhile: OK still takes the dialog's message.
    putRow(2, "4E", "W", "01,");
    editRow(2, [](GtkWidget *dialog) {
        selectRowNumber(1);
        setRow(1, "a0", "R", "55,", 1, 250);
        ok(dialog);
    });
    EXPECT_EQ(row(2), "2|4E|W|01,|1|2");

    std::string full;
    editRow(1, [&](GtkWidget *dialog) {
        clickButton(dialog, "Write");
        setBoxes(std::vector<const char *>(32, "fe"));
        ok(dialog);
    });
    for (int k = 0; k < 32; ++k)
        full += "FE,";
    EXPECT_EQ(row(1), "1|a0|W|" + full + "|1|250");
}

TEST(Editor, TemplateOrderRuleAndOneAtATime) {
    ensureMainWindow();
    putRow(1, "A0", "R", "FF,FF,", 0);
    putRow(2, "30", "W", "");
    editRow(1, ok);
    // A stored write without bytes is a message: it opens with its own values.
    editRow(2, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "30|Ww|1|2|1|");
        setAddress("10"); // Cancel copies the row as stored, not the fields
        cancel(dialog);
    });
    editRow(3, [](GtkWidget *dialog) { // a new row starts from the row last closed on
        EXPECT_EQ(shown(), "30|Ww|1|2|1|");
        editRow(1, nullptr); // a second editor through the nested loop is ignored
        EXPECT_EQ(openDialogs().size(), 1u);
        ok(dialog);
    });
    EXPECT_EQ(row(3), "3|30|W||1|2");
    {
        ErrorBoxCloser errors;
        editRow(5, nullptr);
        EXPECT_EQ(errors.texts(), std::vector<std::string>{"You must enter messages in order.  "
                                                           "If you want to insert another message "
                                                           "later, use the [insert] key."});
    }
    setSendMode(1);
    editRow(1, nullptr); // returns at once: an editor would wait here for the time-out
    EXPECT_TRUE(openDialogs().empty());
}
