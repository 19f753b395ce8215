// Shared by the fuzz targets: the main window built once, an answerer for every dialog the
// program opens, row access and a check that aborts (so libFuzzer and the replays see it).
#ifndef SENDRAL_FUZZ_SUPPORT_H
#define SENDRAL_FUZZ_SUPPORT_H

#include "list_file.h"

#include <gtk/gtk.h>

#include <cstddef>
#include <cstdint>
#include <string>

// libFuzzer's entry points; the replay program calls the same two.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// Sends the program's standard output (command traces, beeps) to /dev/null, builds the main
// window, turns GLib criticals and warnings into aborts and installs the dialog answerer.
void fuzzBuildWindow();

// Called with each dialog just before the answerer answers it, inside the dialog's own
// nested main loop: the moment at which the real program would go on reading the port.
using DialogHook = void (*)(GtkWidget *dialog);
void setDialogHook(DialogHook hook);

// Ends whatever the input set going (a run, the watchdog) and runs the main loop until it is
// idle: the window redraws what changed and the toolkit takes its X events, which would
// otherwise pile up from one input to the next.
void settleMainLoop();

// One row of the list store as texts.
using RowText = ListMessage;
RowText readRow(int n);
// Writes row n (through setRow, moving the cursor there) only when it differs, so that a
// harness can restore a list cheaply.
void putRow(int n, const RowText &row);

[[noreturn]] void fuzzFail(const char *what, const char *file, int line, const std::string &detail);

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFail(#condition, __FILE__, __LINE__, (detail));                                    \
    } while (0)

#endif
