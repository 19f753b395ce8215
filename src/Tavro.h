// The adapter's command set: every command the program sends, and the I2C address check.
// Each Tavro_* operation prints its trace line ("> text") on standard output and writes the
// command's bytes to the open serial line; none waits for a reply (callers arm the watchdog).
#ifndef SENDRAL_TAVRO_H
#define SENDRAL_TAVRO_H

#include <string>
#include <vector>

// What one command does, built without touching the line: the trace texts to print, the
// pieces to write (one writeSerial call each), an error line printed after the pieces, and
// whether the adapter needs its reset pause afterwards.
struct TavroCommand {
    std::vector<std::string> traces;
    std::vector<std::string> pieces;
    std::string error_line;
    bool reset_pause = false;
};

constexpr char TAVRO_DC2 = 18;
constexpr unsigned TAVRO_RESET_PAUSE_US = 20000;
constexpr int TAVRO_MAX_READ = 251;

// Pure builders, one per command; they are what the Tavro_* operations send.
TavroCommand buildReset();
TavroCommand buildSetFormat(int format);
TavroCommand buildSetFlow(int flow);
TavroCommand buildSetAddress(const std::string &address);
TavroCommand buildSelectSlave(const std::string &address);
TavroCommand buildOpen();
TavroCommand buildClose();
TavroCommand buildBaud(int rate);
TavroCommand buildClock(int khz);
TavroCommand buildIntMonitor(int on);
TavroCommand buildQueryIntMon();
TavroCommand buildMTx(const std::string &data, int stop);
TavroCommand buildMRx(int count, int stop);
TavroCommand buildSTx(const std::string &data);

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

// Returns 1 when the first two characters (fewer if the text is shorter) are hexadecimal
// digits whose number is even and at most 0xFE, else 0.
int validateAddress(const char *address);

#endif
