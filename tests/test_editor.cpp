// The message editor, driven from inside its own nested main loop: encodings, validation,
// the copy-buffer template, the order rule and the Cancel of an inserted row.
#include "gui_fixture.h"
#include "list_helpers.h"

#include <gtest/gtest.h>

namespace {

const std::string ADDRESS_ERROR = "Address must be an even hexadecimal number between 00 and FE.";
const std::string DATA_ERROR =
    "Message data must contain only one or two digit hexadecimal numbers.";

// Opens the editor on row n and runs action on it from inside the editor's nested loop.
void editRow(int n, std::function<void(GtkWidget *)> action) {
    if (action)
        whenDialogOpens(std::move(action));
    GtkTreePath *path = gtk_tree_path_new_from_indices(n - 1, -1);
    gui_openRow(GTK_TREE_VIEW(view), path, nullptr, nullptr);
    gtk_tree_path_free(path);
}

void clickOk(GtkWidget *dialog) {
    clickButton(dialog, "OK");
}
void clickCancel(GtkWidget *dialog) {
    clickButton(dialog, "Cancel");
}

// The open editor as "address|direction and frames|stop|delay|read count|boxes": the
// direction R or W is followed by the frames shown, r and/or w; the boxes are listed up
// to the first empty one.
std::string shown() {
    std::string text = gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry));
    text +=
        std::string("|") + new_msg_rw.data() + (GTK_WIDGET_VISIBLE(editor_read_frame) ? "r" : "") +
        (GTK_WIDGET_VISIBLE(editor_write_frame) ? "w" : "") + "|" + std::to_string(new_msg_stop) +
        "|" + std::to_string(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(editor_delay))) +
        "|" + std::to_string(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(editor_read_bytes))) +
        "|";
    for (GtkWidget *box : editor_write_data) {
        const std::string byte = gtk_entry_get_text(GTK_ENTRY(box));
        if (byte.empty())
            break;
        text += byte + " ";
    }
    return text;
}

void setAddress(const char *text) {
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry), text);
}
// Fills the boxes from 1 on; "-" leaves one empty.
void setBoxes(const std::vector<const char *> &bytes) {
    for (std::size_t k = 0; k < editor_write_data.size(); ++k)
        gtk_entry_set_text(GTK_ENTRY(editor_write_data[k]),
                           k < bytes.size() && bytes[k][0] != '-' ? bytes[k] : "");
}

} // namespace

TEST(Editor, EncodesReadsAndWritesAndShowsThemBack) {
    ensureMainWindow();
    editRow(1, [](GtkWidget *dialog) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "I2C Message Editor");
        EXPECT_EQ(shown(), "|Ww|1|0|1|");
        clickButton(dialog, "Read");
        clickButton(dialog, "No");
        setAddress("A0");
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_read_bytes), 3);
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_delay), 250);
        clickOk(dialog);
    });
    EXPECT_EQ(row(1), "1|A0|R|FF,FF,FF,|0|250");
    EXPECT_EQ(filled_rows, 1);
    EXPECT_EQ(rowpath, nullptr);

    editRow(1, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "A0|Rr|0|250|3|FF FF FF ");
        clickButton(dialog, "Write");
        clickButton(dialog, "Yes");
        EXPECT_EQ(shown(), "A0|Ww|1|250|3|FF FF FF ");
        setAddress("a0");
        setBoxes({"1", "a", "-", "33"});
        clickOk(dialog);
    });
    EXPECT_EQ(row(1), "1|a0|W|01,0A,|1|250");

    editRow(1, [](GtkWidget *dialog) {
        setBoxes(std::vector<const char *>(32, "fe"));
        clickOk(dialog);
    });
    std::string full;
    for (int k = 0; k < 32; ++k)
        full += "FE,";
    EXPECT_EQ(row(1), "1|a0|W|" + full + "|1|250");

    editRow(1, [](GtkWidget *dialog) {
        setBoxes({});
        clickOk(dialog);
    });
    EXPECT_EQ(row(1), "1|a0|W||1|250");
    EXPECT_EQ(filled_rows, 1);
}

TEST(Editor, RefusedAddressOrDataKeepsTheEditorOpenAndWritesNothing) {
    ensureMainWindow();
    ErrorBoxCloser errors;
    editRow(1, [&](GtkWidget *dialog) {
        for (const char *bad : {"FF", "41", "", "2z", "+2", "G0"}) {
            setAddress(bad);
            clickOk(dialog);
        }
        setAddress("FE");
        for (const char *bad : {"G", "x7"}) {
            setBoxes({"1", bad});
            clickOk(dialog);
        }
        EXPECT_EQ(editwindow, dialog);
        EXPECT_TRUE(GTK_WIDGET_VISIBLE(dialog));
        EXPECT_EQ(row(1), "1||||1|0");
        clickButton(dialog, "Read"); // the hidden boxes do not count for a read
        clickOk(dialog);
    });
    std::vector<std::string> expected(6, ADDRESS_ERROR);
    expected.insert(expected.end(), 2, DATA_ERROR);
    EXPECT_EQ(errors.texts(), expected);
    EXPECT_EQ(row(1), "1|FE|R|FF,|1|0");

    for (const char *typed : {"4", "A0C"}) { // stored as typed, cut to two characters
        editRow(1, [&](GtkWidget *dialog) {
            setAddress(typed);
            clickOk(dialog);
        });
        EXPECT_EQ(row(1), "1|" + std::string(typed).substr(0, 2) + "|R|FF,|1|0");
    }
    EXPECT_EQ(errors.texts().size(), expected.size());
}

TEST(Editor, NewRowsStartFromTheRowTheEditorLastClosedOn) {
    ensureMainWindow();
    putRow(1, "A0", "R", "FF,FF,", 0);
    editRow(1, clickOk);
    editRow(2, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "A0|Rr|0|1|2|FF FF ");
        clickCancel(dialog);
    });
    EXPECT_EQ(row(2), "2||||1|0");
    EXPECT_EQ(filled_rows, 1);
    editRow(2, [](GtkWidget *dialog) { // that Cancel made the empty row the template
        EXPECT_EQ(shown(), "|Ww|1|0|1|");
        clickCancel(dialog);
    });
    editRow(1, [](GtkWidget *dialog) { // Cancel copies the row as stored, not the fields
        setAddress("10");
        clickCancel(dialog);
    });
    editRow(2, clickOk);
    EXPECT_EQ(row(2), "2|A0|R|FF,FF,|0|1");
    EXPECT_EQ(filled_rows, 2);

    putRow(3, "30", "W", ""); // a write without bytes is a message, not an empty row
    editRow(3, [](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "30|Ww|1|3|1|");
        clickCancel(dialog);
    });
}

TEST(Editor, OpensOnlyOnFilledRowsOrTheFirstEmptyOneAndOnlyOnceWhileIdle) {
    ensureMainWindow();
    for (int n = 1; n <= 3; ++n)
        putRow(n, "10", "W", "01,");
    {
        ErrorBoxCloser errors;
        editRow(5, nullptr);
        EXPECT_EQ(errors.texts(), std::vector<std::string>{
                                      "You must enter messages in order.  If you want to insert "
                                      "another message later, use the [insert] key."});
    }
    editRow(4, [](GtkWidget *dialog) {
        editRow(1, nullptr); // a second activation through the nested loop is ignored
        EXPECT_EQ(openDialogs().size(), 1u);
        setAddress("40");
        clickOk(dialog);
    });
    EXPECT_EQ(row(4), "4|40|W||1|0");
    EXPECT_EQ(filled_rows, 4);

    setSendMode(1);
    const std::vector<std::string> before = rows();
    ErrorBoxCloser errors;
    editRow(1, nullptr); // returns at once: an editor would block here until the time-out
    EXPECT_EQ(rows(), before);
    EXPECT_TRUE(errors.texts().empty());
}

TEST(Editor, CancelOfAnInsertedRowRestoresTheListExactly) {
    ensureMainWindow();
    for (int n = 1; n <= 5; ++n)
        putRow(n, "20", n % 2 ? "R" : "W", std::string(std::size_t(n) * 3, 'A').c_str(), n % 2);
    const std::vector<std::string> before = rows();
    ErrorBoxCloser errors;

    // A refused OK, then the selection moved as a send from /INT would move it, then
    // Cancel: the inserted row itself goes.
    whenDialogOpens([](GtkWidget *dialog) {
        setAddress("FF");
        clickOk(dialog);
        selectRow(5);
        clickCancel(dialog);
    });
    selectRow(3);
    insertSelectedRow();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(filled_rows, 5);
    EXPECT_EQ(inserted_new_row, 0);
    EXPECT_EQ(can_copy, 0);
    EXPECT_EQ(errors.texts().size(), 1u);

    // Closed through the window manager: the same Cancel, and the dialog destroyed once.
    whenDialogOpens([](GtkWidget *dialog) {
        GdkEvent *event = gdk_event_new(GDK_DELETE);
        event->any.window = GDK_WINDOW(g_object_ref(dialog->window));
        gtk_main_do_event(event);
        gdk_event_free(event);
    });
    selectRow(1);
    insertSelectedRow();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(editwindow, nullptr);
}

TEST(Editor, OverlongStoredDataShowsAndKeepsThirtyTwoGroups) {
    ensureMainWindow();
    std::string forty, boxes, reads;
    for (int i = 0; i < 40; ++i) {
        char group[4];
        std::snprintf(group, sizeof group, "%02X,", i);
        forty += group;
        if (i < 32)
            boxes += std::string(group, 2) + " ", reads += "FF,";
    }
    for (int n : {1, 2}) { // as a hand-edited list file can make them
        putRow(n, "10", n == 1 ? "W" : "R", "");
        GtkTreeIter iter;
        gtk_tree_model_iter_nth_child(MODEL, &iter, nullptr, n - 1);
        gtk_tree_store_set(GTK_TREE_STORE(MODEL), &iter, COL_DATA, forty.c_str(), -1);
    }
    editRow(1, [&](GtkWidget *dialog) {
        EXPECT_EQ(shown(), "10|Ww|1|1|32|" + boxes);
        clickCancel(dialog);
    });
    EXPECT_EQ(std::string(copy_msg_data.data()), forty.substr(0, 96));
    EXPECT_EQ(row(1), "1|10|W|" + forty + "|1|1");

    editRow(1, clickOk);
    editRow(2, clickOk);
    EXPECT_EQ(row(1), "1|10|W|" + forty.substr(0, 96) + "|1|1");
    EXPECT_EQ(row(2), "2|10|R|" + reads + "|1|2");
}
