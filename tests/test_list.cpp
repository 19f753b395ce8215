// The message list store (insert, delete, erase, the row cursor, the row accessors) and the
// list view's Insert and Delete keys.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "list_helpers.h"

#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

namespace {

std::string emptyRow(int n) {
    return std::to_string(n) + "||||1|0";
}

void putMessages(int count) {
    for (int n = 1; n <= count; ++n)
        putRow(n, "10", n % 2 ? "W" : "R", (std::to_string(10 + n) + ",").c_str(), n % 2);
}

// The rows of a copy numbered by their positions again, after rows were moved in it.
std::vector<std::string> renumbered(std::vector<std::string> all) {
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = std::to_string(i + 1) + all[i].substr(all[i].find('|'));
    return all;
}

void releaseKey(guint keyval, guint state = 0) {
    GdkEventKey event{};
    event.type = GDK_KEY_RELEASE;
    event.keyval = keyval;
    event.state = state;
    gui_keypress(view, &event, nullptr);
}

// Inserts before row k: while the editor is open the messages from k on sit one row lower
// and row k is empty; Cancel gives back the list as it was.
void insertAndCancel(int k, const std::function<void()> &insert) {
    const std::vector<std::string> before = rows();
    const int filled = filled_rows;
    std::vector<std::string> during = before;
    during.insert(during.begin() + k - 1, emptyRow(k));
    during.pop_back();
    bool opened = false;
    whenDialogOpens([&](GtkWidget *dialog) {
        opened = true;
        EXPECT_EQ(filled_rows, filled + 1);
        EXPECT_EQ(rows(), renumbered(during));
        clickButton(dialog, "Cancel");
    });
    selectRow(k);
    insert();
    EXPECT_TRUE(opened);
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(filled_rows, filled);
}

} // namespace

TEST(ListStore, InsertMovesMessagesDownOnlyWhereThereIsRoom) {
    ensureMainWindow();
    putMessages(5);
    for (int k : {1, 3, 6}) // top, middle, first empty row
        insertAndCancel(k, insertSelectedRow);

    whenDialogOpens([](GtkWidget *dialog) {
        gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry), "7E");
        clickButton(dialog, "OK");
    });
    selectRow(2);
    insertSelectedRow();
    EXPECT_EQ(row(2), "2|7E|W||1|0");
    EXPECT_EQ(row(6), "6|10|W|15,|1|5");
    EXPECT_EQ(filled_rows, 6);

    std::vector<std::string> before = rows();
    selectRowNumber(4);
    selectRow(9); // below the first empty row: only the cursor goes back to row 1
    insertSelectedRow();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(current_row, 1);

    putMessages(LIST_ROWS);
    before = rows();
    selectRow(10);
    insertSelectedRow(); // refused: the last message would have nowhere to go
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(filled_rows, LIST_ROWS);
    EXPECT_EQ(inserted_new_row, 0);
    EXPECT_NE(std::string(gtk_entry_get_text(GTK_ENTRY(status))).find("full"), std::string::npos);
}

TEST(ListStore, DeleteClosesTheGapAndLeavesEmptyRowsAlone) {
    ensureMainWindow();
    putMessages(LIST_ROWS);
    for (int k : {2, 1, LIST_ROWS - 2}) { // middle, top, last message
        std::vector<std::string> expected = rows();
        expected.erase(expected.begin() + k - 1);
        expected.push_back(emptyRow(LIST_ROWS));
        selectRow(k);
        deleteSelectedRow();
        EXPECT_EQ(rows(), renumbered(expected)) << k;
    }
    EXPECT_EQ(filled_rows, LIST_ROWS - 3);

    const std::vector<std::string> before = rows();
    selectRowNumber(2);
    selectRow(LIST_ROWS);
    deleteSelectedRow();
    EXPECT_EQ(current_row, 1);
    gtk_tree_selection_unselect_all(sel);
    deleteSelectedRow();
    insertSelectedRow(); // no editor either
    EXPECT_EQ(rows(), before);
}

TEST(ListStore, EraseUnticksAutoRepeatAndTheCursorWalkFollowsIt) {
    ensureMainWindow();
    putMessages(3);
    std::vector<int> walk; // row * 10 + hasMoreRows
    for (int autorepeat : {0, 1}) {
        setAutorepeatCheckbox(autorepeat);
        selectRowReset();
        for (int i = 0; i < 4; ++i) {
            selectRowNext();
            walk.push_back(current_row * 10 + hasMoreRows());
        }
    }
    EXPECT_EQ(walk, (std::vector<int>{21, 31, 30, 30, 21, 31, 11, 21}));

    putMessages(LIST_ROWS);
    eraseRows(); // would never end if AutoRepeat were still on
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(autorepeat)));
    EXPECT_EQ(getOptionAutorepeat(), 0);
    EXPECT_EQ(filled_rows, 0);
    for (int n = 1; n <= LIST_ROWS; ++n)
        EXPECT_EQ(row(n), emptyRow(n));
}

TEST(ListStore, RowAccessorsCutOverlongTextsToTheirBuffers) {
    ensureMainWindow();
    std::string groups;
    for (int i = 0; i < 40; ++i)
        groups += "AB,";
    putRow(1, "ABC", "RW", groups.c_str(), 7);
    EXPECT_EQ(row(1), "1|AB|R|" + groups.substr(0, 96) + "|1|1");

    // Written behind the accessors' back, as a hand-edited list file could make it.
    GtkTreeIter iter;
    gtk_tree_model_iter_nth_child(MODEL, &iter, nullptr, 0);
    gtk_tree_store_set(GTK_TREE_STORE(MODEL), &iter, COL_ADDRESS, "A0A0", COL_RW, "WW", COL_DATA,
                       (groups + groups).c_str(), -1);
    char address[ADDRESS_SIZE], rw[RW_SIZE], data[DATA_SIZE];
    int num, stop, delay;
    getRow(&num, address, rw, data, &stop, &delay);
    EXPECT_EQ(std::string(address) + rw + data, "A0W" + groups.substr(0, 96));
    EXPECT_EQ(stop, 1);

    // Bytes a list cannot show (a hand-edited file) are kept out of the store.
    putRow(1, "\xc3\xa4", "W", "0A,\xff\xfe,", 7);
    EXPECT_EQ(row(1), "1|??|W|0A,??,|1|1");
}

TEST(ListKeys, InsertAndDeleteWithAnyModifierOnlyWhileIdle) {
    ensureMainWindow();
    putMessages(8);
    const guint modifiers[] = {0u, GDK_CONTROL_MASK, GDK_SHIFT_MASK};
    for (guint key : {GDK_Insert, GDK_KP_Insert})
        for (guint state : modifiers)
            insertAndCancel(2, [&] { releaseKey(key, state); });
    for (guint key : {GDK_Delete, GDK_KP_Delete})
        for (guint state : modifiers) {
            std::vector<std::string> expected = rows();
            expected.erase(expected.begin());
            expected.push_back(emptyRow(LIST_ROWS));
            selectRow(1);
            releaseKey(key, state);
            EXPECT_EQ(rows(), renumbered(expected));
        }
    EXPECT_EQ(filled_rows, 2);

    const std::vector<std::string> before = rows();
    selectRow(2);
    setSendMode(1);
    for (guint key : {GDK_Insert, GDK_KP_Insert, GDK_Delete, GDK_KP_Delete})
        releaseKey(key); // an editor opening here would block until the time-out
    EXPECT_EQ(rows(), before);
}
