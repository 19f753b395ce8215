#include "Tavro.h"

#include "serial.h"

#include <cstdio>
#include <unistd.h>

void printAction(const char *text) {
    std::printf("> %s\n", text);
    std::fflush(stdout);
}

void sendCommand(const TavroCommand &command) {
    for (const std::string &trace : command.traces)
        printAction(trace.c_str());
    for (const std::string &piece : command.pieces)
        writeSerial(piece.c_str());
    if (!command.error_line.empty()) {
        std::fputs(command.error_line.c_str(), stdout);
        std::fflush(stdout);
    }
    // The adapter needs the pause before it listens again, and the opening changes the
    // line's rate right after some resets.
    if (command.reset_pause)
        usleep(TAVRO_RESET_PAUSE_US);
}

void Tavro_reset() {
    sendCommand(buildReset());
}
void Tavro_setFormat(int format) {
    sendCommand(buildSetFormat(format));
}
void Tavro_setFlow(int flow) {
    sendCommand(buildSetFlow(flow));
}
void Tavro_setAddress(const char *address) {
    sendCommand(buildSetAddress(address));
}
void Tavro_selectSlave(const char *address) {
    sendCommand(buildSelectSlave(address));
}
void Tavro_open() {
    sendCommand(buildOpen());
}
void Tavro_close() {
    sendCommand(buildClose());
}
void Tavro_baud(int rate) {
    sendCommand(buildBaud(rate));
}
void Tavro_clock(int khz) {
    sendCommand(buildClock(khz));
}
void Tavro_IntMonitor(int on) {
    sendCommand(buildIntMonitor(on));
}
void Tavro_QueryIntMon() {
    sendCommand(buildQueryIntMon());
}
void Tavro_MTx(const char *data, int stop) {
    sendCommand(buildMTx(data, stop));
}
void Tavro_MRx(int count, int stop) {
    sendCommand(buildMRx(count, stop));
}
void Tavro_STx(const char *data) {
    sendCommand(buildSTx(data));
}
