// Main-loop callbacks: opening and closing the link, sending the list, the option toggles,
// bus events and /INT, the file commands, the menu callbacks and the list keys.
#ifndef SENDRAL_GUI_CALLBACKS_H
#define SENDRAL_GUI_CALLBACKS_H

#include <gtk/gtk.h>

#include "list_file.h"

#include <vector>

// ---- Link -------------------------------------------------------------------------------
// Open Link: opens the chosen port (releasing a port an earlier opening left open),
// resets the adapter at 115200, 57600 and 19200, then sends the clock and bit-rate
// commands (variants 1 and 2) or goes on at once (variant 0).
void gui_open(GtkWidget *widget, gpointer data);
// The bit-rate reply: the chosen rate, line format, own address, monitor mode, bus open.
void gui_baud_success();
// The bus-open reply: the link is open.
void gui_open_success();
// Close Link, and the adapter's refusal of a command: sends the close command.
void gui_close(GtkWidget *widget, gpointer data);
// The close reply, or a time-out while open: removes the watch, resets, closes the port.
void gui_close_success();
// The port hung up or failed (adapter unplugged): watch removed, port closed, controls
// closed, and the user told in an error box.
void gui_link_lost();

// ---- Sending ----------------------------------------------------------------------------
void gui_send(GtkWidget *widget, gpointer data);
// Stop, and every error box: ends a run, rewinds at the next due tick, forgets a pending
// /INT.
void gui_stop(GtkWidget *widget, gpointer data);
// The 2 ms pacing tick; always returns TRUE.
gboolean gui_send_message(gpointer data);
void gui_send_start();
void gui_send_stop();
// A completion reply ("MTC", "MRC") with the text after its code: the cursor row is done.
// Only a read reply ("MRC", read_reply) on a read row writes the bytes read into it.
void gui_send_success(const char *text, bool read_reply);
// Moves on after a message that failed (NAK, arbitration loss).
void gui_send_failure();

// ---- Options and variant ------------------------------------------------------------------
void gui_autorepeat(GtkWidget *widget, gpointer data);
void gui_beepon_busy(GtkWidget *widget, gpointer data);
void gui_beepon_arbloss(GtkWidget *widget, gpointer data);
void gui_beepon_nak(GtkWidget *widget, gpointer data);
void gui_beepon_int(GtkWidget *widget, gpointer data);
void gui_stopon_busy(GtkWidget *widget, gpointer data);
void gui_stopon_arbloss(GtkWidget *widget, gpointer data);
void gui_stopon_nak(GtkWidget *widget, gpointer data);
// Flips the monitor option and sends the monitor command at once.
void gui_intmonitor(GtkWidget *widget, gpointer data);
void gui_sendonint(GtkWidget *widget, gpointer data);
void gui_pickSol(GtkWidget *widget, gpointer data);
void gui_pickSolx(GtkWidget *widget, gpointer data);
void gui_pickDyn(GtkWidget *widget, gpointer data);

// ---- Bus events and /INT ----------------------------------------------------------------
void gui_handle_nak();
void gui_handle_busy();
void gui_handle_arbloss();
void gui_handle_int();
void gui_handle_intrelease();

// ---- File commands ----------------------------------------------------------------------
// Menu callbacks take the item factory's arguments (data, action, widget) and ignore them.
void gui_file_new(gpointer data, guint action, GtkWidget *widget);
void gui_file_open(gpointer data, guint action, GtkWidget *widget);
void gui_file_save(gpointer data, guint action, GtkWidget *widget);
void gui_file_saveas(gpointer data, guint action, GtkWidget *widget);
void clearCurrentFilename();
// Erases the list and loads the list file at path. A file that cannot be opened or read,
// or is not a list, leaves the list empty and `current_filename` empty (so a later Save List
// asks for a name) and says so in an error box; the title is then unchanged.
void gui_file_open_success(const char *path);
// Makes path the current file, shows its base name in the title and saves with the question.
void gui_file_save_as_success(const char *path);
// Saves the list into `current_filename` (saveListFile), appending ".iml" when its fourth
// character from the end is not "."; ask (non-zero) puts the overwrite question for a file
// that can be opened for reading. A failure is told in an error box.
void gui_file_save_success(int ask);

// ---- List file ------------------------------------------------------------------------
// The messages in rows 1 to filled_rows, read without moving the row cursor.
std::vector<ListMessage> listMessages();

// ---- Options and Help menus, Exit --------------------------------------------------------
void gui_baud(gpointer data, guint action, GtkWidget *widget);
void gui_clock(gpointer data, guint action, GtkWidget *widget);
void gui_help_readme(gpointer data, guint action, GtkWidget *widget);
void gui_help_revisions(gpointer data, guint action, GtkWidget *widget);
void gui_help_quickstart(gpointer data, guint action, GtkWidget *widget);
void gui_help_about(gpointer data, guint action, GtkWidget *widget);
void gui_menu_exit(gpointer data, guint action, GtkWidget *widget);

// ---- List keys --------------------------------------------------------------------------
// Insert and Delete (and their keypad keys), on release, only while not sending.
gboolean gui_keypress(GtkWidget *widget, GdkEventKey *event, gpointer data);

#endif
