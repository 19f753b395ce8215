#include "support.h"

#include <cstdio>
#include <unistd.h>

namespace {

// A message box's text.
std::string dialogText(GtkWidget *dialog) {
    gchar *text = nullptr;
    if (GTK_IS_MESSAGE_DIALOG(dialog))
        g_object_get(dialog, "text", &text, nullptr);
    return taken(text);
}

// A dialog open for 10 s is one no test expected: it would wait for a click until the test is
// killed. It is closed, and the test fails saying what it showed.
gboolean closeForgottenDialogs(gpointer) {
    const gint64 now = g_get_monotonic_time();
    for (GtkWidget *dialog : openDialogs()) {
        auto *since = static_cast<gint64 *>(g_object_get_data(G_OBJECT(dialog), "open-since"));
        if (since == nullptr)
            g_object_set_data_full(G_OBJECT(dialog), "open-since", new gint64(now),
                                   [](gpointer p) { delete static_cast<gint64 *>(p); });
        if (since == nullptr || now - *since < 10 * G_USEC_PER_SEC)
            continue;
        ADD_FAILURE() << "a dialog nobody closed: " << gtk_window_get_title(GTK_WINDOW(dialog))
                      << " " << dialogText(dialog);
        if (GTK_IS_MESSAGE_DIALOG(dialog))
            gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        else
            gtk_widget_destroy(dialog);
    }
    return TRUE;
}

} // namespace

void ensureMainWindow() {
    static char arg0[] = "sendral-test";
    static char *args[] = {arg0, nullptr};
    static int argc = 1;
    static char **argv = args;
    static const bool built = (configureWatchdog(), buildMainWindow(&argc, &argv),
                               g_timeout_add(100, closeForgottenDialogs, nullptr), true);
    (void)built;
}

bool pumpUntil(const std::function<bool()> &pred, int timeout_ms) {
    const gint64 end = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    for (; !pred(); g_usleep(200)) {
        if (g_get_monotonic_time() >= end)
            return false;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    return true;
}

void pump(int ms) {
    pumpUntil([] { return false; }, ms);
}

std::string taken(gchar *text) {
    std::string copy = text ? text : "";
    g_free(text);
    return copy;
}

std::vector<GtkWidget *> openDialogs() {
    std::vector<GtkWidget *> found;
    GList *all = gtk_window_list_toplevels();
    for (GList *l = all; l; l = l->next)
        if (l->data != window && GTK_IS_DIALOG(l->data) && GTK_WIDGET_VISIBLE(l->data))
            found.push_back(GTK_WIDGET(l->data));
    g_list_free(all);
    return found;
}

GtkWidget *findButton(GtkWidget *widget, const char *label) {
    const gchar *text = GTK_IS_BUTTON(widget) ? gtk_button_get_label(GTK_BUTTON(widget)) : nullptr;
    if (text && (g_strcmp0(label, text) == 0 ||
                 (g_str_has_prefix(text, "gtk-") && taken(g_ascii_strdown(label, -1)) == text + 4)))
        return widget; // a stock button keeps "gtk-name" as its label
    GtkWidget *found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList *l = children; l && !found; l = l->next)
            found = findButton(GTK_WIDGET(l->data), label);
        g_list_free(children);
    }
    return found;
}

bool clickButton(GtkWidget *widget, const char *label) {
    GtkWidget *button = findButton(widget, label);
    if (button)
        gtk_button_clicked(GTK_BUTTON(button));
    return button != nullptr;
}

void whenDialogOpens(std::function<void(GtkWidget *)> action) {
    g_timeout_add(
        10,
        [](gpointer data) -> gboolean {
            auto *act = static_cast<std::function<void(GtkWidget *)> *>(data);
            const auto dialogs = openDialogs();
            if (dialogs.empty())
                return TRUE;
            (*act)(dialogs.back());
            delete act;
            return FALSE;
        },
        new std::function<void(GtkWidget *)>(std::move(action)));
}

void closeByWindowManager(GtkWidget *widget) {
    GdkEvent *event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(widget->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

ErrorBoxCloser::ErrorBoxCloser()
    : source_(g_timeout_add(
          10,
          [](gpointer texts) -> gboolean {
              for (GtkWidget *dialog : openDialogs())
                  if (GTK_IS_MESSAGE_DIALOG(dialog)) {
                      static_cast<std::vector<std::string> *>(texts)->push_back(dialogText(dialog));
                      gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
                  }
              return TRUE;
          },
          &texts_)) {}

ErrorBoxCloser::~ErrorBoxCloser() {
    g_source_remove(source_);
}

StdoutCapture::StdoutCapture() : saved_(dup(STDOUT_FILENO)) {
    char name[] = "/tmp/sendral-stdout-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    std::fflush(stdout);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    unlink(path_.c_str());
}

int StdoutCapture::count(const std::string &needle) const {
    std::fflush(stdout);
    const std::string all = readFile(path_);
    int n = 0;
    for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
        ++n;
    return n;
}

std::string readFile(const std::string &path) {
    gchar *text = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &text, &length, nullptr))
        return "(none)";
    std::string bytes(text, length);
    g_free(text);
    return bytes;
}

std::string statusText() {
    return gtk_entry_get_text(GTK_ENTRY(status));
}

std::string windowTitle() {
    return gtk_window_get_title(GTK_WINDOW(window));
}

std::string row(int n) {
    const ListMessage r = readStoredRow(n);
    return std::to_string(n) + "|" + r.address + "|" + r.rw + "|" + r.data + "|" +
           std::to_string(r.stop) + "|" + std::to_string(r.delay);
}

void putRow(int n, const char *address, const char *rw, const char *data, int stop, int delay) {
    selectRowNumber(n);
    setRow(n, address, rw, data, stop, delay < 0 ? n : delay);
    setFilledCount(std::max(getFilledCount(), n));
}

void selectRow(int n) {
    GtkTreePath *path = gtk_tree_path_new_from_indices(n - 1, -1);
    gtk_tree_selection_select_path(sel, path);
    gtk_tree_path_free(path);
}

int highlightedRow() {
    GtkTreeIter iter;
    guint number = 0;
    if (gtk_tree_selection_get_selected(sel, nullptr, &iter))
        gtk_tree_model_get(MODEL, &iter, COL_NUM, &number, -1);
    return int(number);
}

SimLink::SimLink(tavrosim::Variant variant, int left_at) : sim(variant, left_at) {
    ensureMainWindow();
    sim.start();
    sim.startThread();
    GtkWidget *radio[] = {rb1, rb2, rb3};
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio[int(variant)]), TRUE);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), sim.slavePath().c_str());
}

bool SimLink::open() {
    gui_open(nullptr, nullptr);
    const bool opened = pumpUntil([] { return getButtonMode() == 1; });
    sim.clearReceived();
    return opened;
}

bool SimLink::close() {
    gui_close(nullptr, nullptr);
    return pumpUntil([] { return getButtonMode() == 0 && getPortDescriptor() == -1; });
}

std::vector<std::string> SimLink::wire() {
    std::vector<std::string> out;
    for (const auto &r : sim.received())
        out.push_back(r.bytes);
    return out;
}
