#include "watchdog.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"

#include <cstdio>

namespace {

struct GridSource {
    GSource base;
    gint64 period;
    gint64 next;
    bool was_idle;
    GridWanted wanted;
    GridTick tick;
};

gint64 nextGridPoint(gint64 now, gint64 period) {
    const gint64 origin = gridOrigin();
    if (now < origin)
        return origin;
    return origin + ((now - origin) / period + 1) * period;
}

gboolean gridPrepare(GSource *source, gint *timeout) {
    auto *grid = reinterpret_cast<GridSource *>(source);
    if (grid->wanted && !grid->wanted()) {
        grid->was_idle = true;
        *timeout = -1;
        return FALSE;
    }
    const gint64 now = g_source_get_time(source);
    if (grid->was_idle) {
        // Back from idle: the ideal free-running timer's next tick is the next grid point.
        grid->was_idle = false;
        grid->next = nextGridPoint(now, grid->period);
    }
    if (now >= grid->next) {
        *timeout = 0;
        return TRUE;
    }
    // Round up, so the loop never wakes before the grid point.
    *timeout = static_cast<gint>((grid->next - now + 999) / 1000);
    return FALSE;
}

gboolean gridCheck(GSource *source) {
    auto *grid = reinterpret_cast<GridSource *>(source);
    if (grid->was_idle || (grid->wanted && !grid->wanted()))
        return FALSE;
    return g_source_get_time(source) >= grid->next;
}

gboolean gridDispatch(GSource *source, GSourceFunc, gpointer) {
    auto *grid = reinterpret_cast<GridSource *>(source);
    grid->next = nextGridPoint(g_get_monotonic_time(), grid->period);
    return grid->tick();
}

GSourceFuncs grid_funcs = {gridPrepare, gridCheck, gridDispatch, nullptr, nullptr, nullptr};

bool watchdogArmed() {
    return WATCHDOG != 0;
}

gboolean runTimeout(gpointer) {
    watchdogTimeout();
    return FALSE;
}

} // namespace

gint64 gridOrigin() {
    static const gint64 origin = g_get_monotonic_time();
    return origin;
}

guint addGridSource(gint64 period_us, GridTick tick, GridWanted wanted) {
    GSource *source = g_source_new(&grid_funcs, sizeof(GridSource));
    auto *grid = reinterpret_cast<GridSource *>(source);
    grid->period = period_us;
    grid->next = nextGridPoint(g_get_monotonic_time(), period_us);
    grid->was_idle = false;
    grid->wanted = wanted;
    grid->tick = tick;
    g_source_set_priority(source, G_PRIORITY_HIGH);
    const guint tag = g_source_attach(source, nullptr);
    g_source_unref(source); // the main context keeps it alive until it is removed
    return tag;
}

void configureWatchdog() {
    static guint tag = 0;
    if (tag == 0)
        tag = addGridSource(WATCHDOG_TICK_US, handleWatchdog, watchdogArmed);
}

void startWatchdog() {
    WT = 0;
    WATCHDOG = 1;
}

void stopWatchdog() {
    WT = 0;
    WATCHDOG = 0;
}

gboolean handleWatchdog() {
    if (!WATCHDOG)
        return TRUE;
    if (++WT < WATCHDOG_LIMIT)
        return TRUE;
    stopWatchdog();
    g_idle_add_full(G_PRIORITY_HIGH, runTimeout, nullptr, nullptr);
    return TRUE;
}

void watchdogTimeout() {
    std::puts("Timed out!");
    std::fflush(stdout);
    showError("Communication time-out detected!\n\nPossible conditions:\n1.  I2C clock line (SCL) "
              "is low (clock-stretch in progress)\n2.  Adapter not responding\n\nCheck I2C "
              "pull-ups, slave device, cables, power, adapter type, serial port, etc.");
    if (getButtonMode() == 1)
        gui_close_success();
    setStatus("Timed out.  Check pull-ups, slave device, cables, power, adapter type, serial "
              "port, etc.");
}
