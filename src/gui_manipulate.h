// Operations on the main window's state: the message list store and its row cursor, the
// option accessors, the control state, the status line and message boxes, and the dialogs
// opened from the menus.
#ifndef SENDRAL_GUI_MANIPULATE_H
#define SENDRAL_GUI_MANIPULATE_H

#include "list_file.h"

#include <gtk/gtk.h>

#include <cstddef>
#include <string>

// ---- Message list store ---------------------------------------------------------------
// Store columns, in order.
enum ListColumn { COL_NUM = 0, COL_ADDRESS, COL_RW, COL_DATA, COL_STOP, COL_DELAY, N_COLUMNS };

// Creates the 50-row store: row i holds number i, empty texts, Stop TRUE and delay 0.
GtkTreeModel *create_and_fill_model();
// Reads the cursor row. The buffers hold 3, 2 and 97 bytes; longer texts are cut to fit.
// stop is reported as exactly 1 or 0.
void getRow(int *num, char *address, char *rw, char *data, int *stop, int *delay);
// Writes columns 1 to 5 of the cursor row (the number column never changes); texts longer
// than the record's buffers are cut.
void setRow(int num, const char *address, const char *rw, const char *data, int stop, int delay);
void selectRowReset();
// Steps the cursor; on the last message it wraps to row 1 with AutoRepeat on, else sets
// NO_MORE_ROWS and stays.
void selectRowNext();
int hasMoreRows();
void setFilledCount(int count);
int getFilledCount();
// Unticks AutoRepeat, then empties every message row; filled_rows becomes 0.
void eraseRows();
// Inserts an empty message before the selected row and opens the editor on it. Refused
// with a status text when all 50 rows hold messages; nothing happens with no selection.
void insertSelectedRow();
// Removes the selected message and closes the gap; nothing happens with no selection.
void deleteSelectedRow();
// Selects the cursor row and scrolls the view just far enough to show it. During a run the
// window may show it up to a frame later (see showPendingDisplay).
void highlightRow();
// Row n (1-based), columns 1 to 5, read without moving the cursor; an empty row for n outside
// 1 to 50.
ListMessage readStoredRow(int n);
// Moves the cursor to row n (1-based); used by the store operations and the file writer.
void selectRowNumber(int n);

// ---- Options ------------------------------------------------------------------------
void setOptionAutorepeat(int value);
int getOptionAutorepeat();
void setOptionBeeponBusy(int value);
int getOptionBeeponBusy();
void setOptionBeeponArbloss(int value);
int getOptionBeeponArbloss();
void setOptionBeeponNak(int value);
int getOptionBeeponNak();
void setOptionBeeponInt(int value);
int getOptionBeeponInt();
void setOptionStoponBusy(int value);
int getOptionStoponBusy();
void setOptionStoponArbloss(int value);
int getOptionStoponArbloss();
void setOptionStoponNak(int value);
int getOptionStoponNak();
void setOptionMonitor(int value);
int getOptionMonitor();
void setOptionSendonInt(int value);
int getOptionSendonInt();

// ---- Control state ------------------------------------------------------------------
// The link counts as open exactly while "Open Link" is insensitive, and a list as being
// sent exactly while "Send" is hidden; these are the only writers of those two states.
void setButtonMode(int open);
int getButtonMode();
void setSendMode(int sending);
int getSendMode();
// Stores the variant and applies its bit rate, clock default and /INT controls.
void selectDevice(int variant);
int getDevice();
// "Tavro Sendral - [ name ]", of any length.
void setTitle(const char *name);
void setIntMode(int asserted);
void setAutorepeatCheckbox(int on);
void setSendonIntCheckbox(int on);
// The port chooser's entry text, owned by the entry; use it at once.
const char *getSerialPort();

// ---- Status line, message boxes, beep ---------------------------------------------------
// Replaces the status line's text. During a run (ALLOW_SEND) the window may show it up to a
// frame later, and a text replaced within the frame never shows.
void setStatus(const char *text);
// Brings the status line and the highlight that a run has left waiting to the window at once;
// called when a run ends.
void showPendingDisplay();
// Stops any sending (gui_stop), beeps, then runs a modal error box with text until closed.
void showError(const char *text);
// Asks "Overwrite file?"; returns 1 for Yes, 0 for No or for closing the box.
int showYesNo();
void showYesNo_yes(GtkWidget *widget, gpointer data);
void showYesNo_no(GtkWidget *widget, gpointer data);
// Writes "Alert!" and BEL as one line on standard output.
void makeBeep();

// ---- File choosers ----------------------------------------------------------------------
// "Open list..." and "Save as..." over *.iml files; on the accept response the choice goes to
// gui_file_open_success or gui_file_save_as_success, and the chooser is destroyed after.
void fileOpen();
void fileSaveAs();

// ---- Baud rate and clock speed ------------------------------------------------------------
// The bit rate and I2C clock (kHz) that the next opening of the link uses.
int gui_getBaudRate();
int gui_getClockSpeed();
// Build and run the dialog over the values of the current variant; return once it is gone.
// While the link is open "OK" is insensitive. `baudwindow`/`baudrate` (`clockwindow`/
// `clockspeed`) name the innermost open dialog of the kind and its combo, else nullptr.
void displayBaudRate();
void displayClockSpeed();
// Handlers act on the dialog that holds widget (the innermost open one for nullptr). OK
// stores the entry's leading decimal number (0 without digits) and closes; Cancel closes.
void gui_baud_ok(GtkWidget *widget, gpointer data);
void gui_clock_ok(GtkWidget *widget, gpointer data);
void gui_baud_cancel(GtkWidget *widget, gpointer data);
void gui_clock_cancel(GtkWidget *widget, gpointer data);
// Destroy the dialog of the kind that holds widget (the innermost open one for nullptr), if
// any.
void destroyBaudRate(GtkWidget *widget = nullptr);
void destroyClockSpeed(GtkWidget *widget = nullptr);

// ---- Text viewer and About window ---------------------------------------------------------
// Shows the file read-only and word-wrapped under title; returns once the viewer is closed
// (by "OK" or the window manager, either of which destroys it). `displaybox` names it
// while it is open.
void displayTextFile(const char *title, const char *path);
void displayTextFile_ok(GtkWidget *widget, gpointer data);
void displayAbout();
void displayAbout_ok(GtkWidget *widget, gpointer data);

// Turns bytes read in pieces into valid UTF-8: a character split between two pieces comes
// out whole, and each byte that is not part of a valid character (NUL too) becomes U+FFFD.
class Utf8Sanitizer {
  public:
    std::string feed(const char *data, std::size_t length);
    // The end of the input: bytes of an unfinished character are replaced.
    std::string finish();

  private:
    std::string take(bool at_end);
    std::string pending_;
};

#endif
