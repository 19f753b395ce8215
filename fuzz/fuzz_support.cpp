#include "fuzz_support.h"

#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "watchdog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

// The adapter needs a 20 ms pause after each reset command; a harness talks to no adapter,
// and every "/CCC" reply would otherwise cost it that pause.
extern "C" int usleep(useconds_t) {
    return 0;
}

namespace {

DialogHook dialog_hook = nullptr;
constexpr const char *ANSWERED = "sendral-fuzz-answered";

// Visible dialogs (other than the main window) not answered yet, oldest first.
std::vector<GtkWidget *> unansweredDialogs() {
    std::vector<GtkWidget *> found;
    GList *all = gtk_window_list_toplevels();
    for (GList *l = all; l; l = l->next) {
        GtkWidget *w = GTK_WIDGET(l->data);
        if (w != window && GTK_IS_DIALOG(w) && GTK_WIDGET_VISIBLE(w) &&
            !g_object_get_data(G_OBJECT(w), ANSWERED))
            found.push_back(w);
    }
    g_list_free(all);
    return found;
}

// A source that is ready exactly while a dialog waits for an answer. Its priority is above
// every timer of the program, so a dialog's nested loop runs nothing else before the answer
// and the harness stays deterministic.
gboolean answerPrepare(GSource *, gint *timeout) {
    *timeout = -1;
    return !unansweredDialogs().empty();
}

gboolean answerCheck(GSource *) {
    return !unansweredDialogs().empty();
}

gboolean answerDispatch(GSource *, GSourceFunc, gpointer) {
    for (GtkWidget *dialog : unansweredDialogs()) {
        g_object_set_data(G_OBJECT(dialog), ANSWERED, GINT_TO_POINTER(1));
        g_object_ref(dialog);
        if (dialog_hook)
            dialog_hook(dialog);
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_IS_MESSAGE_DIALOG(dialog)
                                                    ? GTK_RESPONSE_OK
                                                    : GTK_RESPONSE_DELETE_EVENT);
        g_object_unref(dialog);
    }
    return TRUE;
}

GSourceFuncs answer_funcs = {answerPrepare, answerCheck, answerDispatch, nullptr, nullptr, nullptr};

void installAnswerer() {
    GSource *source = g_source_new(&answer_funcs, sizeof(GSource));
    g_source_set_priority(source, G_PRIORITY_HIGH - 100);
    // The hook may make the program open another dialog, whose loop needs this source too.
    g_source_set_can_recurse(source, TRUE);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

// A toolkit warning (bad UTF-8, a failed assertion) is a finding: abort, which libFuzzer
// reports with the input, where GLib's own fatal warnings raise a trap that it does not.
void failOnWarning(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer) {
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        fuzzFail("no toolkit warning", domain ? domain : "", 0, message ? message : "");
    g_log_default_handler(domain, level, message, nullptr);
}

} // namespace

void fuzzBuildWindow() {
    static bool built = false;
    if (built)
        return;
    built = true;
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    static char arg0[] = "sendral-fuzz";
    static char *args[] = {arg0, nullptr};
    int argc = 1;
    char **argv = args;
    buildMainWindow(&argc, &argv);
    // Start-up may warn about themes or fonts; from here on any warning is the program's.
    g_log_set_default_handler(failOnWarning, nullptr);
    installAnswerer();
}

void setDialogHook(DialogHook hook) {
    dialog_hook = hook;
}

void settleMainLoop() {
    ALLOW_SEND = 0;
    SEND_DATA = 0;
    DO_ROW_RESET = 0;
    stopWatchdog();
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

RowText readRow(int n) {
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(MODEL, &iter, nullptr, n - 1))
        fuzzFail("row exists", __FILE__, __LINE__, std::to_string(n));
    return readStoredRow(n);
}

void putRow(int n, const RowText &row) {
    const RowText now = readRow(n);
    if (now.address == row.address && now.rw == row.rw && now.data == row.data &&
        now.stop == row.stop && now.delay == row.delay)
        return;
    selectRowNumber(n);
    setRow(n, row.address.c_str(), row.rw.c_str(), row.data.c_str(), row.stop ? 1 : 0,
           static_cast<int>(row.delay));
}

void fuzzFail(const char *what, const char *file, int line, const std::string &detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    if (!detail.empty())
        std::fprintf(stderr, "  %s\n", detail.c_str());
    std::fflush(stderr);
    std::abort();
}
