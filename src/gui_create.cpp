#include "gui_create.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"
#include "pacing.h"
#include "serial.h"
#include "Tavro.h"
#include "watchdog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Termination signals. The handler only counts them and wakes the main loop through a pipe;
// the loop does the quitting. A second signal ends the program from the handler at once, for
// a main thread that never gets back to its loop.
volatile sig_atomic_t quit_signals = 0;
int quit_pipe[2] = {-1, -1};

// The end of the program wherever it stands: the driver's latency setting given back, the
// last line, status 0. System calls only, so that a signal handler may run it.
[[noreturn]] void endNow() {
    releaseLowLatency();
    static const char last_line[] = "Exiting.\n";
    const ssize_t written = write(STDOUT_FILENO, last_line, sizeof last_line - 1);
    (void)written; // nobody is left to tell
    _exit(0);
}

void onQuitSignal(int) {
    if (quit_signals++ > 0)
        endNow();
    const int saved = errno;
    const char wake = 0;
    const ssize_t written = write(quit_pipe[1], &wake, 1);
    (void)written; // a full pipe has woken the loop already
    errno = saved;
}

gboolean quitOnSignal(GIOChannel *, GIOCondition, gpointer) {
    char drained[16];
    while (read(quit_pipe[0], drained, sizeof drained) > 0) {
    }
    // Inside a modal box's own loop (an error box, a chooser, the editor...), ending the outer
    // loop would wait for the box to be closed: the program ends here instead.
    if (g_main_depth() > 1 || gtk_grab_get_current() != nullptr) {
        std::fflush(stdout);
        endNow();
    }
    handleClose(nullptr, nullptr, nullptr);
    return TRUE;
}

void catchQuitSignals() {
    if (pipe2(quit_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals keep their default action, which ends the program too
    GIOChannel *channel = g_io_channel_unix_new(quit_pipe[0]);
    g_io_add_watch_full(channel, G_PRIORITY_HIGH, G_IO_IN, quitOnSignal, nullptr, nullptr);
    g_io_channel_unref(channel);
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal_number, &action, nullptr);
}

GtkTooltips *tooltips = nullptr;

// The menu bar's table; every callback action is 0.
GtkItemFactoryEntry menu_items[] = {
    {const_cast<gchar *>("/File"), nullptr, nullptr, 0, const_cast<gchar *>("<Branch>"), nullptr},
    {const_cast<gchar *>("/File/New List"), const_cast<gchar *>("<control>N"),
     GtkItemFactoryCallback(gui_file_new), 0, const_cast<gchar *>("<StockItem>"), GTK_STOCK_NEW},
    {const_cast<gchar *>("/File/Open List..."), const_cast<gchar *>("<control>O"),
     GtkItemFactoryCallback(gui_file_open), 0, const_cast<gchar *>("<StockItem>"), GTK_STOCK_OPEN},
    {const_cast<gchar *>("/File/Save List"), const_cast<gchar *>("<control>S"),
     GtkItemFactoryCallback(gui_file_save), 0, const_cast<gchar *>("<StockItem>"), GTK_STOCK_SAVE},
    {const_cast<gchar *>("/File/Save List As..."), const_cast<gchar *>("<control><shift>S"),
     GtkItemFactoryCallback(gui_file_saveas), 0, const_cast<gchar *>("<StockItem>"),
     GTK_STOCK_SAVE},
    {const_cast<gchar *>("/File/sep1"), nullptr, nullptr, 0, const_cast<gchar *>("<Separator>"),
     nullptr},
    {const_cast<gchar *>("/File/Exit"), const_cast<gchar *>("<CTRL>Q"),
     GtkItemFactoryCallback(gui_menu_exit), 0, const_cast<gchar *>("<StockItem>"), GTK_STOCK_QUIT},
    {const_cast<gchar *>("/Options"), nullptr, nullptr, 0, const_cast<gchar *>("<Branch>"),
     nullptr},
    {const_cast<gchar *>("/Options/RS-232 Baud Rate..."), nullptr, GtkItemFactoryCallback(gui_baud),
     0, const_cast<gchar *>("<Item>"), nullptr},
    {const_cast<gchar *>("/Options/I2C Bus Clock Speed..."), nullptr,
     GtkItemFactoryCallback(gui_clock), 0, const_cast<gchar *>("<Item>"), nullptr},
    {const_cast<gchar *>("/Help"), nullptr, nullptr, 0, const_cast<gchar *>("<Branch>"), nullptr},
    {const_cast<gchar *>("/Help/ReadMe..."), nullptr, GtkItemFactoryCallback(gui_help_readme), 0,
     const_cast<gchar *>("<Item>"), nullptr},
    {const_cast<gchar *>("/Help/Revision Report..."), nullptr,
     GtkItemFactoryCallback(gui_help_revisions), 0, const_cast<gchar *>("<Item>"), nullptr},
    {const_cast<gchar *>("/Help/Quick Start..."), nullptr,
     GtkItemFactoryCallback(gui_help_quickstart), 0, const_cast<gchar *>("<Item>"), nullptr},
    {const_cast<gchar *>("/Help/About..."), nullptr, GtkItemFactoryCallback(gui_help_about), 0,
     const_cast<gchar *>("<Item>"), nullptr},
};
constexpr gint nmenu_items = sizeof(menu_items) / sizeof(menu_items[0]);

void tip(GtkWidget *widget, const char *text) {
    gtk_tooltips_set_tip(tooltips, widget, text, "");
}

GtkWidget *checkButton(GtkWidget *box, const char *label, GCallback on_toggled,
                       const char *tooltip) {
    GtkWidget *button = packShown(box, gtk_check_button_new_with_label(label), TRUE, FALSE);
    g_signal_connect(button, "toggled", on_toggled, nullptr);
    if (tooltip)
        tip(button, tooltip);
    return button;
}

GtkWidget *linkButton(GtkWidget *box, const char *label, GCallback on_clicked,
                      const char *tooltip) {
    GtkWidget *button = packShown(box, gtk_button_new_with_label(label), TRUE, FALSE);
    g_signal_connect(button, "clicked", on_clicked, nullptr);
    tip(button, tooltip);
    return button;
}

// One option column of row 7: a column box holding a labelled frame; returns the frame's
// inner box, and the column box through column.
GtkWidget *optionColumn(GtkWidget *row, const char *title, gint spacing, GtkWidget **column) {
    GtkWidget *column_box = packShown(row, gtk_vbox_new(FALSE, 10), FALSE, FALSE);
    GtkWidget *frame = gtk_frame_new(title);
    gtk_frame_set_label_align(GTK_FRAME(frame), 0.0f, 0.5f);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_ETCHED_IN);
    gtk_container_add(GTK_CONTAINER(column_box), frame);
    gtk_widget_show(frame);
    GtkWidget *inner = gtk_vbox_new(FALSE, spacing);
    gtk_container_set_border_width(GTK_CONTAINER(inner), 5);
    gtk_container_add(GTK_CONTAINER(frame), inner);
    gtk_widget_show(inner);
    if (column)
        *column = column_box;
    return inner;
}

void buildSelectionColumn(GtkWidget *row) {
    GtkWidget *inner = optionColumn(row, "Tavro Selection", 20, nullptr);

    GtkWidget *port_row = packShown(inner, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    packShown(port_row, gtk_label_new("Serial port:"), FALSE, FALSE);
    detectPorts();
    serial_port = gtk_combo_new();
    GList *names = nullptr;
    for (int i = 0; i < getNumDetectedPorts(); ++i)
        names = g_list_append(names, const_cast<char *>(getDetectedPort(i)));
    if (names)
        gtk_combo_set_popdown_strings(GTK_COMBO(serial_port), names);
    g_list_free(names);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry),
                       getNumDetectedPorts() > 0 ? getDetectedPort(0) : "");
    gtk_widget_set_size_request(serial_port, 150, 20);
    packShown(port_row, serial_port, FALSE, FALSE);

    GtkWidget *device_row = packShown(inner, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    packShown(device_row, gtk_label_new("Device:"), FALSE, FALSE);
    GtkWidget *radios = packShown(device_row, gtk_vbox_new(FALSE, 0), FALSE, FALSE);
    rb1 = packShown(radios, gtk_radio_button_new_with_label(nullptr, "Tavro/Sol"), FALSE, FALSE);
    rb2 = packShown(
        radios, gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(rb1), "Tavro/Solx"),
        FALSE, FALSE);
    rb3 = packShown(radios,
                    gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(rb1), "Tavro/Dyn"),
                    FALSE, FALSE);
    g_signal_connect(rb1, "toggled", G_CALLBACK(gui_pickSol), nullptr);
    g_signal_connect(rb2, "toggled", G_CALLBACK(gui_pickSolx), nullptr);
    g_signal_connect(rb3, "toggled", G_CALLBACK(gui_pickDyn), nullptr);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb1), TRUE);
}

void buildOptionColumns(GtkWidget *row) {
    GtkWidget *stop_on = optionColumn(row, "Stop On", 10, nullptr);
    checkButton(stop_on, "Busy", G_CALLBACK(gui_stopon_busy),
                "Should the Sendral stop upon recieving a \"Busy\" reply from the Tavro?  "
                "Ordinarily the Sendral would attempt to repeat the message until it succeeded.");
    checkButton(stop_on, "Arb. Loss", G_CALLBACK(gui_stopon_arbloss),
                "Should the Sendral stop upon recieving a notification of arbitration loss?  "
                "Ordinarily the Sendral would simply move to the next message.");
    checkButton(stop_on, "Slave Nak", G_CALLBACK(gui_stopon_nak),
                "Should the Sendral stop upon recieving a notification that a slave is not "
                "acknowledging?  Ordinarily the Sendral would simply move to the next message.");

    GtkWidget *beep_on = optionColumn(row, "Beep On", 10, nullptr);
    checkButton(beep_on, "Busy", G_CALLBACK(gui_beepon_busy),
                "Should the Sendral beep upon recieving a \"Busy\" signal?");
    checkButton(beep_on, "Arb. Loss", G_CALLBACK(gui_beepon_arbloss),
                "Should the Sendral beep upon losing arbitration?");
    checkButton(beep_on, "Slave Nak", G_CALLBACK(gui_beepon_nak),
                "Should the Sendral beep upon notification that a slave is not acknowledging?");
    beepon_interrupt_control =
        checkButton(beep_on, "/INT Assert", G_CALLBACK(gui_beepon_int),
                    "Should the Sendral beep upon notification of an I2C interrupt?");

    GtkWidget *signal = optionColumn(row, "/INT Signal", 10, &interrupt_monitor_control);
    checkButton(signal, "Monitor", G_CALLBACK(gui_intmonitor),
                "Should the Sendral monitor for I2C interrupts?  If so, the text below will "
                "update to reflect the state of the interrupt - either \"Released\" or "
                "\"Asserted\".");
    label_int_asserted = gtk_label_new("Asserted!");
    gtk_box_pack_start(GTK_BOX(signal), label_int_asserted, FALSE, FALSE, 0);
    label_int_released = packShown(signal, gtk_label_new("Released."), FALSE, FALSE);
}

void quickStartClicked(GtkWidget *, gpointer) {
    gui_help_quickstart(nullptr, 0, nullptr);
}

gboolean pacingTick() {
    return gui_send_message(nullptr);
}

// The pacing tick can change nothing unless a message is due and either a run is in
// progress or a rewind is waiting.
bool pacingWanted() {
    return SEND_DATA && (ALLOW_SEND || DO_ROW_RESET);
}

GtkTreeViewColumn *addColumn(const char *title, GtkCellRenderer *renderer, const char *attribute,
                             int store_column) {
    GtkTreeViewColumn *column = gtk_tree_view_column_new();
    gtk_tree_view_column_set_title(column, title);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), column);
    gtk_tree_view_column_pack_start(column, renderer, TRUE);
    gtk_tree_view_column_add_attribute(column, renderer, attribute, store_column);
    return column;
}

void fixedWidth(GtkTreeViewColumn *column, gint width) {
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(column, width);
}

} // namespace

GtkWidget *packShown(GtkWidget *box, GtkWidget *child, gboolean expand, gboolean fill) {
    gtk_box_pack_start(GTK_BOX(box), child, expand, fill, 0);
    gtk_widget_show(child);
    return child;
}

int startGUI(int argc, char *argv[]) {
    createGUI(argc, argv);
    return 0;
}

gboolean handleClose(GtkWidget *, GdkEvent *, gpointer) {
    releaseLowLatency(); // the driver outlives the program; the port itself may stay open
    gtk_main_quit();
    return TRUE;
}

GtkWidget *get_menubar_menu() {
    GtkAccelGroup *accel_group = gtk_accel_group_new();
    item_factory = gtk_item_factory_new(GTK_TYPE_MENU_BAR, "<main>", accel_group);
    gtk_item_factory_create_items(item_factory, nmenu_items, menu_items, nullptr);
    gtk_window_add_accel_group(GTK_WINDOW(window), accel_group);
    g_object_unref(accel_group); // the window holds it now
    return gtk_item_factory_get_widget(item_factory, "<main>");
}

GtkWidget *create_view_and_model() {
    view = gtk_tree_view_new();

    fixedWidth(addColumn("Msg #", gtk_cell_renderer_text_new(), "text", COL_NUM), 50);
    fixedWidth(addColumn("Address", gtk_cell_renderer_text_new(), "text", COL_ADDRESS), 70);
    fixedWidth(addColumn("R/W", gtk_cell_renderer_text_new(), "text", COL_RW), 40);
    GtkTreeViewColumn *message =
        addColumn("Message", gtk_cell_renderer_text_new(), "text", COL_DATA);
    gtk_tree_view_column_set_sizing(message, GTK_TREE_VIEW_COLUMN_AUTOSIZE);
    gtk_tree_view_column_set_min_width(message, 450);
    gtk_tree_view_column_set_resizable(message, TRUE);
    fixedWidth(addColumn("Stop", gtk_cell_renderer_toggle_new(), "active", COL_STOP), 50);
    fixedWidth(addColumn("Delay", gtk_cell_renderer_text_new(), "text", COL_DELAY), 50);

    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(view), TRUE);
    MODEL = create_and_fill_model();
    gtk_tree_view_set_model(GTK_TREE_VIEW(view), MODEL);
    g_object_unref(MODEL); // the view owns the store; MODEL borrows it for the whole run
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)),
                                GTK_SELECTION_SINGLE);
    gtk_tree_view_set_enable_search(GTK_TREE_VIEW(view), FALSE);
    g_signal_connect(view, "row-activated", G_CALLBACK(gui_openRow), nullptr);
    return view;
}

void buildMainWindow(int *argc, char ***argv) {
    gtk_init(argc, argv);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Tavro Sendral");
    setTitle("new list");
    gtk_container_set_border_width(GTK_CONTAINER(window), 0);
    gtk_widget_set_size_request(window, 800, 600);
    g_signal_connect(window, "delete_event", G_CALLBACK(handleClose), nullptr);
    // Ended by the system or from its terminal, the program quits as by its menu.
    catchQuitSignals();

    tooltips = gtk_tooltips_new();

    GtkWidget *outer = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), outer);
    gtk_widget_show(outer);
    menu = packShown(outer, get_menubar_menu(), FALSE, TRUE);

    GtkWidget *main_box = gtk_vbox_new(FALSE, 10);
    gtk_container_set_border_width(GTK_CONTAINER(main_box), 10);
    gtk_container_add(GTK_CONTAINER(outer), main_box);
    gtk_widget_show(main_box);

    // Row 1: Quick Start.
    GtkWidget *row = packShown(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    linkButton(row, "Quick Start", G_CALLBACK(quickStartClicked),
               "Information on getting up and running quickly");

    // Row 2: the maker's logo, the program's name, the icon.
    row = packShown(main_box, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    packShown(row, gtk_image_new_from_file(dataPath("qvt.png").c_str()), TRUE, FALSE);
    GtkWidget *name = packShown(row, gtk_label_new("Tavro Sendral"), TRUE, FALSE);
    PangoFontDescription *font = pango_font_description_new();
    pango_font_description_set_size(font, 25000);
    gtk_widget_modify_font(name, font);
    pango_font_description_free(font);
    packShown(row, gtk_image_new_from_file(dataPath("icon.png").c_str()), TRUE, FALSE);

    // Row 3: link and send buttons.
    row = packShown(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    button_open = linkButton(row, "Open Link", G_CALLBACK(gui_open),
                             "Open the connection to the Tavro, and the Tavro's connection to "
                             "the I2C bus");
    button_send =
        linkButton(row, "Send", G_CALLBACK(gui_send), "Start sending the list of messages");
    gtk_widget_set_sensitive(button_send, FALSE);
    button_stop = linkButton(row, "Stop", G_CALLBACK(gui_stop), "Stop sending messages");
    gtk_widget_hide(button_stop);
    button_close = linkButton(row, "Close Link", G_CALLBACK(gui_close),
                              "Close the Tavro's connection to the I2C bus, and the connection "
                              "to the Tavro");
    gtk_widget_set_sensitive(button_close, FALSE);

    // Row 4: AutoRepeat and Send On /INT.
    row = packShown(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    autorepeat = checkButton(row, "AutoRepeat", G_CALLBACK(gui_autorepeat),
                             "Should the list of messages be sent continously, or only once, "
                             "upon clicking the Send button?");
    sendonint = checkButton(row, "Send On /INT", G_CALLBACK(gui_sendonint),
                            "Should the Sendral automatically send the list of messages when an "
                            "I2C interrupt is asserted?");

    // Row 5: the message list, the only row that grows with the window.
    scrolled_window = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled_window), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    gtk_widget_set_size_request(scrolled_window, 0, 400);
    GtkWidget *list = create_view_and_model();
    tip(list, "Double-click to edit a message.  [Insert] to insert a new message before the "
              "selected message.  [Delete] to remove the selected message.");
    gtk_widget_show(list);
    gtk_container_add(GTK_CONTAINER(scrolled_window), list);
    packShown(main_box, scrolled_window, TRUE, TRUE);

    // Row 6: the status line, centred.
    row = packShown(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    GtkWidget *pair = packShown(row, gtk_hbox_new(FALSE, 5), TRUE, FALSE);
    packShown(pair, gtk_label_new("Status:"), FALSE, FALSE);
    status = gtk_entry_new();
    gtk_editable_set_editable(GTK_EDITABLE(status), FALSE);
    gtk_widget_set_size_request(status, 500, 20);
    gtk_entry_set_text(GTK_ENTRY(status), "Link Closed");
    packShown(pair, status, FALSE, FALSE);

    // Row 7: the option columns.
    row = packShown(main_box, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    buildSelectionColumn(row);
    buildOptionColumns(row);

    gtk_window_set_icon_from_file(GTK_WINDOW(window), dataPath("icon.png").c_str(), nullptr);
    gtk_widget_show(window);

    sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    addGridSource(PACING_TICK_US, pacingTick, pacingWanted);
    clearCurrentFilename();
    selectDevice(0);
    g_signal_connect(view, "key_release_event", G_CALLBACK(gui_keypress), nullptr);
}

void createGUI(int argc, char *argv[]) {
    buildMainWindow(&argc, &argv);
    gtk_main();
}

// ---- Message editor ---------------------------------------------------------------------

void getCellData(GtkTreePath *path) {
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(MODEL, &iter, path))
        return;
    gchar *address = nullptr;
    gchar *rw = nullptr;
    gchar *data = nullptr;
    gboolean stop = FALSE;
    gtk_tree_model_get(MODEL, &iter, COL_NUM, &current_msg_num, COL_ADDRESS, &address, COL_RW, &rw,
                       COL_DATA, &data, COL_STOP, &stop, COL_DELAY, &current_msg_delay, -1);
    current_msg_address = address ? address : "";
    current_msg_rw = rw ? rw : "";
    current_msg_data = data ? data : "";
    current_msg_stop = stop ? 1 : 0;
    g_free(address);
    g_free(rw);
    g_free(data);
}

void setCellData(GtkTreePath *path) {
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(MODEL, &iter, path))
        return;
    gtk_tree_store_set(GTK_TREE_STORE(MODEL), &iter, COL_ADDRESS, new_msg_address.data(), COL_RW,
                       new_msg_rw.data(), COL_DATA, new_msg_data.data(), COL_STOP,
                       new_msg_stop ? TRUE : FALSE, COL_DELAY, static_cast<guint>(new_msg_delay),
                       -1);
}

namespace {

constexpr std::size_t EDITOR_BOXES = 32;
constexpr const char *ORDER_TEXT = "You must enter messages in order.  If you want to insert "
                                   "another message later, use the [insert] key.";
constexpr const char *ADDRESS_TEXT =
    "Address must be an even hexadecimal number between 00 and FE.";
constexpr const char *DATA_TEXT =
    "Message data must contain only one or two digit hexadecimal numbers.";

// The editor's widgets that no other unit needs; valid while it is open.
GtkTooltips *editor_tips = nullptr;
GtkWidget *editor_read_button = nullptr;
GtkWidget *editor_write_button = nullptr;
GtkWidget *editor_yes_button = nullptr;
GtkWidget *editor_no_button = nullptr;
// Set once OK or Cancel has done its work, so that a close by any other means still
// counts as a Cancel.
bool editor_settled = false;

// What the editor shows when it opens: the row's values or the copy buffer's.
struct EditorValues {
    std::array<char, ADDRESS_SIZE> address{};
    std::array<char, DATA_SIZE> data{};
    bool read = false;
    bool stop = true;
    guint delay = 0;
};

// Copies as much of text as fits into out without splitting a UTF-8 character, so that a
// cut text never reaches the store as invalid UTF-8.
template <std::size_t N> void copyFitting(std::array<char, N> &out, const char *text) {
    std::size_t n = std::min(std::strlen(text), N - 1);
    while (n > 0 && !g_utf8_validate(text, static_cast<gssize>(n), nullptr))
        --n;
    std::memcpy(out.data(), text, n);
    out[n] = '\0';
}

// Fills the copy buffer from the row at path as it is stored. Goes by path, not by the
// selection or the cursor: a send started from /INT inside the editor's nested loop moves
// both.
void copyRow(GtkTreePath *path) {
    getCellData(path);
    copy_msg_num = static_cast<int>(current_msg_num);
    copyFitting(copy_msg_address, current_msg_address.c_str());
    copyFitting(copy_msg_rw, current_msg_rw.c_str());
    copyFitting(copy_msg_data, current_msg_data.c_str());
    copy_msg_stop = current_msg_stop ? 1 : 0;
    copy_msg_delay = static_cast<int>(current_msg_delay);
    can_copy = 1;
}

// Cancel's bookkeeping: a row made by Insert goes again; any other row, as stored, becomes
// the template for the next new one.
void settleCancel() {
    if (inserted_new_row != 0) {
        // Remove the edited row, not whatever a running send has highlighted meanwhile.
        gtk_tree_selection_select_path(sel, rowpath);
        deleteSelectedRow();
        inserted_new_row = 0;
    } else {
        copyRow(rowpath);
    }
}

void setDirection(bool read) {
    std::snprintf(new_msg_rw.data(), new_msg_rw.size(), "%s", read ? "R" : "W");
    if (editor_read_frame == nullptr || editor_write_frame == nullptr)
        return;
    gtk_widget_hide(read ? editor_write_frame : editor_read_frame);
    gtk_widget_show(read ? editor_read_frame : editor_write_frame);
}

// Both buttons of a radio pair emit "toggled" when the pair changes; the state follows
// the button left active, whichever of the two reports.
bool toggledOn(GtkWidget *widget, bool otherwise) {
    if (widget == nullptr || !GTK_IS_TOGGLE_BUTTON(widget))
        return otherwise;
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget)) != FALSE;
}

void onEditorDestroyed(GtkWidget *, gpointer) {
    editwindow = nullptr;
    editor_address = nullptr;
    editor_delay = nullptr;
    editor_read_bytes = nullptr;
    editor_write_data.fill(nullptr);
    editor_read_frame = nullptr;
    editor_write_frame = nullptr;
    editor_read_button = nullptr;
    editor_write_button = nullptr;
    editor_yes_button = nullptr;
    editor_no_button = nullptr;
}

gboolean onEditorDelete(GtkWidget *widget, GdkEvent *, gpointer) {
    return editorCancel(widget, nullptr);
}

GtkWidget *editorFrame(const char *title, GtkWidget *inner) {
    GtkWidget *frame = gtk_frame_new(title);
    gtk_frame_set_label_align(GTK_FRAME(frame), 0.0f, 0.5f);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_ETCHED_IN);
    gtk_container_set_border_width(GTK_CONTAINER(inner), 5);
    gtk_container_add(GTK_CONTAINER(frame), inner);
    return frame;
}

void editorTip(GtkWidget *widget, const char *text) {
    gtk_tooltips_set_tip(editor_tips, widget, text, "");
}

GtkWidget *buildAddressFrame(const EditorValues &values) {
    GtkWidget *box = gtk_vbox_new(FALSE, 10);
    editor_address = gtk_combo_new();
    std::array<std::array<char, ADDRESS_SIZE>, 128> names{};
    GList *list = nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::snprintf(names[i].data(), names[i].size(), "%02X", static_cast<unsigned>(i * 2));
        list = g_list_append(list, names[i].data());
    }
    gtk_combo_set_popdown_strings(GTK_COMBO(editor_address), list); // copies the texts
    g_list_free(list);
    // Case-blind matching would replace a typed "a0" by the list's "A0"; the text is kept
    // as typed.
    gtk_combo_set_case_sensitive(GTK_COMBO(editor_address), TRUE);
    // Filling the drop-down list puts its first entry in the entry; show the row's instead.
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry), values.address.data());
    gtk_widget_set_size_request(editor_address, 50, 20);
    gtk_box_pack_start(GTK_BOX(box), editor_address, TRUE, TRUE, 0);
    return editorFrame("I2C Address", box);
}

GtkWidget *buildDirectionFrame() {
    GtkWidget *box = gtk_vbox_new(FALSE, 10);
    editor_read_button = gtk_radio_button_new_with_label(nullptr, "Read");
    editor_write_button =
        gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(editor_read_button), "Write");
    editorTip(editor_read_button, "Sendral will read a specified number of bytes from the Tavro");
    editorTip(editor_write_button, "Sendral will write a specified series of bytes to the Tavro");
    gtk_box_pack_start(GTK_BOX(box), editor_read_button, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), editor_write_button, TRUE, TRUE, 0);
    g_signal_connect(editor_read_button, "toggled", G_CALLBACK(editorToggleRead), nullptr);
    g_signal_connect(editor_write_button, "toggled", G_CALLBACK(editorToggleWrite), nullptr);
    return editorFrame("Msg Direction", box);
}

GtkWidget *buildStopFrame() {
    GtkWidget *box = gtk_vbox_new(FALSE, 10);
    editor_yes_button = gtk_radio_button_new_with_label(nullptr, "Yes");
    editor_no_button =
        gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(editor_yes_button), "No");
    editorTip(editor_yes_button,
              "A \"Stop\" will be sent with the command.  This is the usual behaviour.");
    editorTip(editor_no_button, "The \"Stop\" will be omitted from this message.");
    gtk_box_pack_start(GTK_BOX(box), editor_yes_button, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), editor_no_button, TRUE, TRUE, 0);
    g_signal_connect(editor_yes_button, "toggled", G_CALLBACK(editorToggleStopOn), nullptr);
    g_signal_connect(editor_no_button, "toggled", G_CALLBACK(editorToggleStopOff), nullptr);
    return editorFrame("do Stop", box);
}

GtkWidget *buildDelayFrame(const EditorValues &values) {
    GtkWidget *box = gtk_vbox_new(FALSE, 10);
    GtkObject *range = gtk_adjustment_new(0, 0, 60000, 100, 100, 0);
    editor_delay = gtk_spin_button_new(GTK_ADJUSTMENT(range), 0.5, 0);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(editor_delay), TRUE);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_delay), values.delay); // clamps
    editorTip(editor_delay, "Sendral will delay this many milliseconds after sending this message");
    gtk_box_pack_start(GTK_BOX(box), editor_delay, TRUE, TRUE, 0);
    return editorFrame("Delay (ms)", box);
}

GtkWidget *buildReadFrame(std::size_t groups) {
    GtkWidget *box = gtk_hbox_new(FALSE, 10);
    GtkObject *range = gtk_adjustment_new(1, 1, 32, 1, 1, 0);
    editor_read_bytes = gtk_spin_button_new(GTK_ADJUSTMENT(range), 0, 0);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(editor_read_bytes), TRUE);
    // The range shows 0 groups as 1.
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(editor_read_bytes), static_cast<gdouble>(groups));
    gtk_box_pack_start(GTK_BOX(box), editor_read_bytes, TRUE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Select number of bytes to read"), TRUE, FALSE,
                       0);
    editor_read_frame = editorFrame("Read Parameters", box);
    return editor_read_frame;
}

GtkWidget *buildWriteFrame(const EditorValues &values, std::size_t groups) {
    GtkWidget *box = gtk_vbox_new(FALSE, 10);
    gtk_box_pack_start(
        GTK_BOX(box), gtk_label_new("Enter 0 or more bytes of hex (00...FF) data to send to slave"),
        TRUE, FALSE, 0);

    GtkWidget *scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_set_border_width(GTK_CONTAINER(scroller), 5);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_NONE);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_ALWAYS,
                                   GTK_POLICY_NEVER);
    gtk_box_pack_start(GTK_BOX(box), scroller, TRUE, FALSE, 0);

    GtkWidget *rows = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(rows), 10);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scroller), rows);
    GtkWidget *numbers = gtk_hbox_new(FALSE, 0);
    GtkWidget *entries = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(rows), numbers, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(rows), entries, FALSE, FALSE, 0);

    for (std::size_t k = 0; k < EDITOR_BOXES; ++k) {
        std::array<char, 4> number{};
        std::snprintf(number.data(), number.size(), "%zu", k + 1);
        GtkWidget *label = gtk_label_new(number.data());
        gtk_widget_set_size_request(label, 30, 20);
        gtk_box_pack_start(GTK_BOX(numbers), label, FALSE, FALSE, 0);

        GtkWidget *entry = gtk_entry_new();
        gtk_entry_set_max_length(GTK_ENTRY(entry), 2);
        gtk_widget_set_size_request(entry, 30, 24);
        if (k < groups) {
            const std::array<char, 3> byte{values.data[k * 3], values.data[k * 3 + 1], '\0'};
            gtk_entry_set_text(GTK_ENTRY(entry), byte.data());
        }
        gtk_box_pack_start(GTK_BOX(entries), entry, FALSE, FALSE, 0);
        editor_write_data[k] = entry;
    }
    editor_write_frame = editorFrame("Write Parameters", box);
    return editor_write_frame;
}

void buildEditor(const EditorValues &values) {
    editwindow = gtk_dialog_new();
    gtk_widget_set_size_request(editwindow, 500, 300);
    gtk_window_set_title(GTK_WINDOW(editwindow), "I2C Message Editor");
    gtk_window_set_modal(GTK_WINDOW(editwindow), TRUE);
    gtk_window_set_transient_for(GTK_WINDOW(editwindow), GTK_WINDOW(window));
    g_signal_connect(editwindow, "destroy", G_CALLBACK(onEditorDestroyed), nullptr);
    g_signal_connect(editwindow, "delete_event", G_CALLBACK(onEditorDelete), nullptr);
    editor_tips = gtk_tooltips_new();
    g_object_ref_sink(editor_tips);

    GtkWidget *content = gtk_vbox_new(FALSE, 20);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(editwindow))), content, FALSE,
                       FALSE, 0);

    GtkWidget *top = gtk_hbox_new(FALSE, 10);
    gtk_box_pack_start(GTK_BOX(content), top, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(top), buildAddressFrame(values));
    gtk_container_add(GTK_CONTAINER(top), buildDirectionFrame());
    gtk_container_add(GTK_CONTAINER(top), buildStopFrame());
    gtk_container_add(GTK_CONTAINER(top), buildDelayFrame(values));

    // Whole groups only, and at most 32 of them (a hand-edited list file may hold more).
    const std::size_t groups = std::min(std::strlen(values.data.data()) / 3, EDITOR_BOXES);
    gtk_box_pack_start(GTK_BOX(content), buildReadFrame(groups), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(content), buildWriteFrame(values, groups), FALSE, FALSE, 0);

    GtkWidget *actions = gtk_dialog_get_action_area(GTK_DIALOG(editwindow));
    GtkWidget *ok = gtk_button_new_with_label("OK");
    GtkWidget *cancel = gtk_button_new_with_label("Cancel");
    gtk_box_pack_start(GTK_BOX(actions), ok, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(actions), cancel, FALSE, FALSE, 0);
    g_signal_connect(ok, "clicked", G_CALLBACK(editorOK), nullptr);
    g_signal_connect(cancel, "clicked", G_CALLBACK(editorCancel), nullptr);

    // The dialog itself stays hidden until gtk_dialog_run, so that it is first sized with
    // only one parameter frame showing.
    gtk_widget_show_all(content);
    gtk_widget_show_all(actions);
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(values.read ? editor_read_button : editor_write_button), TRUE);
    setDirection(values.read); // "toggled" comes only on a change, and Read starts active
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(values.stop ? editor_yes_button : editor_no_button), TRUE);
    new_msg_stop = values.stop ? 1 : 0;
}

// Reads the whole message back from the widgets: a send running in the nested loop may
// have reused new_msg_* through setRow since the editor opened.
void collectMessage() {
    setDirection(toggledOn(editor_read_button, false));
    new_msg_stop = toggledOn(editor_yes_button, true) ? 1 : 0;
    copyFitting(new_msg_address, gtk_entry_get_text(GTK_ENTRY(GTK_COMBO(editor_address)->entry)));

    gtk_spin_button_update(GTK_SPIN_BUTTON(editor_delay)); // a value still being typed counts
    new_msg_delay = static_cast<int>(gtk_spin_button_get_value(GTK_SPIN_BUTTON(editor_delay)));

    std::size_t length = 0;
    if (new_msg_rw[0] == 'R') {
        gtk_spin_button_update(GTK_SPIN_BUTTON(editor_read_bytes));
        const int count = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(editor_read_bytes));
        for (int i = 0; i < count && length + 3 < DATA_SIZE; ++i) {
            new_msg_data[length++] = 'F';
            new_msg_data[length++] = 'F';
            new_msg_data[length++] = ',';
        }
    } else {
        // Collected up to the first empty box; a single character is the byte's low digit.
        for (GtkWidget *entry : editor_write_data) {
            const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
            const std::size_t size = std::strlen(text);
            if (size == 0)
                break;
            new_msg_data[length++] = g_ascii_toupper(size == 1 ? '0' : text[0]);
            new_msg_data[length++] = g_ascii_toupper(size == 1 ? text[0] : text[1]);
            new_msg_data[length++] = ',';
        }
    }
    new_msg_data[length] = '\0';
}

} // namespace

void gui_openRow(GtkTreeView *, GtkTreePath *path, GtkTreeViewColumn *, gpointer) {
    // One editor at a time: a second one would share the first one's widgets and rowpath.
    if (getSendMode() == 1 || editwindow != nullptr || path == nullptr)
        return;
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(MODEL, &iter, path))
        return;
    getCellData(path);
    if (static_cast<int>(current_msg_num) > getFilledCount() + 1) {
        showError(ORDER_TEXT);
        return;
    }

    EditorValues values;
    // Only a row without a message starts from the template: a stored write message
    // without bytes also has an empty data text, and it opens showing its own values.
    if (current_msg_rw.empty() && current_msg_data.empty() && can_copy == 1) {
        copyFitting(values.address, copy_msg_address.data());
        copyFitting(values.data, copy_msg_data.data());
        values.read = copy_msg_rw[0] == 'R';
        values.stop = copy_msg_stop != 0;
        values.delay = static_cast<guint>(copy_msg_delay);
    } else {
        copyFitting(values.address, current_msg_address.c_str());
        copyFitting(values.data, current_msg_data.c_str());
        values.read = !current_msg_rw.empty() && current_msg_rw[0] == 'R';
        values.stop = current_msg_stop != 0;
        values.delay = current_msg_delay;
    }

    rowpath = gtk_tree_path_copy(path);
    editor_settled = false;
    buildEditor(values);
    gtk_dialog_run(GTK_DIALOG(editwindow));
    // The run also ends if the dialog goes some other way; that counts as a Cancel.
    if (!editor_settled)
        settleCancel();
    if (editwindow != nullptr)
        gtk_widget_destroy(editwindow);
    g_object_unref(editor_tips);
    editor_tips = nullptr;
    gtk_tree_path_free(rowpath);
    rowpath = nullptr;
}

void editorOK(GtkWidget *, gpointer) {
    if (editwindow == nullptr || rowpath == nullptr)
        return;
    collectMessage();
    if (!validateAddress(new_msg_address.data())) {
        showError(ADDRESS_TEXT);
        return;
    }
    if (!dataTextValid(new_msg_data.data())) {
        showError(DATA_TEXT);
        return;
    }
    setCellData(rowpath);
    copyRow(rowpath);
    inserted_new_row = 0;
    // A row made by Insert was counted then; only the first empty row adds a message here.
    if (copy_msg_num == getFilledCount() + 1)
        setFilledCount(copy_msg_num);
    editor_settled = true;
    gtk_widget_destroy(editwindow);
}

gboolean editorCancel(GtkWidget *, gpointer) {
    if (editwindow == nullptr || rowpath == nullptr)
        return TRUE;
    settleCancel();
    editor_settled = true;
    gtk_widget_destroy(editwindow);
    return TRUE; // destroyed here: after a delete_event GTK must not destroy it again
}

void editorToggleRead(GtkWidget *widget, gpointer) {
    setDirection(toggledOn(widget, true));
}

void editorToggleWrite(GtkWidget *widget, gpointer) {
    setDirection(!toggledOn(widget, true));
}

void editorToggleStopOn(GtkWidget *widget, gpointer) {
    new_msg_stop = toggledOn(widget, true) ? 1 : 0;
}

void editorToggleStopOff(GtkWidget *widget, gpointer) {
    new_msg_stop = toggledOn(widget, true) ? 0 : 1;
}
