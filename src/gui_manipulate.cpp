#include "gui_manipulate.h"

#include "gui_callbacks.h"
#include "gui_create.h"
#include "main.h"

#include <cstdio>

namespace {

// A whole row's contents (columns 1 to 5), for moving messages between rows.
struct RowRecord {
    std::string address;
    std::string rw;
    std::string data;
    gboolean stop = TRUE;
    guint delay = 0;
};

bool rowIter(int n, GtkTreeIter *iter) {
    return n >= 1 && n <= LIST_ROWS &&
           gtk_tree_model_iter_nth_child(MODEL, iter, nullptr, n - 1);
}

RowRecord readRecord(int n) {
    RowRecord record;
    GtkTreeIter iter;
    if (!rowIter(n, &iter))
        return record;
    gchar *address = nullptr;
    gchar *rw = nullptr;
    gchar *data = nullptr;
    gtk_tree_model_get(MODEL, &iter, COL_ADDRESS, &address, COL_RW, &rw, COL_DATA, &data,
                       COL_STOP, &record.stop, COL_DELAY, &record.delay, -1);
    record.address = address ? address : "";
    record.rw = rw ? rw : "";
    record.data = data ? data : "";
    g_free(address);
    g_free(rw);
    g_free(data);
    return record;
}

void writeRecord(int n, const RowRecord &record) {
    GtkTreeIter iter;
    if (!rowIter(n, &iter))
        return;
    gtk_tree_store_set(GTK_TREE_STORE(MODEL), &iter, COL_ADDRESS, record.address.c_str(), COL_RW,
                       record.rw.c_str(), COL_DATA, record.data.c_str(), COL_STOP, record.stop,
                       COL_DELAY, record.delay, -1);
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

GtkWidget *menuItem(const char *path) { return gtk_item_factory_get_widget(item_factory, path); }

void setOption(int index, int value) { selectedOptions[static_cast<std::size_t>(index)] = value; }
int getOption(int index) { return selectedOptions[static_cast<std::size_t>(index)]; }

} // namespace

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
    std::snprintf(new_msg_address.data(), new_msg_address.size(), "%s", address);
    std::snprintf(new_msg_rw.data(), new_msg_rw.size(), "%s", rw);
    std::snprintf(new_msg_data.data(), new_msg_data.size(), "%s", data);
    new_msg_stop = stop ? 1 : 0;
    new_msg_delay = delay;
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

int hasMoreRows() { return NO_MORE_ROWS == 0 ? 1 : 0; }

void setFilledCount(int count) { filled_rows = count; }

int getFilledCount() { return filled_rows; }

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
        writeRecord(j + 1, readRecord(j));
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
        writeRecord(j, readRecord(j + 1));
    writeRecord(filled_rows, RowRecord());
    --filled_rows;
}

void highlightRow() {
    if (sel == nullptr || view == nullptr)
        return;
    gtk_tree_selection_select_iter(sel, &current_iter);
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(view), path, nullptr, FALSE, 0.0f, 0.0f);
    gtk_tree_path_free(path);
}

// ---- Options ------------------------------------------------------------------------

void setOptionAutorepeat(int value) { setOption(0, value); }
int getOptionAutorepeat() { return getOption(0); }
void setOptionBeeponBusy(int value) { setOption(1, value); }
int getOptionBeeponBusy() { return getOption(1); }
void setOptionBeeponArbloss(int value) { setOption(2, value); }
int getOptionBeeponArbloss() { return getOption(2); }
void setOptionBeeponNak(int value) { setOption(3, value); }
int getOptionBeeponNak() { return getOption(3); }
void setOptionBeeponInt(int value) { setOption(4, value); }
int getOptionBeeponInt() { return getOption(4); }
void setOptionStoponBusy(int value) { setOption(5, value); }
int getOptionStoponBusy() { return getOption(5); }
void setOptionStoponArbloss(int value) { setOption(6, value); }
int getOptionStoponArbloss() { return getOption(6); }
void setOptionStoponNak(int value) { setOption(7, value); }
int getOptionStoponNak() { return getOption(7); }
void setOptionMonitor(int value) { setOption(8, value); }
int getOptionMonitor() { return getOption(8); }
void setOptionSendonInt(int value) { setOption(9, value); }
int getOptionSendonInt() { return getOption(9); }

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

int getButtonMode() { return GTK_WIDGET_IS_SENSITIVE(button_open) ? 0 : 1; }

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

int getSendMode() { return GTK_WIDGET_VISIBLE(button_send) ? 0 : 1; }

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

int getDevice() { return device; }

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

const char *getSerialPort() { return gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry)); }

// ---- Status line, message boxes, beep ---------------------------------------------------

void setStatus(const char *text) { gtk_entry_set_text(GTK_ENTRY(status), text); }

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

int gui_getBaudRate() { return baudrate_value; }

int gui_getClockSpeed() { return clockspeed_value; }
