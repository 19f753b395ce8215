#include "gui_manipulate.h"

#include "gui_callbacks.h"
#include "gui_create.h"
#include "main.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool rowIter(int n, GtkTreeIter *iter) {
    return n >= 1 && n <= LIST_ROWS && gtk_tree_model_iter_nth_child(MODEL, iter, nullptr, n - 1);
}

void writeRecord(int n, const ListMessage &record) {
    GtkTreeIter iter;
    if (!rowIter(n, &iter))
        return;
    gtk_tree_store_set(GTK_TREE_STORE(MODEL), &iter, COL_ADDRESS, record.address.c_str(), COL_RW,
                       record.rw.c_str(), COL_DATA, record.data.c_str(), COL_STOP,
                       gboolean(record.stop), COL_DELAY, record.delay, -1);
}

// The row selected in the view, made the cursor; 0 when no row is selected.
int selectedRowToCursor() {
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (sel == nullptr || !gtk_tree_selection_get_selected(sel, &model, &iter))
        return 0;
    guint number = 0;
    gtk_tree_model_get(MODEL, &iter, COL_NUM, &number, -1);
    current_iter = iter;
    current_row = static_cast<int>(number);
    return current_row;
}

// A row's texts are hex digits, commas and R or W: plain ASCII. A hand-edited list file may
// bring other bytes, which the list could not show (GTK takes UTF-8 only); they become "?".
// The text is cut to the record's buffer.
void copyRecordText(char *dest, std::size_t size, const char *src) {
    std::size_t n = 0;
    for (; n + 1 < size && src[n] != '\0'; ++n)
        dest[n] = static_cast<unsigned char>(src[n]) < 0x80 ? src[n] : '?';
    dest[n] = '\0';
}

// Whether the cursor row holds exactly these columns 1 to 5.
bool cursorRowHolds(const char *address, const char *rw, const char *data, int stop, guint delay) {
    gchar *held_address = nullptr;
    gchar *held_rw = nullptr;
    gchar *held_data = nullptr;
    gboolean held_stop = FALSE;
    guint held_delay = 0;
    gtk_tree_model_get(MODEL, &current_iter, COL_ADDRESS, &held_address, COL_RW, &held_rw, COL_DATA,
                       &held_data, COL_STOP, &held_stop, COL_DELAY, &held_delay, -1);
    const bool same = g_strcmp0(held_address, address) == 0 && g_strcmp0(held_rw, rw) == 0 &&
                      g_strcmp0(held_data, data) == 0 && (held_stop != FALSE) == (stop != 0) &&
                      held_delay == delay;
    g_free(held_address);
    g_free(held_rw);
    g_free(held_data);
    return same;
}

GtkWidget *menuItem(const char *path) {
    return gtk_item_factory_get_widget(item_factory, path);
}

void setOption(int index, int value) {
    selectedOptions[static_cast<std::size_t>(index)] = value;
}
int getOption(int index) {
    return selectedOptions[static_cast<std::size_t>(index)];
}

} // namespace

ListMessage readStoredRow(int n) {
    ListMessage record;
    GtkTreeIter iter;
    if (!rowIter(n, &iter))
        return record;
    gchar *address = nullptr;
    gchar *rw = nullptr;
    gchar *data = nullptr;
    gboolean stop = TRUE;
    gtk_tree_model_get(MODEL, &iter, COL_ADDRESS, &address, COL_RW, &rw, COL_DATA, &data, COL_STOP,
                       &stop, COL_DELAY, &record.delay, -1);
    record.stop = stop != FALSE;
    record.address = address ? address : "";
    record.rw = rw ? rw : "";
    record.data = data ? data : "";
    g_free(address);
    g_free(rw);
    g_free(data);
    return record;
}

// ---- Message list store ---------------------------------------------------------------

GtkTreeModel *create_and_fill_model() {
    GtkTreeStore *store = gtk_tree_store_new(N_COLUMNS, G_TYPE_UINT, G_TYPE_STRING, G_TYPE_STRING,
                                             G_TYPE_STRING, G_TYPE_BOOLEAN, G_TYPE_UINT);
    for (guint i = 1; i <= static_cast<guint>(LIST_ROWS); ++i) {
        GtkTreeIter iter;
        gtk_tree_store_append(store, &iter, nullptr);
        gtk_tree_store_set(store, &iter, COL_NUM, i, COL_ADDRESS, "", COL_RW, "", COL_DATA, "",
                           COL_STOP, TRUE, COL_DELAY, 0u, -1);
    }
    return GTK_TREE_MODEL(store);
}

void getRow(int *num, char *address, char *rw, char *data, int *stop, int *delay) {
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    getCellData(path);
    gtk_tree_path_free(path);
    *num = static_cast<int>(current_msg_num);
    std::snprintf(address, ADDRESS_SIZE, "%s", current_msg_address.c_str());
    std::snprintf(rw, RW_SIZE, "%s", current_msg_rw.c_str());
    std::snprintf(data, DATA_SIZE, "%s", current_msg_data.c_str());
    *stop = current_msg_stop ? 1 : 0;
    *delay = static_cast<int>(current_msg_delay);
}

void setRow(int num, const char *address, const char *rw, const char *data, int stop, int delay) {
    new_msg_num = num;
    copyRecordText(new_msg_address.data(), new_msg_address.size(), address);
    copyRecordText(new_msg_rw.data(), new_msg_rw.size(), rw);
    copyRecordText(new_msg_data.data(), new_msg_data.size(), data);
    new_msg_stop = stop ? 1 : 0;
    new_msg_delay = delay;
    if (cursorRowHolds(new_msg_address.data(), new_msg_rw.data(), new_msg_data.data(), new_msg_stop,
                       static_cast<guint>(new_msg_delay)))
        return; // a read that brought the same bytes again: rewriting would only redraw
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    setCellData(path);
    gtk_tree_path_free(path);
}

void selectRowNumber(int n) {
    GtkTreeIter iter;
    if (!rowIter(n, &iter))
        return;
    current_iter = iter;
    current_row = n;
}

void selectRowReset() {
    selectRowNumber(1);
    NO_MORE_ROWS = 0;
}

void selectRowNext() {
    if (current_row != filled_rows) {
        GtkTreeIter next = current_iter;
        if (gtk_tree_model_iter_next(MODEL, &next)) {
            current_iter = next;
            ++current_row;
        } else {
            NO_MORE_ROWS = 1; // the store's last row: there is nowhere further to go
        }
        return;
    }
    if (getOptionAutorepeat())
        selectRowReset();
    else
        NO_MORE_ROWS = 1;
}

int hasMoreRows() {
    return NO_MORE_ROWS == 0 ? 1 : 0;
}

void setFilledCount(int count) {
    filled_rows = count;
}

int getFilledCount() {
    return filled_rows;
}

void eraseRows() {
    // First: with AutoRepeat on, the walk below would wrap and never end.
    setAutorepeatCheckbox(0);
    if (filled_rows == 0)
        return;
    selectRowReset();
    for (int guard = 0; guard < LIST_ROWS && hasMoreRows(); ++guard) {
        setRow(current_row, "", "", "", 1, 0);
        selectRowNext();
    }
    filled_rows = 0;
}

void insertSelectedRow() {
    const int k = selectedRowToCursor();
    if (k == 0)
        return;
    if (k > filled_rows + 1) {
        selectRowReset();
        return;
    }
    if (filled_rows >= LIST_ROWS) {
        // The last message would have no row to move into: refuse rather than lose it.
        setStatus("The list is full: it holds 50 messages.  Delete one before inserting.");
        return;
    }
    for (int j = filled_rows; j >= k; --j)
        writeRecord(j + 1, readStoredRow(j));
    selectRowNumber(k);
    setRow(k, "", "", "", 1, 0);
    inserted_new_row = 1;
    ++filled_rows;

    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    gui_openRow(GTK_TREE_VIEW(view), path, nullptr, nullptr);
    gtk_tree_path_free(path);
}

void deleteSelectedRow() {
    const int k = selectedRowToCursor();
    if (k == 0)
        return;
    if (k > filled_rows) {
        selectRowReset();
        return;
    }
    for (int j = k; j < filled_rows; ++j)
        writeRecord(j, readStoredRow(j + 1));
    writeRecord(filled_rows, ListMessage());
    --filled_rows;
}

// ---- What the window shows during a run ------------------------------------------------

namespace {

// A run at the wire's pace changes the status line and the highlight every millisecond or
// two, far faster than a screen refreshes, and the toolkit would spend most of the run
// redrawing what no one sees. During a run they reach the window at most once a frame (the
// first change after a quiet frame at once); the rest of the time, and when a run ends, at
// once.
constexpr gint64 FRAME_US = 40000; // 25 a second

struct Waiting {
    std::string status;
    bool status_due = false;
    GtkTreeIter highlight{}; // the store's iterators persist: its rows are never removed
    bool highlight_due = false;
    gint64 shown_at = 0; // when the window was last brought up to date
    guint frame = 0;     // the source that brings it up to date at the end of the frame
};
Waiting waiting;

void showStatus(const char *text) {
    // The same text again would change nothing that shows.
    if (g_strcmp0(gtk_entry_get_text(GTK_ENTRY(status)), text) != 0)
        gtk_entry_set_text(GTK_ENTRY(status), text);
}

void showHighlight(GtkTreeIter *iter) {
    if (sel == nullptr || view == nullptr)
        return;
    if (!gtk_tree_selection_iter_is_selected(sel, iter))
        gtk_tree_selection_select_iter(sel, iter);
    // Scrolls only when the row is not wholly in view.
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, iter);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(view), path, nullptr, FALSE, 0.0f, 0.0f);
    gtk_tree_path_free(path);
}

gboolean frameEnds(gpointer) {
    waiting.frame = 0;
    showPendingDisplay();
    return FALSE;
}

// Whether a change made now must wait for the end of the frame, which is then arranged.
// Outside a run nothing waits, and what waited is shown first so that the order holds.
bool waitForFrame() {
    if (!ALLOW_SEND) {
        showPendingDisplay();
        return false;
    }
    if (waiting.frame != 0)
        return true;
    const gint64 now = g_get_monotonic_time();
    const gint64 left = waiting.shown_at + FRAME_US - now;
    if (left <= 0) {
        waiting.shown_at = now;
        return false;
    }
    waiting.frame = g_timeout_add(static_cast<guint>((left + 999) / 1000), frameEnds, nullptr);
    return true;
}

} // namespace

void highlightRow() {
    if (waitForFrame()) {
        waiting.highlight = current_iter;
        waiting.highlight_due = true;
        return;
    }
    showHighlight(&current_iter);
}

void showPendingDisplay() {
    if (waiting.frame != 0) {
        g_source_remove(waiting.frame);
        waiting.frame = 0;
    }
    if (waiting.status_due) {
        waiting.status_due = false;
        showStatus(waiting.status.c_str());
    }
    if (waiting.highlight_due) {
        waiting.highlight_due = false;
        showHighlight(&waiting.highlight);
    }
    waiting.shown_at = g_get_monotonic_time();
}

// ---- Options ------------------------------------------------------------------------

void setOptionAutorepeat(int value) {
    setOption(0, value);
}
int getOptionAutorepeat() {
    return getOption(0);
}
void setOptionBeeponBusy(int value) {
    setOption(1, value);
}
int getOptionBeeponBusy() {
    return getOption(1);
}
void setOptionBeeponArbloss(int value) {
    setOption(2, value);
}
int getOptionBeeponArbloss() {
    return getOption(2);
}
void setOptionBeeponNak(int value) {
    setOption(3, value);
}
int getOptionBeeponNak() {
    return getOption(3);
}
void setOptionBeeponInt(int value) {
    setOption(4, value);
}
int getOptionBeeponInt() {
    return getOption(4);
}
void setOptionStoponBusy(int value) {
    setOption(5, value);
}
int getOptionStoponBusy() {
    return getOption(5);
}
void setOptionStoponArbloss(int value) {
    setOption(6, value);
}
int getOptionStoponArbloss() {
    return getOption(6);
}
void setOptionStoponNak(int value) {
    setOption(7, value);
}
int getOptionStoponNak() {
    return getOption(7);
}
void setOptionMonitor(int value) {
    setOption(8, value);
}
int getOptionMonitor() {
    return getOption(8);
}
void setOptionSendonInt(int value) {
    setOption(9, value);
}
int getOptionSendonInt() {
    return getOption(9);
}

// ---- Control state ------------------------------------------------------------------

void setButtonMode(int open) {
    const gboolean closed = open ? FALSE : TRUE;
    gtk_widget_set_sensitive(button_open, closed);
    gtk_widget_set_sensitive(button_send, !closed);
    gtk_widget_set_sensitive(button_close, !closed);
    gtk_widget_set_sensitive(serial_port, closed);
    gtk_widget_set_sensitive(rb1, closed);
    gtk_widget_set_sensitive(rb2, closed);
    gtk_widget_set_sensitive(rb3, closed);
}

int getButtonMode() {
    return GTK_WIDGET_IS_SENSITIVE(button_open) ? 0 : 1;
}

void setSendMode(int sending) {
    if (sending) {
        gtk_widget_set_sensitive(button_close, FALSE);
        gtk_widget_hide(button_send);
        gtk_widget_show(button_stop);
        gtk_widget_set_sensitive(menuItem("/File/New List"), FALSE);
        gtk_widget_set_sensitive(menuItem("/File/Open List..."), FALSE);
    } else {
        if (getButtonMode() == 1)
            gtk_widget_set_sensitive(button_close, TRUE);
        gtk_widget_hide(button_stop);
        gtk_widget_show(button_send);
        gtk_widget_set_sensitive(menuItem("/File/New List"), TRUE);
        gtk_widget_set_sensitive(menuItem("/File/Open List..."), TRUE);
    }
}

int getSendMode() {
    return GTK_WIDGET_VISIBLE(button_send) ? 0 : 1;
}

void selectDevice(int variant) {
    device = variant;
    const gboolean has_int = variant > 0 ? TRUE : FALSE;
    baudrate_value = variant == 0 ? 19200 : 115200;
    if (variant == 0)
        clockspeed_value = 100;
    gtk_widget_set_sensitive(sendonint, has_int);
    gtk_widget_set_sensitive(beepon_interrupt_control, has_int);
    gtk_widget_set_sensitive(interrupt_monitor_control, has_int);
    gtk_widget_set_sensitive(menuItem("/Options/RS-232 Baud Rate..."), variant != 2);
}

int getDevice() {
    return device;
}

void setTitle(const char *name) {
    const std::string title = std::string("Tavro Sendral - [ ") + name + " ]";
    gtk_window_set_title(GTK_WINDOW(window), title.c_str());
}

void setIntMode(int asserted) {
    if (asserted) {
        gtk_widget_hide(label_int_released);
        gtk_widget_show(label_int_asserted);
    } else {
        gtk_widget_hide(label_int_asserted);
        gtk_widget_show(label_int_released);
    }
}

void setAutorepeatCheckbox(int on) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(autorepeat), on ? TRUE : FALSE);
}

void setSendonIntCheckbox(int on) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sendonint), on ? TRUE : FALSE);
}

const char *getSerialPort() {
    return gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry));
}

// ---- Status line, message boxes, beep ---------------------------------------------------

void setStatus(const char *text) {
    if (waitForFrame()) {
        waiting.status = text;
        waiting.status_due = true;
        return;
    }
    showStatus(text);
}

void showError(const char *text) {
    GtkWidget *box = gtk_message_dialog_new(
        GTK_WINDOW(window), GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text);
    gui_stop(nullptr, nullptr);
    makeBeep();
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

int showYesNo() {
    GtkWidget *box = gtk_dialog_new();
    YesNoBox = box;
    // Cleared when a button (or anything else) destroys the box.
    g_object_add_weak_pointer(G_OBJECT(box), reinterpret_cast<gpointer *>(&YesNoBox));
    gtk_widget_set_size_request(box, 200, 100);
    gtk_window_set_title(GTK_WINDOW(box), "Warning!");
    gtk_window_set_modal(GTK_WINDOW(box), TRUE);
    gtk_window_set_transient_for(GTK_WINDOW(box), GTK_WINDOW(window));

    GtkWidget *label = gtk_label_new("Overwrite file?");
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(box)->vbox), label, TRUE, TRUE, 0);
    gtk_widget_show(label);

    GtkWidget *yes = gtk_button_new_with_label("Yes");
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(box)->action_area), yes, TRUE, TRUE, 0);
    gtk_widget_show(yes);
    g_signal_connect(yes, "clicked", G_CALLBACK(showYesNo_yes), nullptr);
    GtkWidget *no = gtk_button_new_with_label("No");
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(box)->action_area), no, TRUE, TRUE, 0);
    gtk_widget_show(no);
    g_signal_connect(no, "clicked", G_CALLBACK(showYesNo_no), nullptr);

    gtk_dialog_run(GTK_DIALOG(box));
    if (YesNoBox == box) {
        // Closed through the window manager: that leaves the file alone.
        g_object_remove_weak_pointer(G_OBJECT(box), reinterpret_cast<gpointer *>(&YesNoBox));
        YESNO_BOX_STATE = 0;
        gtk_widget_destroy(box);
        YesNoBox = nullptr;
    }
    return YESNO_BOX_STATE;
}

void showYesNo_yes(GtkWidget *, gpointer) {
    YESNO_BOX_STATE = 1;
    if (YesNoBox)
        gtk_widget_destroy(YesNoBox);
}

void showYesNo_no(GtkWidget *, gpointer) {
    YESNO_BOX_STATE = 0;
    if (YesNoBox)
        gtk_widget_destroy(YesNoBox);
}

void makeBeep() {
    std::fputs("Alert!\a\n", stdout);
    std::fflush(stdout);
}

// ---- Baud rate and clock speed ------------------------------------------------------------

int gui_getBaudRate() {
    return baudrate_value;
}

int gui_getClockSpeed() {
    return clockspeed_value;
}

namespace {

// The open dialogs of one kind, innermost last. Dialogs run nested main loops, so a command
// can open a second dialog of a kind inside the first one's run; the process-wide handle
// always names the innermost live one, and each run destroys only its own dialog.
struct DialogSlot {
    GtkWidget **handle;
    GtkWidget **part; // the rate dialogs' combo, else nullptr
    std::vector<GtkWidget *> open;
};

DialogSlot chooser_slot{&file_selector, nullptr, {}};
DialogSlot baud_slot{&baudwindow, &baudrate, {}};
DialogSlot clock_slot{&clockwindow, &clockspeed, {}};
DialogSlot display_slot{&displaybox, nullptr, {}};

constexpr const char *PART_KEY = "sendral-part";

void pointSlot(DialogSlot &slot) {
    GtkWidget *top = slot.open.empty() ? nullptr : slot.open.back();
    *slot.handle = top;
    if (slot.part)
        *slot.part =
            top ? static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(top), PART_KEY)) : nullptr;
}

void slotDialogDestroyed(GtkWidget *dialog, gpointer data) {
    auto *slot = static_cast<DialogSlot *>(data);
    slot->open.erase(std::remove(slot->open.begin(), slot->open.end(), dialog), slot->open.end());
    pointSlot(*slot);
}

void enterSlot(DialogSlot &slot, GtkWidget *dialog, GtkWidget *part = nullptr) {
    if (part)
        g_object_set_data(G_OBJECT(dialog), PART_KEY, part);
    slot.open.push_back(dialog);
    g_signal_connect(dialog, "destroy", G_CALLBACK(slotDialogDestroyed), &slot);
    pointSlot(slot);
}

bool inSlot(const DialogSlot &slot, GtkWidget *dialog) {
    return std::find(slot.open.begin(), slot.open.end(), dialog) != slot.open.end();
}

// Runs the dialog; whatever ended the run (a handler, the window manager), it is gone after.
gint runToEnd(DialogSlot &slot, GtkWidget *dialog) {
    g_object_ref(dialog);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (inSlot(slot, dialog))
        gtk_widget_destroy(dialog);
    g_object_unref(dialog);
    return response;
}

// The dialog of the kind that holds widget, or the innermost open one for nullptr.
GtkWidget *dialogOf(const DialogSlot &slot, GtkWidget *widget) {
    GtkWidget *dialog = widget ? gtk_widget_get_toplevel(widget) : *slot.handle;
    return dialog && inSlot(slot, dialog) ? dialog : nullptr;
}

void destroyIn(const DialogSlot &slot, GtkWidget *widget) {
    if (GtkWidget *dialog = dialogOf(slot, widget))
        gtk_widget_destroy(dialog);
}

// ---- File choosers

// Runs a chooser over *.iml files and hands the path chosen to on_accept while the chooser
// still stands, so that the question and error boxes stand over it; destroys it after.
void runChooser(const char *title, GtkFileChooserAction action, const char *accept,
                void (*on_accept)(const char *path)) {
    GtkWidget *chooser =
        gtk_file_chooser_dialog_new(title, GTK_WINDOW(window), action, GTK_STOCK_CANCEL,
                                    GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "Message lists (*.iml)");
    gtk_file_filter_add_pattern(filter, "*.iml");
    gtk_file_filter_add_pattern(filter, "*.IML");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter); // the chooser owns it
    gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
    gtk_window_set_transient_for(GTK_WINDOW(chooser), GTK_WINDOW(window));
    // Start where the current list lives, or where the program was started, rather than in
    // the toolkit's "Recently Used", where a new user cannot save at all.
    gchar *folder = current_filename.empty() ? g_get_current_dir()
                                             : g_path_get_dirname(current_filename.c_str());
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder);
    g_free(folder);
    enterSlot(chooser_slot, chooser);

    g_object_ref(chooser);
    if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        if (gchar *name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
            const std::string path = name; // the handler's nested loops may end the chooser
            g_free(name);
            on_accept(path.c_str());
        }
    }
    if (inSlot(chooser_slot, chooser))
        gtk_widget_destroy(chooser);
    g_object_unref(chooser);
}

// ---- Baud rate and clock speed

struct RateDialog {
    DialogSlot &slot;
    const char *title;
    const char *prompt;
    std::vector<const char *> (*choices)(int variant);
    int *value;
    GCallback ok;
    GCallback cancel;
};

std::vector<const char *> baudChoices(int variant) {
    if (variant > 0)
        return {"19200", "57600", "115200"};
    return {"19200"};
}

std::vector<const char *> clockChoices(int variant) {
    if (variant > 0)
        return {"23", "86", "100", "400"};
    return {"100"};
}

// The window manager's close is the dialog's Cancel.
gboolean rateDialogDelete(GtkWidget *dialog, GdkEvent *, gpointer slot) {
    if (slot == &baud_slot)
        gui_baud_cancel(dialog, nullptr);
    else
        gui_clock_cancel(dialog, nullptr);
    return TRUE;
}

void displayRate(const RateDialog &kind) {
    GtkWidget *dialog = gtk_dialog_new();
    gtk_widget_set_size_request(dialog, 300, 100);
    gtk_window_set_title(GTK_WINDOW(dialog), kind.title);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window));
    g_signal_connect(dialog, "delete_event", G_CALLBACK(rateDialogDelete), &kind.slot);

    GtkWidget *label = gtk_label_new(kind.prompt);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), label, FALSE, FALSE, 0);
    gtk_widget_show(label);

    GtkWidget *combo = gtk_combo_new();
    GList *strings = nullptr;
    for (const char *choice : kind.choices(device))
        strings = g_list_append(strings, const_cast<char *>(choice));
    gtk_combo_set_popdown_strings(GTK_COMBO(combo), strings); // copies the strings
    g_list_free(strings);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), combo, FALSE, FALSE, 0);
    gtk_widget_set_size_request(combo, 100, 20);
    gtk_widget_show(combo);
    std::array<char, 16> current{};
    std::snprintf(current.data(), current.size(), "%d", *kind.value);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(combo)->entry), current.data());

    GtkWidget *ok = gtk_button_new_with_label("OK");
    GtkWidget *cancel = gtk_button_new_with_label("Cancel");
    for (GtkWidget *button : {ok, cancel}) {
        gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->action_area), button, FALSE, FALSE, 0);
        gtk_widget_show(button);
    }
    g_signal_connect(ok, "clicked", kind.ok, nullptr);
    g_signal_connect(cancel, "clicked", kind.cancel, nullptr);
    if (getButtonMode() == 1)
        gtk_widget_set_sensitive(ok, FALSE); // an open link keeps the rate it was opened with

    enterSlot(kind.slot, dialog, combo);
    runToEnd(kind.slot, dialog);
}

// Leading white space, an optional sign, then decimal digits up to the first other
// character; 0 without digits. Out-of-range numbers stop at the int limits.
int leadingDecimal(const char *text) {
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Stores the number typed into the combo of the dialog that holds widget.
void rateOk(DialogSlot &slot, GtkWidget *widget, int *value) {
    GtkWidget *dialog = dialogOf(slot, widget);
    if (dialog == nullptr)
        return;
    auto *combo = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(dialog), PART_KEY));
    *value = leadingDecimal(gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(combo)->entry)));
}

// ---- Text viewer and About window

void appendText(GtkTextBuffer *buffer, const std::string &text) {
    if (text.empty())
        return;
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, text.data(), static_cast<gint>(text.size()));
}

// Reads the file in pieces of at most 255 bytes, each shown as soon as it has been read.
void fillFromFile(GtkTextBuffer *buffer, const char *path) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        appendText(buffer, "File not found!  Contact QVT.");
        return;
    }
    Utf8Sanitizer text;
    std::array<char, 255> piece{};
    bool failed = false;
    for (;;) {
        const std::size_t n = std::fread(piece.data(), 1, piece.size(), file);
        appendText(buffer, text.feed(piece.data(), n));
        if (n < piece.size()) {
            failed = std::ferror(file) != 0;
            break;
        }
    }
    std::fclose(file);
    appendText(buffer, text.finish());
    if (failed)
        appendText(buffer, gtk_text_buffer_get_char_count(buffer) == 0
                               ? "File could not be read!  Contact QVT."
                               : "\n\nFile could not be read to its end!  Contact QVT.");
}

GtkWidget *sizedLabel(const char *text, gint size) {
    GtkWidget *label = gtk_label_new(text);
    if (size > 0) {
        PangoFontDescription *font = pango_font_description_new();
        pango_font_description_set_size(font, size);
        gtk_widget_modify_font(label, font);
        pango_font_description_free(font);
    }
    return label;
}

} // namespace

// ---- File choosers ----------------------------------------------------------------------

void fileOpen() {
    runChooser("Open list...", GTK_FILE_CHOOSER_ACTION_OPEN, GTK_STOCK_OPEN, gui_file_open_success);
}

void fileSaveAs() {
    runChooser("Save as...", GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_SAVE,
               gui_file_save_as_success);
}

// ---- Baud rate and clock speed ------------------------------------------------------------

void displayBaudRate() {
    displayRate({baud_slot, "Set serial baud rate",
                 "Select a baud rate for the chosen device:", baudChoices, &baudrate_value,
                 G_CALLBACK(gui_baud_ok), G_CALLBACK(gui_baud_cancel)});
}

void displayClockSpeed() {
    displayRate({clock_slot, "Set I2C clock speed",
                 "Select a clock speed for the I2C bus:", clockChoices, &clockspeed_value,
                 G_CALLBACK(gui_clock_ok), G_CALLBACK(gui_clock_cancel)});
}

void gui_baud_ok(GtkWidget *widget, gpointer) {
    rateOk(baud_slot, widget, &baudrate_value);
    destroyBaudRate(widget);
}
void gui_clock_ok(GtkWidget *widget, gpointer) {
    rateOk(clock_slot, widget, &clockspeed_value);
    destroyClockSpeed(widget);
}
void gui_baud_cancel(GtkWidget *widget, gpointer) {
    destroyBaudRate(widget);
}
void gui_clock_cancel(GtkWidget *widget, gpointer) {
    destroyClockSpeed(widget);
}
void destroyBaudRate(GtkWidget *widget) {
    destroyIn(baud_slot, widget);
}
void destroyClockSpeed(GtkWidget *widget) {
    destroyIn(clock_slot, widget);
}

// ---- Text viewer and About window ---------------------------------------------------------

void displayTextFile(const char *title, const char *path) {
    GtkWidget *dialog = gtk_dialog_new();
    gtk_widget_set_size_request(dialog, 500, 300);
    gtk_window_set_title(GTK_WINDOW(dialog), title);

    // The main window's list keeps the process-wide scrolled_window; this one is the viewer's.
    GtkWidget *scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    packShown(GTK_DIALOG(dialog)->vbox, scroller, TRUE, TRUE);
    gtk_widget_set_size_request(scroller, 300, 100);

    GtkWidget *text = gtk_text_view_new();
    gtk_container_add(GTK_CONTAINER(scroller), text);
    gtk_widget_show(text);
    gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(text), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(text), 4); // keeps the text off the frame
    gtk_text_view_set_right_margin(GTK_TEXT_VIEW(text), 4);

    GtkWidget *ok =
        packShown(GTK_DIALOG(dialog)->action_area, gtk_button_new_with_label("OK"), TRUE, TRUE);
    g_signal_connect(ok, "clicked", G_CALLBACK(displayTextFile_ok), nullptr);

    fillFromFile(gtk_text_view_get_buffer(GTK_TEXT_VIEW(text)), path);
    enterSlot(display_slot, dialog);
    runToEnd(display_slot, dialog);
}

void displayTextFile_ok(GtkWidget *widget, gpointer) {
    destroyIn(display_slot, widget);
}

void displayAbout() {
    GtkWidget *dialog = gtk_dialog_new();
    gtk_widget_set_size_request(dialog, 520, 400);
    gtk_window_set_title(GTK_WINDOW(dialog), "About...");
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window));
    GtkWidget *content = GTK_DIALOG(dialog)->vbox;

    GtkWidget *title_row = packShown(content, gtk_hbox_new(FALSE, 0), TRUE, TRUE);
    packShown(title_row, gtk_image_new_from_file(dataPath("icon.png").c_str()), TRUE, FALSE);
    packShown(title_row, sizedLabel("Tavro Sendral for Linux Ver. 1.0", 16000), TRUE, FALSE);

    GtkWidget *requirements = packShown(content, gtk_vbox_new(TRUE, 0), TRUE, FALSE);
    packShown(requirements,
              gtk_label_new("System Requirements (one of the following):\n"
                            "1.  Tavro/Sol   #TV-1001\n"
                            "2.  Tavro/Solx   #TV-1002\n"
                            "3.  Tavro/Dyn   #TV-1003"),
              TRUE, TRUE);

    GtkWidget *maker = packShown(content, gtk_vbox_new(FALSE, 0), FALSE, FALSE);
    packShown(maker, gtk_image_new_from_file(dataPath("qvt.png").c_str()), FALSE, FALSE);
    packShown(maker, sizedLabel("QVT", 12000), FALSE, FALSE);
    packShown(maker, sizedLabel("https://www.example.com/sendral", 12000), FALSE, FALSE);
    packShown(maker, sizedLabel("Copyright (C) 2026 QVT.  All rights reserved.", 0), FALSE, FALSE);

    GtkWidget *ok =
        packShown(GTK_DIALOG(dialog)->action_area, gtk_button_new_with_label("OK"), TRUE, TRUE);
    g_signal_connect(ok, "clicked", G_CALLBACK(displayAbout_ok), nullptr);

    enterSlot(display_slot, dialog);
    runToEnd(display_slot, dialog);
}

void displayAbout_ok(GtkWidget *widget, gpointer) {
    destroyIn(display_slot, widget);
}

// ---- UTF-8 of the help texts --------------------------------------------------------------

namespace {

// The length of the character that lead starts, 0 for a byte that cannot start one.
std::size_t utf8Length(unsigned char lead) {
    if (lead >= 0x01 && lead <= 0x7F)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

constexpr const char *REPLACEMENT = "\xEF\xBF\xBD";

} // namespace

std::string Utf8Sanitizer::feed(const char *data, std::size_t length) {
    pending_.append(data, length);
    return take(false);
}

std::string Utf8Sanitizer::finish() {
    return take(true);
}

std::string Utf8Sanitizer::take(bool at_end) {
    std::string out;
    std::size_t i = 0;
    while (i < pending_.size()) {
        const char *p = pending_.data() + i;
        const std::size_t left = pending_.size() - i;
        const std::size_t length = utf8Length(static_cast<unsigned char>(*p));
        if (length > left && !at_end) {
            // Possibly a character that the next piece completes: keep it if what is here
            // can still be one.
            bool prefix = true;
            for (std::size_t k = 1; k < left; ++k)
                prefix = prefix && (static_cast<unsigned char>(p[k]) & 0xC0) == 0x80;
            if (prefix)
                break;
        }
        if (length != 0 && length <= left &&
            g_utf8_validate(p, static_cast<gssize>(length), nullptr)) {
            out.append(p, length);
            i += length;
        } else {
            out += REPLACEMENT;
            ++i;
        }
    }
    pending_.erase(0, i);
    return out;
}
