// The bytes of every adapter command, built without touching the line, and the I2C address
// check. Pure: no toolkit; the program and tavro-i2c share it.
#ifndef SENDRAL_TAVRO_COMMANDS_H
#define SENDRAL_TAVRO_COMMANDS_H

#include <array>
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
// What the bit-rate ("/b") and clock ("/K") commands choose from, in the order of their digits.
constexpr std::array<int, 3> TAVRO_RATES = {19200, 57600, 115200};
constexpr std::array<int, 4> TAVRO_CLOCKS_KHZ = {23, 86, 100, 400};

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

// Returns 1 when the first two characters (fewer if the text is shorter) are hexadecimal
// digits whose number is even and at most 0xFE, else 0.
int validateAddress(const char *address);
// The words for a message whose slave address fails the check.
extern const char *const BAD_ADDRESS_TEXT;

#endif
