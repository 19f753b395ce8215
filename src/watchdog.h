// The reply watchdog, and the program's periodic tick sources.
//
// Ticks come from main-loop sources whose ticks fall on a fixed grid counted from program
// start: the next tick is the next grid point, however late the last one ran. A source
// asks for no wake-up at all while its `wanted` test says no tick could change anything;
// the tick that follows is then the next grid point after that test turns true.
#ifndef SENDRAL_WATCHDOG_H
#define SENDRAL_WATCHDOG_H

#include <glib.h>

constexpr gint64 WATCHDOG_TICK_US = 100000;
constexpr int WATCHDOG_LIMIT = 10;

using GridTick = gboolean (*)();
using GridWanted = bool (*)();

// Attaches a grid source with the given period to the default main context. tick runs on
// every grid point while wanted() (nullptr: always) is true; returning FALSE removes the
// source. Returns the source's tag.
guint addGridSource(gint64 period_us, GridTick tick, GridWanted wanted);
// The time the grids are counted from (monotonic microseconds, fixed at first use).
gint64 gridOrigin();

// Installs the 100 ms tick (handleWatchdog) before the window exists; it runs until exit.
void configureWatchdog();
// Arms the watchdog with a fresh count (also when it is armed already).
void startWatchdog();
// Disarms it and clears the count.
void stopWatchdog();
// One tick: counts while armed; on the tenth tick disarms and hands the time-out to a
// one-shot main-loop source of its own, so that ticks go on counting while the time-out's
// message box runs its nested loop.
gboolean handleWatchdog();
// The time-out's steps, run from that one-shot source: "Timed out!", the error box, the
// closing of an open link, the status text.
void watchdogTimeout();

#endif
