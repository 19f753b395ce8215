// Process-wide state shared by the units of the program, declared once here.
// Each variable is written only by the unit its comment names; everything runs on
// the GTK main thread, so none of it is locked.
#ifndef SENDRAL_MAIN_H
#define SENDRAL_MAIN_H

#include "data_text.h"

#include <gtk/gtk.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Fixed sizes of the program's buffers; nothing is ever stored past them.
constexpr int MAX_SERIAL_PORTS = 10;
constexpr std::size_t PORT_NAME_SIZE = 255;
constexpr std::size_t SERIAL_BUFFER_SIZE = 255; // a reply line of 254 characters and its NUL
constexpr int OPTION_COUNT = 10;

using PortName = std::array<char, PORT_NAME_SIZE>;

// Adapter and link (variant and rates: gui_manipulate; descriptor: serial; watch: gui_callbacks).
extern int device;
extern int baudrate_value;
extern int clockspeed_value;
extern int PORT_DESCRIPTOR;
extern guint SERIAL_CALLBACK_ID;
extern std::array<PortName, MAX_SERIAL_PORTS> serial_ports;
extern int serial_port_count;

// Reply assembly (serial) and the reply watchdog (watchdog).
extern std::array<char, SERIAL_BUFFER_SIZE> SERIAL_BUFFER_IN;
extern int SERIAL_BUFFER_IN_PTR;
extern int WATCHDOG;
extern int WT;

// Send control (gui_callbacks).
extern int ALLOW_SEND;
extern int SEND_DATA;
extern int SEND_DELAY;
extern int DO_ROW_RESET;
extern int INT_NEEDS_HANDLING;

// Options by index: 0 AutoRepeat, 1-4 beep on busy/arb. loss/NAK//INT,
// 5-7 stop on busy/arb. loss/NAK, 8 interrupt monitor, 9 send on /INT.
extern std::array<std::int32_t, OPTION_COUNT> selectedOptions;

// The message list and its row cursor (gui_manipulate, gui_create).
extern GtkTreeModel *MODEL;
extern GtkTreeIter current_iter;
extern int current_row;
extern int filled_rows;
extern int NO_MORE_ROWS;
extern int inserted_new_row;
extern int can_copy;

// Message records: the row last read, the row about to be written, and the editor's template.
extern guint current_msg_num;
extern std::string current_msg_address;
extern std::string current_msg_rw;
extern std::string current_msg_data;
extern int current_msg_stop;
extern guint current_msg_delay;

extern int new_msg_num;
extern std::array<char, ADDRESS_SIZE> new_msg_address;
extern std::array<char, RW_SIZE> new_msg_rw;
extern std::array<char, DATA_SIZE> new_msg_data;
extern int new_msg_stop;
extern int new_msg_delay;

extern int copy_msg_num;
extern std::array<char, ADDRESS_SIZE> copy_msg_address;
extern std::array<char, RW_SIZE> copy_msg_rw;
extern std::array<char, DATA_SIZE> copy_msg_data;
extern int copy_msg_stop;
extern int copy_msg_delay;

// The message editor's widgets, valid while it is open.
extern GtkWidget *editwindow;
extern GtkWidget *editor_address;
extern GtkWidget *editor_delay;
extern GtkWidget *editor_read_bytes;
extern std::array<GtkWidget *, 32> editor_write_data;
extern GtkWidget *editor_read_frame;
extern GtkWidget *editor_write_frame;
extern GtkTreePath *rowpath;

// Files and dialogs.
extern std::string current_filename;
extern int YESNO_BOX_STATE;
extern GtkWidget *displaybox;
extern GtkWidget *file_selector;
extern GtkWidget *baudwindow;
extern GtkWidget *baudrate;
extern GtkWidget *clockwindow;
extern GtkWidget *clockspeed;
extern GtkWidget *YesNoBox;

// Widgets of the main window, created once by gui_create and kept until exit.
extern GtkWidget *window;
extern GtkWidget *menu;
extern GtkItemFactory *item_factory;
extern GtkWidget *status;
extern GtkWidget *button_open;
extern GtkWidget *button_send;
extern GtkWidget *button_stop;
extern GtkWidget *button_close;
extern GtkWidget *autorepeat;
extern GtkWidget *sendonint;
extern GtkWidget *serial_port;
extern GtkWidget *rb1;
extern GtkWidget *rb2;
extern GtkWidget *rb3;
extern GtkWidget *beepon_interrupt_control;
extern GtkWidget *interrupt_monitor_control;
extern GtkWidget *label_int_asserted;
extern GtkWidget *label_int_released;
extern GtkWidget *view;
extern GtkTreeSelection *sel;
extern GtkWidget *scrolled_window;

// Installed files.
constexpr const char *DATA_DIR = SENDRAL_DATADIR;
// The path of an installed file.
inline std::string dataPath(const char *name) {
    return std::string(DATA_DIR) + "/" + name;
}

#endif
