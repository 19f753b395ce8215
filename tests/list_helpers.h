// Helpers of the list and editor suites: rows read and written as short texts.
#ifndef SENDRAL_TEST_LIST_HELPERS_H
#define SENDRAL_TEST_LIST_HELPERS_H

#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"

#include <algorithm>
#include <string>
#include <vector>

// Row n as "number|address|direction|data|stop|delay".
inline std::string row(int n) {
    GtkTreeIter iter;
    gtk_tree_model_iter_nth_child(MODEL, &iter, nullptr, n - 1);
    guint num, delay;
    gboolean stop;
    gchar *address, *rw, *data;
    gtk_tree_model_get(MODEL, &iter, COL_NUM, &num, COL_ADDRESS, &address, COL_RW, &rw, COL_DATA,
                       &data, COL_STOP, &stop, COL_DELAY, &delay, -1);
    std::string text = std::to_string(num) + "|" + address + "|" + rw + "|" + data + "|" +
                       std::to_string(stop) + "|" + std::to_string(delay);
    g_free(address), g_free(rw), g_free(data);
    return text;
}

inline std::vector<std::string> rows() {
    std::vector<std::string> all;
    for (int n = 1; n <= LIST_ROWS; ++n)
        all.push_back(row(n));
    return all;
}

// Writes a message into row n (its delay is n) and counts it as filled.
inline void putRow(int n, const char *address, const char *rw, const char *data, int stop = 1) {
    selectRowNumber(n);
    setRow(n, address, rw, data, stop, n);
    setFilledCount(std::max(filled_rows, n));
}

inline void selectRow(int n) {
    GtkTreePath *path = gtk_tree_path_new_from_indices(n - 1, -1);
    gtk_tree_selection_select_path(sel, path);
    gtk_tree_path_free(path);
}

#endif
