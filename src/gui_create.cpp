#include "gui_create.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"

#include <string>

namespace {

constexpr gint64 PACING_TICK_US = 2000;

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
    {const_cast<gchar *>("/Options/RS-232 Baud Rate..."), nullptr,
     GtkItemFactoryCallback(gui_baud), 0, const_cast<gchar *>("<Item>"), nullptr},
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

std::string dataPath(const char *name) { return std::string(DATA_DIR) + "/" + name; }

void tip(GtkWidget *widget, const char *text) {
    gtk_tooltips_set_tip(tooltips, widget, text, "");
}

// Packs child at the start of box and shows it.
GtkWidget *pack(GtkWidget *box, GtkWidget *child, gboolean expand, gboolean fill) {
    gtk_box_pack_start(GTK_BOX(box), child, expand, fill, 0);
    gtk_widget_show(child);
    return child;
}

GtkWidget *checkButton(GtkWidget *box, const char *label, GCallback on_toggled,
                       const char *tooltip) {
    GtkWidget *button = pack(box, gtk_check_button_new_with_label(label), TRUE, FALSE);
    g_signal_connect(button, "toggled", on_toggled, nullptr);
    if (tooltip)
        tip(button, tooltip);
    return button;
}

GtkWidget *linkButton(GtkWidget *box, const char *label, GCallback on_clicked,
                      const char *tooltip) {
    GtkWidget *button = pack(box, gtk_button_new_with_label(label), TRUE, FALSE);
    g_signal_connect(button, "clicked", on_clicked, nullptr);
    tip(button, tooltip);
    return button;
}

// One option column of row 7: a column box holding a labelled frame; returns the frame's
// inner box, and the column box through column.
GtkWidget *optionColumn(GtkWidget *row, const char *title, gint spacing, GtkWidget **column) {
    GtkWidget *column_box = pack(row, gtk_vbox_new(FALSE, 10), FALSE, FALSE);
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

    GtkWidget *port_row = pack(inner, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    pack(port_row, gtk_label_new("Serial port:"), FALSE, FALSE);
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
    pack(port_row, serial_port, FALSE, FALSE);

    GtkWidget *device_row = pack(inner, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    pack(device_row, gtk_label_new("Device:"), FALSE, FALSE);
    GtkWidget *radios = pack(device_row, gtk_vbox_new(FALSE, 0), FALSE, FALSE);
    rb1 = pack(radios, gtk_radio_button_new_with_label(nullptr, "Tavro/Sol"), FALSE, FALSE);
    rb2 = pack(radios, gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(rb1),
                                                                   "Tavro/Solx"),
               FALSE, FALSE);
    rb3 = pack(radios,
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
    label_int_released = pack(signal, gtk_label_new("Released."), FALSE, FALSE);
}

void quickStartClicked(GtkWidget *, gpointer) { gui_help_quickstart(nullptr, 0, nullptr); }

gboolean pacingTick() { return gui_send_message(nullptr); }

// The pacing tick can change nothing unless a message is due and either a run is in
// progress or a rewind is waiting.
bool pacingWanted() { return SEND_DATA && (ALLOW_SEND || DO_ROW_RESET); }

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

int startGUI(int argc, char *argv[]) {
    createGUI(argc, argv);
    return 0;
}

gboolean handleClose(GtkWidget *, GdkEvent *, gpointer) {
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

    tooltips = gtk_tooltips_new();

    GtkWidget *outer = gtk_vbox_new(FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), outer);
    gtk_widget_show(outer);
    menu = pack(outer, get_menubar_menu(), FALSE, TRUE);

    GtkWidget *main_box = gtk_vbox_new(FALSE, 10);
    gtk_container_set_border_width(GTK_CONTAINER(main_box), 10);
    gtk_container_add(GTK_CONTAINER(outer), main_box);
    gtk_widget_show(main_box);

    // Row 1: Quick Start.
    GtkWidget *row = pack(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    linkButton(row, "Quick Start", G_CALLBACK(quickStartClicked),
               "Information on getting up and running quickly");

    // Row 2: the maker's logo, the program's name, the icon.
    row = pack(main_box, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
    pack(row, gtk_image_new_from_file(dataPath("qvt.png").c_str()), TRUE, FALSE);
    GtkWidget *name = pack(row, gtk_label_new("Tavro Sendral"), TRUE, FALSE);
    PangoFontDescription *font = pango_font_description_new();
    pango_font_description_set_size(font, 25000);
    gtk_widget_modify_font(name, font);
    pango_font_description_free(font);
    pack(row, gtk_image_new_from_file(dataPath("icon.png").c_str()), TRUE, FALSE);

    // Row 3: link and send buttons.
    row = pack(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
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
    row = pack(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
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
    pack(main_box, scrolled_window, TRUE, TRUE);

    // Row 6: the status line, centred.
    row = pack(main_box, gtk_hbox_new(FALSE, 0), FALSE, FALSE);
    GtkWidget *pair = pack(row, gtk_hbox_new(FALSE, 5), TRUE, FALSE);
    pack(pair, gtk_label_new("Status:"), FALSE, FALSE);
    status = gtk_entry_new();
    gtk_editable_set_editable(GTK_EDITABLE(status), FALSE);
    gtk_widget_set_size_request(status, 500, 20);
    gtk_entry_set_text(GTK_ENTRY(status), "Link Closed");
    pack(pair, status, FALSE, FALSE);

    // Row 7: the option columns.
    row = pack(main_box, gtk_hbox_new(FALSE, 20), FALSE, FALSE);
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
    gtk_tree_model_get(MODEL, &iter, COL_NUM, &current_msg_num, COL_ADDRESS, &address, COL_RW,
                       &rw, COL_DATA, &data, COL_STOP, &stop, COL_DELAY, &current_msg_delay, -1);
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
                       new_msg_stop ? TRUE : FALSE, COL_DELAY,
                       static_cast<guint>(new_msg_delay), -1);
}

void gui_openRow(GtkTreeView *, GtkTreePath *, GtkTreeViewColumn *, gpointer) {}
void editorOK(GtkWidget *, gpointer) {}
gboolean editorCancel(GtkWidget *, gpointer) { return TRUE; }
void editorToggleRead(GtkWidget *, gpointer) {}
void editorToggleWrite(GtkWidget *, gpointer) {}
void editorToggleStopOn(GtkWidget *, gpointer) {}
void editorToggleStopOff(GtkWidget *, gpointer) {}
