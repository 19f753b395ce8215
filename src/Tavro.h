// The adapter's command set: every command the program sends, and the I2C address check.
// Each Tavro_* operation prints its trace line ("> text") on standard output and writes the
// command's bytes to the open serial line; none waits for a reply (callers arm the watchdog).
#ifndef SENDRAL_TAVRO_H
#define SENDRAL_TAVRO_H

#include "tavro_commands.h"

// Prints one trace line, "> text", and flushes it.
void printAction(const char *text);
// Prints the command's traces, writes its pieces in order, prints its error line, and
// pauses after a reset. Results of the writes are not reported: a lost command shows as
// the watchdog's time-out.
void sendCommand(const TavroCommand &command);

void Tavro_reset();
void Tavro_setFormat(int format);
void Tavro_setFlow(int flow);
void Tavro_setAddress(const char *address);
void Tavro_selectSlave(const char *address);
void Tavro_open();
void Tavro_close();
void Tavro_baud(int rate);
void Tavro_clock(int khz);
void Tavro_IntMonitor(int on);
void Tavro_QueryIntMon();
void Tavro_MTx(const char *data, int stop);
void Tavro_MRx(int count, int stop);
void Tavro_STx(const char *data);

#endif
