// What every tavro-i2c subcommand shares: its options, the usage error, i2c-tools' question,
// and the bus opened and closed around the work with the exit status that follows.
#ifndef TAVRO_I2C_DOOR_H
#define TAVRO_I2C_DOOR_H

#include "tavro_bus.h"

#include <string>
#include <vector>

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct Options {
    std::string command;
    std::string port;
    LinkSettings link;
    bool yes = false;
    bool all_addresses = false;
    char probe = 'a';              // detect: a (i2cdetect's choice), q (empty write), r (read)
    bool functionality = false;    // detect -F
    bool verbose = false;          // transfer -v
    std::string mask;              // set -m
    bool readback = false;         // set -r
    std::string range;             // dump -r
    std::string map;               // get, set and dump --map
    std::vector<std::string> args; // what follows the options
};

// The name of the adapter variant: "Tavro/Solx".
const char *variantName(Variant variant);

// A usage error: the message and a hint on standard error; returns EXIT_USAGE.
int usageError(const std::string &message);

// Unless -y was given, shows i2c-tools' warning and the plan on standard error and asks;
// false (after saying so) when the user declines. yes_by_default: an empty answer goes on.
bool userAgrees(const Options &options, const std::string &plan, bool yes_by_default);

// i2c-tools' "Continue?" alone; false (after saying so) when the user declines.
bool askToContinue(bool yes_by_default);

// Whether the port can be opened as a serial port, before anything is asked or sent: 0 when
// it can (the port is closed again), else the exit status after saying why (EXIT_USAGE for a
// path that is no terminal).
int checkPort(const Options &options);

// Opens the link on the port; false after saying why, with status set.
bool openBus(TavroBus &bus, const Options &options, int &status);

// Closes the link and gives the exit status: status as it stands, unless the close failed or
// a stop signal ended the work.
int closeBus(TavroBus &bus, const Options &options, int status);

// The exit status for a failure: a stop signal's, or failed.
int failureStatus(const BusResult &result, int failed);

// Reports a failure on standard error: "tavro-i2c: WHAT: DETAIL", unless a stop signal
// caused it (closeBus reports that).
void reportFailure(const std::string &what, const BusResult &result);

// The subcommands; each returns the exit status.
int runDetect(const Options &options);
int runTransfer(const Options &options);
int runGet(const Options &options);
int runSet(const Options &options);
int runDump(const Options &options);

#endif
