// The command-line syntax of i2c-tools as tavro-i2c reads it, one parser for every subcommand,
// and the text it prints in i2c-tools' formats. Pure: no descriptors, no state.
#ifndef TAVRO_I2C_SYNTAX_H
#define TAVRO_I2C_SYNTAX_H

#include "i2c_message.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// 7-bit addresses: the regular range, and the last of all (with -a).
constexpr int I2C_FIRST_REGULAR = 0x08;
constexpr int I2C_LAST_REGULAR = 0x77;
constexpr int I2C_LAST_ADDRESS = 0x7f;

// A whole argument as a number in C notation (0x1f, 037, 31), as strtol with base 0 reads
// it, but with no sign or blanks; nullopt for anything else or a value above limit.
std::optional<long> parseNumber(const std::string &text, long limit);

// A chip address: a number in 0x08-0x77, or 0x00-0x7f with all_addresses. On bad input
// nullopt and error says what is wrong, naming the argument.
std::optional<int> parseChipAddress(const std::string &text, bool all_addresses,
                                    std::string &error);

// A mode argument: one of the letters in allowed, then "p" for PEC where pec_allowed holds
// it (the letters that may carry it). nullopt for anything else.
struct I2cMode {
    char letter = 'b';
    bool pec = false;
};
std::optional<I2cMode> parseMode(const std::string &text, const std::string &allowed,
                                 const std::string &pec_allowed);

// i2cdump's "-r FIRST-LAST": two numbers up to 0xff joined by "-", FIRST <= LAST.
std::optional<std::pair<int, int>> parseRegisterRange(const std::string &text);

struct DescribedMessage : I2cMessage {
    std::string desc; // as given, to name the message
};

// Reads i2ctransfer's "DESC [DATA] [DESC [DATA]]..." arguments: DESC is {r|w}LENGTH[@ADDRESS],
// the address carrying over to later messages; a write's bytes follow it, the last given
// one with an optional suffix that fills the message (= same, + up, - down, p pseudo-random).
// Addresses lie in 0x08-0x77, or 0x00-0x7f with all_addresses; lengths in 0 to
// TAVRO_MAX_MESSAGE_BYTES. On bad input returns no messages and sets error to what is wrong,
// naming the argument.
std::vector<DescribedMessage> parseMessages(const std::vector<std::string> &args,
                                            bool all_addresses, std::string &error);

// i2cdetect's grid: the header line, the start of the row holding address row ("50: "), and
// the cell of one address: the address where a device answered, "--" where none did, blank
// outside the range probed. Each cell ends in a blank and each row in a newline.
enum class GridCell { Blank, Absent, Present };
std::string gridHeader();
std::string gridRowStart(int row);
std::string gridCell(int address, GridCell cell);

// i2cdetect -F's list for this adapter, headed by the port where i2cdetect names the bus.
std::string functionalityList(const std::string &port);

// i2ctransfer's line for the bytes of a read, "0x12 0x34\n"; empty for no bytes.
std::string readBytesLine(const std::vector<std::uint8_t> &bytes);
// i2ctransfer's line for a message in its confirmation and with -v: "msg 0: addr 0x50, write,
// len 1, buf 0x64".
std::string messageLine(int index, const I2cMessage &message);

// i2cdump's tables. cells holds per register its byte (or, for words, the word at that
// register), or -1 where it could not be read; registers outside first-last are left blank.
// Bytes: 16 to a row with the text column; words (mode w): 8 to a row.
constexpr int DUMP_UNREAD = -1;
using DumpCells = std::array<int, 256>;
std::string dumpByteHeader();
std::string dumpByteRow(int row, const DumpCells &cells, int first, int last);
std::string dumpWordHeader();
std::string dumpWordRow(int row, const DumpCells &cells, int first, int last);

#endif
