#include "gui_callbacks.h"

#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"
#include "Tavro.h"

#include <gdk/gdkkeysyms.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

constexpr int BUSY_RETRY_DELAY = 100;
constexpr int DELAY_PER_TICK = 10;
constexpr std::size_t MAX_GROUPS = 32;

void removeSerialWatch() {
    if (SERIAL_CALLBACK_ID != 0) {
        g_source_remove(SERIAL_CALLBACK_ID);
        SERIAL_CALLBACK_ID = 0;
    }
}

// The three bus events stop a run this way: the cursor stays on the failed message.
void stopOnBusEvent() {
    DO_ROW_RESET = 0;
    gui_send_stop();
    setSendMode(0);
}

void endOfList() {
    gui_send_stop();
    setSendMode(0);
    selectRowReset();
    highlightRow();
    if (INT_NEEDS_HANDLING == 1)
        gui_handle_int();
}

void continueOrEnd() {
    if (hasMoreRows())
        SEND_DATA = 1;
    else
        endOfList();
}

void flip(int (*get)(), void (*set)(int)) { set(~get()); }

} // namespace

// ---- Link -------------------------------------------------------------------------------

void gui_open(GtkWidget *, gpointer) {
    setStatus("Connecting to the Tavro, opening the I2C bus...");
    // An earlier opening may have left the port open and watched; start afresh.
    removeSerialWatch();
    closeSerial();

    const std::string path = getSerialPort();
    if (!openSerial(path.c_str())) {
        showError("Couldn't open serial port for read/write access!");
        return;
    }
    SERIAL_CALLBACK_ID = watchSerial(getPortDescriptor());

    // The adapter may have been left at any rate: a reset at each puts it at 19200.
    for (int rate : {115200, 57600, 19200}) {
        configureSerial(rate);
        Tavro_reset();
    }
    if (getDevice() == 1 || getDevice() == 2) {
        startWatchdog();
        Tavro_clock(gui_getClockSpeed());
        Tavro_baud(gui_getBaudRate());
    } else {
        gui_baud_success();
    }
    INT_NEEDS_HANDLING = 0;
}

void gui_baud_success() {
    configureSerial(gui_getBaudRate());
    Tavro_setFlow(0);
    Tavro_setFormat(0);
    Tavro_setAddress("FE");
    if (getDevice() == 1 || getDevice() == 2)
        Tavro_IntMonitor(getOptionMonitor() == 1 ? 1 : 0);
    startWatchdog();
    Tavro_open();
}

void gui_open_success() {
    setStatus("Connected.  I2C link is now open.");
    setButtonMode(1);
}

void gui_close(GtkWidget *, gpointer) {
    setStatus("Closing the connection to the Tavro...");
    startWatchdog();
    Tavro_close();
}

void gui_close_success() {
    setStatus("Link Closed");
    removeSerialWatch();
    Tavro_reset();
    closeSerial();
    setButtonMode(0);
}

void gui_link_lost() {
    removeSerialWatch();
    closeSerial();
    // No reply can come any more; a time-out box would only repeat the news.
    stopWatchdog();
    setButtonMode(0);
    setStatus("Link Closed");
    showError("Lost the connection to the Tavro!\n\nThe serial port hung up or failed: the "
              "adapter may have been unplugged or switched off.  The link is closed.\n\nCheck "
              "cables, power and serial port, then open the link again.");
}

// ---- Sending ----------------------------------------------------------------------------

void gui_send(GtkWidget *, gpointer) {
    if (filled_rows == 0) {
        showError("You must enter at least one message.");
        return;
    }
    gui_send_start();
    setSendMode(1);
    selectRowReset();
    SEND_DATA = 1;
}

void gui_stop(GtkWidget *, gpointer) {
    DO_ROW_RESET = 1;
    INT_NEEDS_HANDLING = 0;
    gui_send_stop();
    setSendMode(0);
}

gboolean gui_send_message(gpointer) {
    if (!ALLOW_SEND && SEND_DATA && DO_ROW_RESET) {
        DO_ROW_RESET = 0;
        selectRowReset();
        highlightRow();
    }
    if (!ALLOW_SEND || !SEND_DATA)
        return TRUE;
    SEND_DELAY -= DELAY_PER_TICK;
    if (SEND_DELAY > 0)
        return TRUE;

    SEND_DATA = 0;
    highlightRow();
    int num = 0;
    std::array<char, ADDRESS_SIZE> address{};
    std::array<char, RW_SIZE> rw{};
    std::array<char, DATA_SIZE> data{};
    int stop = 0;
    int delay = 0;
    getRow(&num, address.data(), rw.data(), data.data(), &stop, &delay);

    if (std::strlen(address.data()) == 1) {
        address[1] = address[0];
        address[0] = '0';
        address[2] = '\0';
    }
    if (!validateAddress(address.data())) {
        showError("Badly formed slave address.  The slave address must be a one or two digit "
                  "even hex number.");
        SEND_DATA = 0;
        return TRUE;
    }
    Tavro_selectSlave(address.data());

    const std::size_t length = std::strlen(data.data());
    if (rw[0] == 'R') {
        setStatus("Sent master receive request...");
        startWatchdog();
        Tavro_MRx(static_cast<int>(length / 3), stop);
    } else {
        // Each "HH," group goes out as "~HH".
        std::array<char, DATA_SIZE> transmit{};
        for (std::size_t i = 0; i + 3 <= length; i += 3) {
            transmit[i] = '~';
            transmit[i + 1] = data[i];
            transmit[i + 2] = data[i + 1];
        }
        setStatus("Sent master transmit request...");
        startWatchdog();
        Tavro_MTx(transmit.data(), stop);
    }
    return TRUE;
}

void gui_send_start() { ALLOW_SEND = 1; }

void gui_send_stop() { ALLOW_SEND = 0; }

void gui_send_success(const char *text) {
    int num = 0;
    std::array<char, ADDRESS_SIZE> address{};
    std::array<char, RW_SIZE> rw{};
    std::array<char, DATA_SIZE> data{};
    int stop = 0;
    int delay = 0;
    getRow(&num, address.data(), rw.data(), data.data(), &stop, &delay);

    if (rw[0] == 'R') {
        setStatus("Read completed successfully");
        // Each received group is a separator and two digits; an incomplete last group is
        // ignored and at most 32 bytes are kept, so the data text stays within its record.
        std::string read;
        const std::size_t groups = std::min(std::strlen(text) / 3, MAX_GROUPS);
        for (std::size_t g = 0; g < groups; ++g) {
            read += text[3 * g + 1];
            read += text[3 * g + 2];
            read += ',';
        }
        setRow(num, address.data(), rw.data(), read.c_str(), stop, delay);
    } else {
        setStatus("Write completed successfully");
    }
    SEND_DELAY = delay;
    selectRowNext();
    continueOrEnd();
}

void gui_send_failure() {
    int num = 0;
    std::array<char, ADDRESS_SIZE> address{};
    std::array<char, RW_SIZE> rw{};
    std::array<char, DATA_SIZE> data{};
    int stop = 0;
    int delay = 0;
    getRow(&num, address.data(), rw.data(), data.data(), &stop, &delay);
    SEND_DELAY = delay;
    selectRowNext();
    continueOrEnd();
}

// ---- Options and variant ------------------------------------------------------------------

void gui_autorepeat(GtkWidget *, gpointer) { flip(getOptionAutorepeat, setOptionAutorepeat); }
void gui_beepon_busy(GtkWidget *, gpointer) { flip(getOptionBeeponBusy, setOptionBeeponBusy); }
void gui_beepon_arbloss(GtkWidget *, gpointer) {
    flip(getOptionBeeponArbloss, setOptionBeeponArbloss);
}
void gui_beepon_nak(GtkWidget *, gpointer) { flip(getOptionBeeponNak, setOptionBeeponNak); }
void gui_beepon_int(GtkWidget *, gpointer) { flip(getOptionBeeponInt, setOptionBeeponInt); }
void gui_stopon_busy(GtkWidget *, gpointer) { flip(getOptionStoponBusy, setOptionStoponBusy); }
void gui_stopon_arbloss(GtkWidget *, gpointer) {
    flip(getOptionStoponArbloss, setOptionStoponArbloss);
}
void gui_stopon_nak(GtkWidget *, gpointer) { flip(getOptionStoponNak, setOptionStoponNak); }

void gui_intmonitor(GtkWidget *, gpointer) {
    if (getOptionMonitor() == 0) {
        Tavro_IntMonitor(1);
        setOptionMonitor(1);
    } else {
        Tavro_IntMonitor(0);
        setOptionMonitor(0);
    }
}

void gui_sendonint(GtkWidget *, gpointer) { setOptionSendonInt(getOptionSendonInt() == 0 ? 1 : 0); }

void gui_pickSol(GtkWidget *, gpointer) { selectDevice(0); }
void gui_pickSolx(GtkWidget *, gpointer) { selectDevice(1); }
void gui_pickDyn(GtkWidget *, gpointer) { selectDevice(2); }

// ---- Bus events and /INT ----------------------------------------------------------------

void gui_handle_nak() {
    setStatus("Slave not acknowledging");
    if (getOptionBeeponNak())
        makeBeep();
    if (getOptionStoponNak())
        stopOnBusEvent();
    else
        gui_send_failure();
}

void gui_handle_busy() {
    setStatus("Busy, trying again in 100 ms");
    if (getOptionBeeponBusy())
        makeBeep();
    if (getOptionStoponBusy())
        stopOnBusEvent();
    SEND_DELAY = BUSY_RETRY_DELAY;
    SEND_DATA = 1;
}

void gui_handle_arbloss() {
    setStatus("Lost arbitration, skipping");
    if (getOptionBeeponArbloss())
        makeBeep();
    if (getOptionStoponArbloss())
        stopOnBusEvent();
    else
        gui_send_failure();
}

void gui_handle_int() {
    if (getOptionMonitor() == 0) {
        INT_NEEDS_HANDLING = 0;
        return;
    }
    setStatus("Interrupt asserted");
    if (getOptionBeeponInt())
        makeBeep();
    setIntMode(1);
    INT_NEEDS_HANDLING = 1;
    if (getOptionSendonInt() == 1 && filled_rows > 0 && getSendMode() == 0) {
        gui_send_start();
        setSendMode(1);
        selectRowReset();
        SEND_DATA = 1;
        INT_NEEDS_HANDLING = 0;
    }
}

void gui_handle_intrelease() {
    setStatus("Interrupt released");
    if (getOptionMonitor())
        setIntMode(0);
}

// ---- File commands ----------------------------------------------------------------------

void gui_file_new(gpointer, guint, GtkWidget *) {}
void gui_file_open(gpointer, guint, GtkWidget *) {}
void gui_file_save(gpointer, guint, GtkWidget *) {}
void gui_file_saveas(gpointer, guint, GtkWidget *) {}
void clearCurrentFilename() { current_filename.clear(); }

// ---- Options and Help menus, Exit --------------------------------------------------------

void gui_baud(gpointer, guint, GtkWidget *) {}
void gui_clock(gpointer, guint, GtkWidget *) {}
void gui_help_readme(gpointer, guint, GtkWidget *) {}
void gui_help_revisions(gpointer, guint, GtkWidget *) {}
void gui_help_quickstart(gpointer, guint, GtkWidget *) {}
void gui_help_about(gpointer, guint, GtkWidget *) {}
void gui_menu_exit(gpointer, guint, GtkWidget *) { handleClose(nullptr, nullptr, nullptr); }

// ---- List keys --------------------------------------------------------------------------

gboolean gui_keypress(GtkWidget *, GdkEventKey *event, gpointer) {
    switch (event->keyval) {
    case GDK_Insert:
    case GDK_KP_Insert:
        if (getSendMode() == 0)
            insertSelectedRow();
        break;
    case GDK_Delete:
    case GDK_KP_Delete:
        if (getSendMode() == 0)
            deleteSelectedRow();
        break;
    default:
        break;
    }
    return FALSE;
}
