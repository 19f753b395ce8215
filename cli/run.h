// tavro-i2c run: a message list saved from the window, sent from the shell as the window's
// Send sends it, with a line and a log record per transfer.
#ifndef TAVRO_I2C_RUN_H
#define TAVRO_I2C_RUN_H

#include "door.h"

#include <string>
#include <vector>

// run's own options; the link options (-p, -d, -b, -c, -y) are the other commands'.
struct RunOptions {
    int count = 0; // --once is 1, --count N is N; 0 when neither was given
    bool forever = false;
    bool on_int = false;
    bool strict = false; // a list line skipped or read unexpectedly refuses the run
    bool stop_on_nak = false;
    bool stop_on_busy = false;
    bool stop_on_arb = false;
    std::string log;  // "-": standard output, instead of the lines
    std::string save; // where to save the list with the bytes read
};

// Takes run's options out of args (the rest stays, in order, for the link options' parser).
// Empty when they are sound, else the usage error in words.
std::string takeRunOptions(std::vector<char *> &args, RunOptions &options);

// Runs the list and returns the exit status: 0 when every transfer was acknowledged, 1 when
// one was not or the adapter failed, 2 on a usage error (nothing sent), 128 + the signal
// that stopped it.
int runListCommand(const Options &link, const RunOptions &options);

// The lines run adds to the usage text.
extern const char *const RUN_USAGE;
extern const char *const RUN_HELP;

#endif
