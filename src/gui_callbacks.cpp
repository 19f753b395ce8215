#include "gui_callbacks.h"

#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "pacing.h"
#include "serial.h"
#include "watchdog.h"
#include "Tavro.h"

#include <gdk/gdkkeysyms.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

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

// The next message is only marked due: the pacing tick sends it. Sent from here, it would go
// out while later lines of the same read are still to be dispatched, and each of them would
// stop the watchdog just armed for it.
void continueOrEnd() {
    if (hasMoreRows())
        SEND_DATA = 1;
    else
        endOfList();
}

// The cursor row, read into buffers of the record's sizes.
struct CursorRow {
    int num = 0;
    std::array<char, ADDRESS_SIZE> address{};
    std::array<char, RW_SIZE> rw{};
    std::array<char, DATA_SIZE> data{};
    int stop = 0;
    int delay = 0;
};

CursorRow readCursorRow() {
    CursorRow row;
    getRow(&row.num, row.address.data(), row.rw.data(), row.data.data(), &row.stop, &row.delay);
    return row;
}

// One tick's share of the pending delay; once the delay has run down, the cursor row goes
// out: highlighted, its address checked, then the slave select and the transfer.
void countDownAndSend() {
    SEND_DELAY -= DELAY_PER_TICK;
    if (SEND_DELAY > 0)
        return;

    SEND_DATA = 0;
    highlightRow();
    CursorRow row = readCursorRow();

    if (std::strlen(row.address.data()) == 1) {
        row.address[1] = row.address[0];
        row.address[0] = '0';
        row.address[2] = '\0';
    }
    if (!validateAddress(row.address.data())) {
        // SEND_DATA was cleared before the box: a run that /INT starts while it is open
        // must go on after it.
        showError(BAD_ADDRESS_TEXT);
        return;
    }
    Tavro_selectSlave(row.address.data());

    if (row.rw[0] == 'R') {
        setStatus("Sent master receive request...");
        startWatchdog();
        Tavro_MRx(readCount(row.data.data()), row.stop);
    } else {
        setStatus("Sent master transmit request...");
        startWatchdog();
        Tavro_MTx(transmitText(row.data.data()).c_str(), row.stop);
    }
}

void flip(int (*get)(), void (*set)(int)) {
    set(~get());
}

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
    requestLowLatency();
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
    if (getFilledCount() == 0) {
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
    if (ALLOW_SEND && SEND_DATA)
        countDownAndSend();
    return TRUE;
}

void gui_send_start() {
    ALLOW_SEND = 1;
}

void gui_send_stop() {
    ALLOW_SEND = 0;
    showPendingDisplay(); // what the run left waiting for its frame
}

void gui_send_success(const char *text, bool read_reply) {
    const CursorRow row = readCursorRow();

    if (row.rw[0] == 'R') {
        setStatus("Read completed successfully");
        // Only a read reply brings bytes: a stray write reply (say after a time-out) must not
        // empty the row. An incomplete last group is ignored and at most 32 bytes are kept,
        // so the data text stays within its record.
        if (read_reply) {
            const std::string read = readDataText(text);
            setRow(row.num, row.address.data(), row.rw.data(), read.c_str(), row.stop, row.delay);
        }
    } else {
        setStatus("Write completed successfully");
    }
    SEND_DELAY = row.delay;
    selectRowNext();
    continueOrEnd();
}

void gui_send_failure() {
    const CursorRow row = readCursorRow();
    SEND_DELAY = row.delay;
    selectRowNext();
    continueOrEnd();
}

// ---- Options and variant ------------------------------------------------------------------

void gui_autorepeat(GtkWidget *, gpointer) {
    flip(getOptionAutorepeat, setOptionAutorepeat);
}
void gui_beepon_busy(GtkWidget *, gpointer) {
    flip(getOptionBeeponBusy, setOptionBeeponBusy);
}
void gui_beepon_arbloss(GtkWidget *, gpointer) {
    flip(getOptionBeeponArbloss, setOptionBeeponArbloss);
}
void gui_beepon_nak(GtkWidget *, gpointer) {
    flip(getOptionBeeponNak, setOptionBeeponNak);
}
void gui_beepon_int(GtkWidget *, gpointer) {
    flip(getOptionBeeponInt, setOptionBeeponInt);
}
void gui_stopon_busy(GtkWidget *, gpointer) {
    flip(getOptionStoponBusy, setOptionStoponBusy);
}
void gui_stopon_arbloss(GtkWidget *, gpointer) {
    flip(getOptionStoponArbloss, setOptionStoponArbloss);
}
void gui_stopon_nak(GtkWidget *, gpointer) {
    flip(getOptionStoponNak, setOptionStoponNak);
}

void gui_intmonitor(GtkWidget *, gpointer) {
    if (getOptionMonitor() == 0) {
        Tavro_IntMonitor(1);
        setOptionMonitor(1);
    } else {
        Tavro_IntMonitor(0);
        setOptionMonitor(0);
    }
}

void gui_sendonint(GtkWidget *, gpointer) {
    setOptionSendonInt(getOptionSendonInt() == 0 ? 1 : 0);
}

void gui_pickSol(GtkWidget *, gpointer) {
    selectDevice(0);
}
void gui_pickSolx(GtkWidget *, gpointer) {
    selectDevice(1);
}
void gui_pickDyn(GtkWidget *, gpointer) {
    selectDevice(2);
}

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
    if (getOptionSendonInt() == 1 && getFilledCount() > 0 && getSendMode() == 0) {
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

namespace {

// Runs a menu command; an allocation failure must not unwind through GTK's C frames.
template <typename Command> void guarded(Command &&command) noexcept {
    try {
        command();
    } catch (const std::exception &) {
        showError("Not enough memory to complete the command!");
    }
}

std::string baseName(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// Open List and New List replace the list; a run can only be in progress here when /INT
// started one inside the file chooser's loop, and it must not go on over the new list.
void stopRunForNewList() {
    if (getSendMode() == 1) {
        gui_stop(nullptr, nullptr);
        setStatus("Sending stopped: the list was replaced.");
    }
}

} // namespace

void gui_file_new(gpointer, guint, GtkWidget *) {
    guarded([] {
        stopRunForNewList();
        clearCurrentFilename();
        setTitle("new list");
        eraseRows();
    });
}

void gui_file_open(gpointer, guint, GtkWidget *) {
    guarded([] { fileOpen(); });
}

void gui_file_save(gpointer, guint, GtkWidget *) {
    guarded([] {
        if (current_filename.empty())
            fileSaveAs();
        else
            gui_file_save_success(0);
    });
}

void gui_file_saveas(gpointer, guint, GtkWidget *) {
    guarded([] { fileSaveAs(); });
}

void clearCurrentFilename() {
    current_filename.clear();
}

void gui_file_open_success(const char *path) {
    stopRunForNewList();
    eraseRows();
    current_filename = path;

    // Opening a FIFO would wait for a writer, with the window frozen.
    struct stat info {};
    if (stat(path, &info) == 0 && S_ISFIFO(info.st_mode)) {
        clearCurrentFilename();
        showError("File could not be read!  The list was not loaded.");
        return;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        clearCurrentFilename();
        showError("File could not be opened!");
        return;
    }
    ListFile list;
    const ListFileStatus result = readListFile(file, list);
    std::fclose(file);
    if (result != ListFileStatus::Ok) {
        // Nothing of the file is in the list: a Save List must not write over it.
        clearCurrentFilename();
        showError(result == ListFileStatus::NotAList
                      ? "Not an QVT I2C Message List file!"
                      : "File could not be read!  The list was not loaded.");
        return;
    }

    int row = 0;
    for (const ListMessage &message : list.messages) {
        selectRowNumber(++row);
        setRow(row, message.address.c_str(), message.rw.c_str(), message.data.c_str(),
               message.stop ? 1 : 0, static_cast<int>(message.delay));
    }
    setFilledCount(row);
    selectRowReset();
    if (list.autorepeat >= 0)
        setAutorepeatCheckbox(list.autorepeat);
    if (list.sendonint >= 0)
        setSendonIntCheckbox(list.sendonint);
    setTitle(baseName(current_filename).c_str());
    if (list.dropped > 0) {
        const std::string text =
            "The list holds at most 50 messages: " + std::to_string(list.dropped) +
            (list.dropped == 1 ? " message line of the file was dropped."
                               : " message lines of the file were dropped.");
        setStatus(text.c_str());
    }
}

void gui_file_save_as_success(const char *path) {
    current_filename = path;
    setTitle(baseName(current_filename).c_str());
    gui_file_save_success(1);
}

void gui_file_save_success(int ask) {
    const std::size_t length = current_filename.size();
    if (length < 4 || current_filename[length - 4] != '.')
        current_filename += ".iml";
    // The question runs a nested loop in which the current name may change.
    const std::string path = current_filename;

    // Whether the list exists, asked without opening it: opening a FIFO would wait for a
    // writer. A dangling symbolic link does not exist; what is there but no regular file
    // cannot take a list.
    struct stat existing {};
    const bool exists = stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        showError("Can't open file for writing!");
        return;
    }
    if (exists && ask && showYesNo() == 0)
        return;

    const std::string text =
        formatListFile(listMessages(), getOptionAutorepeat() != 0, getOptionSendonInt() != 0);
    switch (saveListFile(path, text)) {
    case SaveResult::Saved:
        break;
    case SaveResult::CantOpen:
        showError("Can't open file for writing!");
        break;
    case SaveResult::WriteFailed:
        showError("Can't write file!  The list was not saved.");
        break;
    case SaveResult::Damaged: {
        // The name as valid text, whatever bytes the file system allows in it.
        const std::unique_ptr<gchar, decltype(&g_free)> name(g_filename_display_name(path.c_str()),
                                                             g_free);
        const std::string text = "Can't write file!  The list was not saved, and the old list "
                                 "could not be put back: " +
                                 std::string(name.get()) + " may be damaged.";
        showError(text.c_str());
        break;
    }
    }
}

// ---- List file ------------------------------------------------------------------------

std::vector<ListMessage> listMessages() {
    std::vector<ListMessage> messages;
    for (int n = 1; n <= std::min(getFilledCount(), LIST_ROWS); ++n)
        messages.push_back(readStoredRow(n));
    return messages;
}

// ---- Options and Help menus, Exit --------------------------------------------------------

namespace {

void showDataFile(const char *title, const char *name) {
    displayTextFile(title, dataPath(name).c_str());
}

} // namespace

void gui_baud(gpointer, guint, GtkWidget *) {
    guarded([] { displayBaudRate(); });
}
void gui_clock(gpointer, guint, GtkWidget *) {
    guarded([] { displayClockSpeed(); });
}
void gui_help_readme(gpointer, guint, GtkWidget *) {
    guarded([] { showDataFile("ReadMe", "README.txt"); });
}
void gui_help_revisions(gpointer, guint, GtkWidget *) {
    guarded([] { showDataFile("Revision Report", "REVISIONS.txt"); });
}
void gui_help_quickstart(gpointer, guint, GtkWidget *) {
    guarded([] { showDataFile("QuickStart", "QUICKSTART.txt"); });
}
void gui_help_about(gpointer, guint, GtkWidget *) {
    guarded([] { displayAbout(); });
}
void gui_menu_exit(gpointer, guint, GtkWidget *) {
    handleClose(nullptr, nullptr, nullptr);
}

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
