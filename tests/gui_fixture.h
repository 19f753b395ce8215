// Helpers shared by the program's test suites: the main window built once per process,
// main-loop pumping, dialogs driven from callbacks, and standard output captured.
#ifndef SENDRAL_TEST_GUI_FIXTURE_H
#define SENDRAL_TEST_GUI_FIXTURE_H

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

// Builds the main window (without running gtk_main) the first time it is called.
void ensureMainWindow();

// Runs main-loop iterations for about ms milliseconds.
void pump(int ms);
// Runs the main loop until pred() holds or timeout_ms passes; returns pred().
bool pumpUntil(const std::function<bool()> &pred, int timeout_ms);

// The visible dialogs other than the main window, newest last.
std::vector<GtkWidget *> openDialogs();
// The text of a message dialog.
std::string dialogText(GtkWidget *dialog);
// Clicks the button labelled label inside widget; false when there is none.
bool clickButton(GtkWidget *widget, const char *label);
// Once a dialog is open (polled every 10 ms from the main loop, so it also works inside
// gtk_dialog_run's nested loop), calls action with it; the action normally closes it.
void whenDialogOpens(std::function<void(GtkWidget *)> action);
// Closes every error box as soon as it appears, remembering their texts.
class ErrorBoxCloser {
  public:
    ErrorBoxCloser();
    ~ErrorBoxCloser();
    const std::vector<std::string> &texts() const { return texts_; }

  private:
    static gboolean poll(gpointer self);
    guint source_;
    std::vector<std::string> texts_;
};

// Redirects standard output to a file for its lifetime; text() returns what was written.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text() const;
    int count(const std::string &needle) const;

  private:
    int saved_;
    std::string path_;
};

#endif
