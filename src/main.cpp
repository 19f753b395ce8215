// Program entry and the process-wide variables declared in main.h.
#include "main.h"

#include "gui_create.h"
#include "watchdog.h"

#include <cstdio>

int device = 0;
int baudrate_value = 19200;
int clockspeed_value = 100;
int PORT_DESCRIPTOR = -1; // no port yet: nothing may be written to descriptor 0
guint SERIAL_CALLBACK_ID = 0;
std::array<PortName, MAX_SERIAL_PORTS> serial_ports{};
int serial_port_count = 0;

std::array<char, SERIAL_BUFFER_SIZE> SERIAL_BUFFER_IN{};
int SERIAL_BUFFER_IN_PTR = 0;
int WATCHDOG = 0;
int WT = 0;

int ALLOW_SEND = 0;
int SEND_DATA = 0;
int SEND_DELAY = 0;
int DO_ROW_RESET = 0;
int INT_NEEDS_HANDLING = 0;

std::array<std::int32_t, OPTION_COUNT> selectedOptions{};

GtkTreeModel *MODEL = nullptr;
GtkTreeIter current_iter{};
int current_row = 1;
int filled_rows = 0;
int NO_MORE_ROWS = 0;
int inserted_new_row = 0;
int can_copy = 0;

guint current_msg_num = 0;
std::string current_msg_address;
std::string current_msg_rw;
std::string current_msg_data;
int current_msg_stop = 0;
guint current_msg_delay = 0;

int new_msg_num = 0;
std::array<char, ADDRESS_SIZE> new_msg_address{};
std::array<char, RW_SIZE> new_msg_rw{};
std::array<char, DATA_SIZE> new_msg_data{};
int new_msg_stop = 0;
int new_msg_delay = 0;

int copy_msg_num = 0;
std::array<char, ADDRESS_SIZE> copy_msg_address{};
std::array<char, RW_SIZE> copy_msg_rw{};
std::array<char, DATA_SIZE> copy_msg_data{};
int copy_msg_stop = 0;
int copy_msg_delay = 0;

GtkWidget *editwindow = nullptr;
GtkWidget *editor_address = nullptr;
GtkWidget *editor_delay = nullptr;
GtkWidget *editor_read_bytes = nullptr;
std::array<GtkWidget *, 32> editor_write_data{};
GtkWidget *editor_read_frame = nullptr;
GtkWidget *editor_write_frame = nullptr;
GtkTreePath *rowpath = nullptr;

std::string current_filename;
int YESNO_BOX_STATE = 0;
GtkWidget *displaybox = nullptr;
GtkWidget *file_selector = nullptr;
GtkWidget *baudwindow = nullptr;
GtkWidget *baudrate = nullptr;
GtkWidget *clockwindow = nullptr;
GtkWidget *clockspeed = nullptr;
GtkWidget *YesNoBox = nullptr;

GtkWidget *window = nullptr;
GtkWidget *menu = nullptr;
GtkItemFactory *item_factory = nullptr;
GtkWidget *status = nullptr;
GtkWidget *button_open = nullptr;
GtkWidget *button_send = nullptr;
GtkWidget *button_stop = nullptr;
GtkWidget *button_close = nullptr;
GtkWidget *autorepeat = nullptr;
GtkWidget *sendonint = nullptr;
GtkWidget *serial_port = nullptr;
GtkWidget *rb1 = nullptr;
GtkWidget *rb2 = nullptr;
GtkWidget *rb3 = nullptr;
GtkWidget *beepon_interrupt_control = nullptr;
GtkWidget *interrupt_monitor_control = nullptr;
GtkWidget *label_int_asserted = nullptr;
GtkWidget *label_int_released = nullptr;
GtkWidget *view = nullptr;
GtkTreeSelection *sel = nullptr;
GtkWidget *scrolled_window = nullptr;

#ifdef SENDRAL_PROGRAM_ENTRY
int main(int argc, char *argv[]) {
    // Every line (banner, discovery, traces, beeps) reaches a pipe or log at once.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::puts("Tavro/Sol/Solx/Dyn Sendral");
    std::puts("QVT");
    std::puts("https://www.example.com/sendral");
    std::puts("");

    configureWatchdog();
    std::puts("Starting gui.");
    startGUI(argc, argv);
    std::puts("Exiting.");
    return 0;
}
#endif
