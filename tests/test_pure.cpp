// The pure parts, without the toolkit: reply framing, the command bytes the link and the
// sender do not already show on the wire, the address check, read data, and the list file.
#include "data_text.h"
#include "list_file.h"
#include "reply_framer.h"
#include "tavro_commands.h"

#include <gtest/gtest.h>

namespace {

using Texts = std::vector<std::string>;

std::vector<std::string> framed;
void collect(const std::string &line) {
    framed.push_back(line);
}

// What a fresh framer makes of these reads, with a buffer of the program's size.
Texts frame(const Texts &reads, std::string *left = nullptr) {
    static char buffer[255];
    int count = 0;
    int between = 1;
    ReplyFramer framer(buffer, sizeof buffer, count, between);
    framed.clear();
    for (const std::string &read : reads)
        framer.feed(read.data(), read.size(), collect);
    if (left)
        *left = std::string(buffer, std::size_t(count));
    return framed;
}

std::string bytes(const TavroCommand &c) {
    std::string all;
    for (const std::string &piece : c.pieces)
        all += piece;
    return all + (c.error_line.empty() ? "" : " | " + c.error_line) +
           (c.pieces.empty() ? " | " + c.traces.back() : "");
}

} // namespace

TEST(Framing, LinesWithinAndAcrossReads) {
    const std::string nul("/MT\0C\r/OCC\r", 11);
    const struct {
        Texts reads, lines;
    } cases[] = {
        {{"/MTC\r"}, {"/MTC"}},
        {{"/MT", "C\r"}, {"/MTC"}},
        {{"/MTC", "\r\n", "/MRC 0A\r\n"}, {"/MTC", "/MRC 0A"}}, // a line end in a read of its own
        {{"/OCC\r\n/MTC\r\n"}, {"/OCC", "/MTC"}},
        {{"**/OCC\r", "\n*\r\n*/MTC*\r"}, {"/OCC", "/MTC*"}}, // "*" is text inside a reply only
        {{"noise", "/OCC\r"}, {"/OCC"}},                      // stray text before a "/" goes
        {{"junk\r/CCC\r"}, {"junk", "/CCC"}},                 // ... or is a line of its own
        {{nul, "C\r"}, {"/MTC"}},                             // a NUL ends what a read brings
    };
    for (const auto &c : cases)
        EXPECT_EQ(frame(c.reads), c.lines) << c.reads[0];

    // An over-long line keeps its first 254 characters; the rest up to its end is dropped.
    const std::string body(400, 'x');
    const Texts lines = frame({"/XYZ" + body.substr(0, 150), body.substr(150) + "\r\n/OC"});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "/XYZ" + body.substr(0, 250));
    std::string left;
    frame({"/MRC 0A"}, &left);
    EXPECT_EQ(left, "/MRC 0A");
    EXPECT_EQ(replyCode("/MRC 0A"), "MRC");
    EXPECT_EQ(replyText("/MRC 0A"), " 0A");
    EXPECT_EQ(replyCode("/M"), "M");
}

TEST(Commands, BytesNoRunOnTheWireShows) {
    const std::pair<TavroCommand, std::string> cases[] = {
        {buildClock(23), "/K0\r"},
        {buildClock(86), "/K1\r"},
        {buildClock(400), "/K3\r"},
        {buildClock(0), "/K | ERROR, clock speed = 0.  Please report this to QVT.\n"},
        {buildBaud(9600), "/b | ERROR, baud rate = 9600.  Please report this to QVT.\n"},
        {buildMRx(251, 1), "/r251\r"},
        {buildMRx(252, 1), " | Number of bytes to read is out of range."},
        {buildMRx(-1, 1), " | Number of bytes to read is out of range."},
        {buildIntMonitor(-1), "/n1\r"},
        {buildSetFlow(2), " | Bad flow control argument."},
        {buildSetAddress("FF"), " | Bad address."},
        {buildSelectSlave("a0"), "/da0\r"},
    };
    for (const auto &[command, expected] : cases)
        EXPECT_EQ(bytes(command), expected);
    EXPECT_EQ(buildReset().pieces, Texts{std::string(3, '\x12')});
    EXPECT_TRUE(buildReset().reset_pause);
}

TEST(Commands, AddressCheck) {
    for (const char *good : {"00", "FE", "a0", "8", "A0C"})
        EXPECT_EQ(validateAddress(good), 1) << good;
    for (const char *bad : {"FF", "01", "G0", "", "-2", "+2", " 4", "2z"})
        EXPECT_EQ(validateAddress(bad), 0) << bad;
}

TEST(DataText, ReadRepliesKeepThirtyTwoWholeGroups) {
    std::string reply, data;
    for (int i = 0; i < 40; ++i) {
        reply += " 5A";
        if (i < 32)
            data += "5A,";
    }
    EXPECT_EQ(readDataText(reply + " 1"), data);
    EXPECT_EQ(readDataText(" 0a 1B 7"), "0a,1B,");
    EXPECT_TRUE(readBytesWellFormed(" 0a 1B 7"));
    EXPECT_FALSE(readBytesWellFormed(" 0A 1Z"));
    EXPECT_TRUE(dataTextValid("0A,ff,"));
    EXPECT_FALSE(dataTextValid("0A,f"));
}

namespace {

const std::string HEADER = "QVT I2C Message List File V2\n";

std::string messages(const ListFile &list) {
    std::string all;
    for (const ListMessage &m : list.messages)
        all += m.address + "|" + m.rw + "|" + m.data + "|" + (m.stop ? "Y" : "N") + "|" +
               std::to_string(m.delay) + "\n";
    return all;
}

} // namespace

TEST(ListFile, WriterMakesTheFileByteForByte) {
    const std::vector<ListMessage> list = {{"A0", "W", "00,10,", true, 100},
                                           {"A0", "R", "12,34,56,78,", true, 0},
                                           {"4E", "W", "01,", false, 1000},
                                           {"A", "W", "", true, 60000}};
    EXPECT_EQ(formatListFile(list, false, true),
              HEADER + "$A0,W,Y,$0064,00,10,\n$A0,R,Y,$0000,12,34,56,78,\n$4E,W,N,$03e8,01,\n"
                       "$A,W,Y,$ea60,\nAutoRepeat = OFF\nSendOnInt = ON\nEnd of Sequence\n");
    EXPECT_EQ(formatListFile({}, true, false),
              HEADER + "AutoRepeat = ON\nSendOnInt = OFF\nEnd of Sequence\n");
}

TEST(ListFile, ReaderRules) {
    ListFile list;
    for (const char *refused : {"QVT I2C Message List\n$A0,W,Y,$0000,\n", "", "\nQVT I2C"})
        EXPECT_EQ(parseListText(refused, list), ListFileStatus::NotAList) << refused;
    EXPECT_EQ(parseListText("QVT I2C Message List File\n", list), ListFileStatus::Ok);

    // Direction and Stop marks anywhere, two address characters, the delay in either case,
    // data cut after its last comma; no ",$" or under four delay characters: delay 0.
    ASSERT_EQ(parseListText(HEADER +
                                "$ABC,R,Y,$00FF,12,34,56,78,  \r\n$2,X,Q,$EA60,1,W,2,N,3\n"
                                "$A0,W,Y,$0064,noComma\n$C0\n$D0,R,Y,$01\n\n$E0,W,Y,$0000,\n"
                                "SendOnInt = ON\n$F0,W,Y,$0000,\nEnd of Sequence\nAutoRepeat = ON",
                            list),
              ListFileStatus::Ok);
    EXPECT_EQ(messages(list), "AB|R|12,34,56,78,|Y|255\n2|W|1,W,2,N,|N|60000\nA0|W||Y|100\n"
                              "C0|R||Y|0\nD0|R||Y|0\n");
    EXPECT_EQ(list.autorepeat, -1); // after "End of Sequence"
    EXPECT_EQ(list.sendonint, 1);

    // At most 50 messages of at most 32 bytes; a line runs to its line feed however long.
    std::string many = HEADER, groups;
    for (int i = 0; i < 40; ++i)
        groups += "0" + std::string(1, "0123456789ABCDEF"[i % 16]) + ",";
    for (int i = 0; i < 52; ++i)
        many += "$A0,W,Y,$0000," + groups + (i == 0 ? std::string(70000, ' ') : "") + "\n";
    ASSERT_EQ(parseListText(many + "AutoRepeat = OFF\n", list), ListFileStatus::Ok);
    EXPECT_EQ(list.messages.size(), 50u);
    EXPECT_EQ(list.dropped, 2);
    EXPECT_EQ(list.messages[1].data, groups.substr(0, 96));
    EXPECT_EQ(list.autorepeat, 0);
}
