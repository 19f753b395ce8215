#include "gui_fixture.h"

#include "gui_create.h"
#include "main.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void ensureMainWindow() {
    static bool built = false;
    if (built)
        return;
    built = true;
    static char arg0[] = "sendral-test";
    static char *args[] = {arg0, nullptr};
    int argc = 1;
    char **argv = args;
    buildMainWindow(&argc, &argv);
}

void pump(int ms) {
    const gint64 end = g_get_monotonic_time() + gint64(ms) * 1000;
    while (g_get_monotonic_time() < end) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(500);
    }
}

bool pumpUntil(const std::function<bool()> &pred, int timeout_ms) {
    const gint64 end = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    while (!pred()) {
        if (g_get_monotonic_time() >= end)
            return false;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(200);
    }
    return true;
}

std::vector<GtkWidget *> openDialogs() {
    std::vector<GtkWidget *> found;
    GList *all = gtk_window_list_toplevels();
    for (GList *l = all; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (w != window && GTK_IS_DIALOG(w) && GTK_WIDGET_VISIBLE(w))
            found.push_back(w);
    }
    g_list_free(all);
    return found;
}

std::string dialogText(GtkWidget *dialog) {
    gchar *text = nullptr;
    if (GTK_IS_MESSAGE_DIALOG(dialog))
        g_object_get(dialog, "text", &text, nullptr);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

namespace {

void findButton(GtkWidget *widget, gpointer data) {
    auto *search = static_cast<std::pair<const char *, GtkWidget *> *>(data);
    if (search->second)
        return;
    if (GTK_IS_BUTTON(widget)) {
        const gchar *label = gtk_button_get_label(GTK_BUTTON(widget));
        if (label && g_strcmp0(label, search->first) == 0) {
            search->second = widget;
            return;
        }
        // Stock buttons keep their mnemonic label ("gtk-ok") as the label text.
        if (label && g_str_has_prefix(label, "gtk-")) {
            std::string stock = std::string(label + 4);
            std::string wanted = search->first;
            for (auto &c : wanted)
                c = static_cast<char>(g_ascii_tolower(c));
            if (stock == wanted) {
                search->second = widget;
                return;
            }
        }
    }
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), findButton, data);
}

struct PendingAction {
    std::function<void(GtkWidget *)> action;
};

gboolean pollForDialog(gpointer data) {
    auto *pending = static_cast<PendingAction *>(data);
    auto dialogs = openDialogs();
    if (dialogs.empty())
        return TRUE;
    pending->action(dialogs.back());
    delete pending;
    return FALSE;
}

} // namespace

bool clickButton(GtkWidget *widget, const char *label) {
    std::pair<const char *, GtkWidget *> search{label, nullptr};
    findButton(widget, &search);
    if (!search.second)
        return false;
    gtk_button_clicked(GTK_BUTTON(search.second));
    return true;
}

void whenDialogOpens(std::function<void(GtkWidget *)> action) {
    g_timeout_add(10, pollForDialog, new PendingAction{std::move(action)});
}

ErrorBoxCloser::ErrorBoxCloser() : source_(g_timeout_add(10, poll, this)) {}

ErrorBoxCloser::~ErrorBoxCloser() {
    g_source_remove(source_);
}

gboolean ErrorBoxCloser::poll(gpointer self) {
    auto *closer = static_cast<ErrorBoxCloser *>(self);
    for (GtkWidget *dialog : openDialogs()) {
        if (!GTK_IS_MESSAGE_DIALOG(dialog))
            continue;
        closer->texts_.push_back(dialogText(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    }
    return TRUE;
}

StdoutCapture::StdoutCapture() {
    char name[] = "/tmp/sendral-stdout-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    unlink(path_.c_str());
}

std::string StdoutCapture::text() const {
    std::fflush(stdout);
    std::string result;
    if (FILE *f = std::fopen(path_.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            result.append(buffer, n);
        std::fclose(f);
    }
    return result;
}

int StdoutCapture::count(const std::string &needle) const {
    const std::string all = text();
    int n = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos;
         at = all.find(needle, at + needle.size()))
        ++n;
    return n;
}
