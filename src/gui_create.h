// Construction of the windows: the main window with its menu bar and list view, and the
// message editor with its row accessors. Also the program's GUI entry and quit.
#ifndef SENDRAL_GUI_CREATE_H
#define SENDRAL_GUI_CREATE_H

#include <gtk/gtk.h>

// Builds the main window and runs the main loop until handleClose; returns then.
int startGUI(int argc, char *argv[]);
// Ends the main loop (window close, "/File/Exit" and its Ctrl+Q, SIGTERM, SIGINT, SIGHUP),
// first giving the port's driver back the latency setting the link changed.
gboolean handleClose(GtkWidget *widget, GdkEvent *event, gpointer data);
// createGUI's steps up to the main loop: GTK initialised, the window built and shown, the
// pacing tick installed, no current file, variant 0, the list keys connected. Tests drive
// the window built by this without running gtk_main.
void buildMainWindow(int *argc, char ***argv);
// buildMainWindow, then gtk_main.
void createGUI(int argc, char *argv[]);
// The menu bar from the item-factory table; needs `window`, sets `item_factory`.
GtkWidget *get_menubar_menu();
// The list view with its six columns over a new 50-row store; sets `view` and `MODEL`.
GtkWidget *create_view_and_model();
// Packs child at the start of box with no padding, shows it and returns it.
GtkWidget *packShown(GtkWidget *box, GtkWidget *child, gboolean expand, gboolean fill);

// ---- Message editor ---------------------------------------------------------------------
// Opens the editor on the row at path and returns when it has been closed. Does nothing
// while a list is being sent; refuses (error box) a row beyond the first empty one.
void gui_openRow(GtkTreeView *treeview, GtkTreePath *path, GtkTreeViewColumn *column,
                 gpointer data);
// Reads the six columns of the row at path into the current_msg_* variables.
void getCellData(GtkTreePath *path);
// Writes columns 1 to 5 of the row at path from the new_msg_* variables.
void setCellData(GtkTreePath *path);
void editorOK(GtkWidget *widget, gpointer data);
gboolean editorCancel(GtkWidget *widget, gpointer data);
void editorToggleRead(GtkWidget *widget, gpointer data);
void editorToggleWrite(GtkWidget *widget, gpointer data);
void editorToggleStopOn(GtkWidget *widget, gpointer data);
void editorToggleStopOff(GtkWidget *widget, gpointer data);

#endif
