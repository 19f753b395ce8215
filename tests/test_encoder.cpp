// The adapter commands' bytes and traces, and the address check.
#include "Tavro.h"
#include "gui_fixture.h"

#include <gtest/gtest.h>

namespace {

std::string joined(const TavroCommand &c) {
    std::string all;
    for (const auto &piece : c.pieces)
        all += piece;
    return all;
}

} // namespace

TEST(Encoder, BytesOfEveryCommand) {
    EXPECT_EQ(joined(buildReset()), std::string("\x12\x12\x12"));
    EXPECT_TRUE(buildReset().reset_pause);
    EXPECT_EQ(joined(buildSetFormat(0)), "/h1\r");
    EXPECT_EQ(joined(buildSetFormat(1)), "/h0\r");
    EXPECT_EQ(joined(buildSetFlow(0)), "/f0\r");
    EXPECT_EQ(joined(buildSetFlow(1)), "/f1\r");
    EXPECT_EQ(joined(buildSetAddress("FE")), "/iFE\r");
    EXPECT_EQ(joined(buildSelectSlave("a0")), "/da0\r"); // letter case kept
    EXPECT_EQ(joined(buildOpen()), "/o\r");
    EXPECT_EQ(joined(buildClose()), "/c\r");
    EXPECT_EQ(joined(buildQueryIntMon()), "/n\r");
    EXPECT_EQ(joined(buildSTx("Hello, World!")), "/sHello, World!\r");
}

TEST(Encoder, RatesAndClocksMapToTheirCodes) {
    EXPECT_EQ(buildBaud(19200).pieces, (std::vector<std::string>{"/b", "0\r"}));
    EXPECT_EQ(joined(buildBaud(57600)), "/b1\r");
    EXPECT_EQ(joined(buildBaud(115200)), "/b2\r");
    EXPECT_EQ(joined(buildClock(23)), "/K0\r");
    EXPECT_EQ(joined(buildClock(86)), "/K1\r");
    EXPECT_EQ(joined(buildClock(100)), "/K2\r");
    EXPECT_EQ(joined(buildClock(400)), "/K3\r");

    // An unsupported value has already sent the command letter, then reports it.
    TavroCommand baud = buildBaud(9600);
    EXPECT_EQ(joined(baud), "/b");
    EXPECT_EQ(baud.error_line, "ERROR, baud rate = 9600.  Please report this to QVT.\n");
    TavroCommand clock = buildClock(0);
    EXPECT_EQ(joined(clock), "/K");
    EXPECT_EQ(clock.error_line, "ERROR, clock speed = 0.  Please report this to QVT.\n");
}

TEST(Encoder, TransfersWithAndWithoutStop) {
    EXPECT_EQ(joined(buildMTx("~01~A5", 1)), "/t~01~A5\r");
    EXPECT_EQ(joined(buildMTx("", 0)), "/*t\r");
    EXPECT_EQ(joined(buildMRx(4, 1)), "/r4\r");
    EXPECT_EQ(joined(buildMRx(0, 1)), "/r0\r");
    EXPECT_EQ(joined(buildMRx(251, 0)), "/*r251\r");
    for (int bad : {252, -1, 100000}) {
        TavroCommand c = buildMRx(bad, 1);
        EXPECT_TRUE(c.pieces.empty()) << bad;
        EXPECT_EQ(c.traces.back(), "Number of bytes to read is out of range.");
    }
    // Any non-zero flag turns the monitor on.
    EXPECT_EQ(joined(buildIntMonitor(-1)), "/n1\r");
    EXPECT_EQ(joined(buildIntMonitor(0)), "/n0\r");
}

TEST(Encoder, BadArgumentsSendNothing) {
    EXPECT_TRUE(buildSetFormat(2).pieces.empty());
    EXPECT_EQ(buildSetFormat(2).traces.back(), "Bad format argument.");
    EXPECT_TRUE(buildSetFlow(-1).pieces.empty());
    EXPECT_EQ(buildSetFlow(-1).traces.back(), "Bad flow control argument.");
    EXPECT_TRUE(buildSetAddress("FF").pieces.empty());
    EXPECT_EQ(buildSetAddress("FF").traces.back(), "Bad address.");
    EXPECT_TRUE(buildSelectSlave("G0").pieces.empty());
    EXPECT_EQ(buildSelectSlave("G0").traces.back(), "Bad slave address.");
}

TEST(Encoder, AddressCheck) {
    for (const char *good : {"00", "FE", "a0", "8", "A0C", "4E"})
        EXPECT_EQ(validateAddress(good), 1) << good;
    for (const char *bad : {"FF", "01", "G0", "", "zz", "-2", "+2", " 4", "2z"})
        EXPECT_EQ(validateAddress(bad), 0) << bad;
}

TEST(Encoder, TracesGoToStandardOutputFirst) {
    StdoutCapture out;
    printAction("Opening the I2C bus...");
    sendCommand(buildMRx(300, 1));
    sendCommand(buildIntMonitor(1));
    sendCommand(buildBaud(1));
    EXPECT_EQ(out.text(), "> Opening the I2C bus...\n"
                          "> Recieving data from a slave...\n"
                          "> Number of bytes to read is out of range.\n"
                          "> Setting interrupt monitor mode\n\n"
                          "> Setting the baud rate...\n"
                          "ERROR, baud rate = 1.  Please report this to QVT.\n");
}
