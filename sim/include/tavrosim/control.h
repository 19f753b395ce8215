#pragma once

// Control commands for a running simulator, one per line, as typed on tavro-sim's standard
// input. tavro-sim's fault options are translated into the same commands.

#include "tavrosim/pty_simulator.h"

#include <string>
#include <string_view>

namespace tavrosim {

struct ControlResult {
    bool ok = true;      // false: unknown command or bad argument, and nothing was done
    bool quit = false;   // "quit" or "vanish" was run: the program should end
    std::string message; // one line for the user; "" when there is nothing to say
};

// Runs one command line on `sim`. Blank lines and lines starting with '#' do nothing.
ControlResult runControl(PtySimulator &sim, std::string_view line);

// The list of commands with their arguments, one per line, for help texts.
const char *controlHelp();

} // namespace tavrosim
