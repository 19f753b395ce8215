// Helpers shared by the program's GUI suites: the main window built once per process, the
// main loop run until a condition holds, dialogs driven from inside their own nested loops,
// standard output captured, rows as short texts, and an open link to the simulator.
#ifndef SENDRAL_TEST_SUPPORT_H
#define SENDRAL_TEST_SUPPORT_H

#include "gui_callbacks.h"
#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"
#include "Tavro.h"

#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Builds the main window (without running gtk_main) and starts the watchdog's tick.
void ensureMainWindow();
// Runs the main loop for about ms, or until pred() holds (false after timeout_ms).
void pump(int ms);
bool pumpUntil(const std::function<bool()> &pred, int timeout_ms = 5000);

// The visible dialogs other than the main window, newest last.
std::vector<GtkWidget *> openDialogs();
// The button labelled label (or the stock button of that name) inside widget, or nullptr;
// and a click on it.
GtkWidget *findButton(GtkWidget *widget, const char *label);
bool clickButton(GtkWidget *widget, const char *label);
// Once a dialog is open (polled from the main loop, so also inside gtk_dialog_run's nested
// loop), calls action with it; the action normally closes it.
void whenDialogOpens(std::function<void(GtkWidget *)> action);
// The window manager's close of a window.
void closeByWindowManager(GtkWidget *window);

// Closes every message box as soon as it appears, remembering their texts.
class ErrorBoxCloser {
  public:
    ErrorBoxCloser();
    ~ErrorBoxCloser();
    const std::vector<std::string> &texts() const { return texts_; }

  private:
    guint source_;
    std::vector<std::string> texts_;
};

// Redirects standard output to a file for its lifetime; counts what was written.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    int count(const std::string &needle) const;

  private:
    int saved_;
    std::string path_;
};

// A GLib string as a std::string, freed; a file's bytes, or "(none)".
std::string taken(gchar *text);
std::string readFile(const std::string &path);
std::string statusText();
std::string windowTitle();
// Row n as "number|address|direction|data|stop|delay".
std::string row(int n);
// Writes a message into row n (delay n unless given) and counts the rows up to n as filled.
void putRow(int n, const char *address, const char *rw, const char *data, int stop = 1,
            int delay = -1);
void selectRow(int n);
// The row selected in the list view, 0 for none.
int highlightedRow();

// A simulated adapter on a pseudo-terminal, pumped by its own thread, chosen in the window.
struct SimLink {
    tavrosim::PtySimulator sim;
    explicit SimLink(tavrosim::Variant variant = tavrosim::Variant::Solx,
                     int left_at = tavrosim::kResetRate);
    // Presses Open Link and waits for the link to count as open; the log is then cleared.
    bool open();
    bool close();
    // The commands the adapter received since the last clearing, in order.
    std::vector<std::string> wire();
};

#endif
