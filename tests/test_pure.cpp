// The pure parts, without the toolkit: reply framing, the command bytes the link and the
// sender do not already show on the wire, the address check, read data, and the list file.
#include "data_text.h"
#include "list_file.h"
#include "list_runner.h"
#include "reply_framer.h"
#include "smbus.h"
#include "tavro_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Texts = std::vector<std::string>;

// Each line framed, marked when it lost characters to the buffer.
void collect(void *framed, const std::string &line, bool cut) {
    static_cast<Texts *>(framed)->push_back(cut ? line + " [cut]" : line);
}

// What a fresh framer makes of these reads, with a buffer of the program's size.
Texts frame(const Texts &reads) {
    static char buffer[255];
    int count = 0;
    int between = 1;
    ReplyFramer framer(buffer, sizeof buffer, count, between);
    Texts framed;
    for (const std::string &read : reads)
        framer.feed(read.data(), read.size(), collect, &framed);
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
    const std::string nul("\0/OCC\r/MT\0C\r", 12);
    const struct {
        Texts reads, lines;
    } cases[] = {
        {{"/MTC\r"}, {"/MTC"}},
        {{"/MT", "C\r"}, {"/MTC"}},
        {{"/MTC", "\r\n", "/MRC 0A\r\n"}, {"/MTC", "/MRC 0A"}}, // a line end in a read of its own
        {{"/OCC\r\n/MTC\r\n"}, {"/OCC", "/MTC"}},
        {{"**/OCC\r", "\n*\r\n*/MTC*\r"}, {"/OCC", "/MTC*"}}, // "*" is text inside a reply only
        {{"/MR", "*C\r"}, {"/MR*C"}},                         // ... even at the start of a read
        {{"noise", "/OCC\r"}, {"/OCC"}},                      // stray text before a "/" goes
        {{"junk\r/CCC\r"}, {"junk", "/CCC"}},                 // ... or is a line of its own
        {{nul}, {"/OCC", "/MTC"}},                            // a NUL (a break) is noise
    };
    for (const auto &c : cases)
        EXPECT_EQ(frame(c.reads), c.lines) << c.reads[0];

    // An over-long line keeps its first 254 characters, the rest up to its end is dropped,
    // and the line says so; a line that just fits, and the one after a cut line, are whole.
    const std::string body(400, 'x');
    const Texts lines = frame({"/XYZ" + body.substr(0, 150), body.substr(150) + "\r\n/OC",
                               "C\r/" + body.substr(0, 253) + "\r"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "/XYZ" + body.substr(0, 250) + " [cut]");
    EXPECT_EQ(lines[1], "/OCC");
    EXPECT_EQ(lines[2], "/" + body.substr(0, 253));
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
    };
    for (const auto &[command, expected] : cases)
        EXPECT_EQ(bytes(command), expected);
    EXPECT_EQ(buildMRx(4, 0).pieces, (Texts{"/*r", "4", "\r"})); // one write each, as "/t" has
}

// The runner waits for a row's delay as the window's ticks would: none up to one tick's share
// (the next tick), else whole ticks of 2 ms, rounded up.
TEST(Pacing, ADelayIsWaitedInWholeTicksRoundedUp) {
    const std::pair<unsigned, long> cases[] = {{0, 0},       {10, 0},      {11, 4000},
                                               {15, 4000},   {20, 4000},   {21, 6000},
                                               {100, 20000}, {101, 22000}, {60000, 12000000}};
    for (const auto &[delay, us] : cases)
        EXPECT_EQ(delayWait(delay).count(), us) << delay;
}

TEST(Commands, AddressCheck) {
    for (const char *good : {"00", "FE", "a0", "8", "A0C"})
        EXPECT_EQ(validateAddress(good), 1) << good;
    for (const char *bad : {"FF", "01", "G0", "", "-2", "+2", " 4", "2z"})
        EXPECT_EQ(validateAddress(bad), 0) << bad;
}

// The SMBus CRC-8's published check value, and the messages of each transaction as the
// kernel's emulation lays them out, PEC byte included.
TEST(Smbus, TransactionsAsMessagesWithPec) {
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(smbusCrc8(0, check, sizeof check), 0xF4);

    using K = SmbusKind;
    struct Row {
        SmbusTransaction t;
        std::vector<std::vector<int>> messages; // write bytes, or {-n} for a read of n
    };
    const Row rows[] = {
        {{0x50, false, K::Quick, 0, {}, 0, true}, {{}}},
        {{0x50, true, K::Quick, 0, {}, 0, false}, {{-0}}},
        {{0x50, true, K::Byte, 0, {}, 0, true}, {{-2}}},
        {{0x50, false, K::Byte, 0x12, {}, 0, false}, {{0x12}}},
        {{0x50, true, K::ByteData, 0x12, {}, 0, false}, {{0x12}, {-1}}},
        {{0x50, true, K::WordData, 0x12, {}, 0, true}, {{0x12}, {-3}}},
        {{0x27, false, K::ByteData, 0x01, {0x02}, 0, true}, {{0x01, 0x02, 0xB1}}},
        {{0x50, false, K::WordData, 0x12, {0x34, 0x56}, 0, false}, {{0x12, 0x34, 0x56}}},
        {{0x50, false, K::ProcessCall, 0x12, {0x34, 0x56}, 0, false}, {{0x12, 0x34, 0x56}, {-2}}},
        {{0x50, false, K::BlockData, 0x12, {0xAA, 0xBB}, 0, false}, {{0x12, 2, 0xAA, 0xBB}}},
        {{0x50, true, K::I2cBlockData, 0x12, {}, 4, true}, {{0x12}, {-4}}},
        {{0x50, false, K::I2cBlockData, 0x12, {0xAA}, 0, true}, {{0x12, 0xAA}}},
    };
    for (const Row &row : rows) {
        std::string error;
        const std::vector<I2cMessage> got = smbusMessages(row.t, error);
        ASSERT_EQ(got.size(), row.messages.size()) << static_cast<int>(row.t.kind);
        for (std::size_t i = 0; i < got.size(); ++i) {
            std::vector<int> seen;
            if (got[i].read)
                seen.push_back(-got[i].length);
            else
                seen.assign(got[i].data.begin(), got[i].data.end());
            EXPECT_EQ(seen, row.messages[i]) << static_cast<int>(row.t.kind) << " msg " << i;
            EXPECT_EQ(got[i].address, row.t.address);
        }
    }

    // A slave's PEC is checked over both messages, address bytes included; the slave's
    // choice of length and out-of-bounds blocks are refused before anything is sent.
    SmbusTransaction read{0x50, true, K::ByteData, 0x10, {}, 0, true};
    std::string error;
    std::vector<I2cMessage> messages = smbusMessages(read, error);
    const std::uint8_t bus[] = {0xA0, 0x10, 0xA1, 0x5A};
    messages[1].data = {0x5A, smbusCrc8(0, bus, sizeof bus)};
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(smbusResult(read, messages, data));
    EXPECT_EQ(data, std::vector<std::uint8_t>{0x5A});
    messages[1].data[1] ^= 1;
    EXPECT_FALSE(smbusResult(read, messages, data));
    for (const SmbusTransaction &refused :
         {SmbusTransaction{0x50, true, K::BlockData, 0, {}, 0, false},
          SmbusTransaction{0x50, false, K::BlockProcessCall, 0, {1}, 0, false},
          SmbusTransaction{0x50, false, K::BlockData, 0, {}, 0, false},
          SmbusTransaction{0x50, true, K::I2cBlockData, 0, {}, 33, false},
          SmbusTransaction{0x50, false, K::WordData, 0, {1}, 0, false}})
        EXPECT_TRUE(smbusMessages(refused, error).empty()) << static_cast<int>(refused.kind);
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
    // A write goes out as long as its text: an incomplete group reaches the adapter as it is.
    EXPECT_EQ(transmitText("0A,FF,3C,"), "~0A~FF~3C");
    EXPECT_EQ(transmitText("0A,F,"), "~0A~F");
    EXPECT_EQ(transmitText("A,"), "~A");
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
                                "$A0,W,Y,$0064,NoComma\n$C0\n$D0,R,Y,$01\n\n$E0,W,Y,$0000,\n"
                                "SendOnInt = ON\n$F0,W,Y,$0000,\nEnd of Sequence\nAutoRepeat = ON",
                            list),
              ListFileStatus::Ok);
    EXPECT_EQ(messages(list), "AB|R|12,34,56,78,|Y|255\n2|W|1,W,2,N,|N|60000\nA0|W||Y|100\n"
                              "C0|R||Y|0\nD0|R||Y|0\n");
    EXPECT_EQ(list.autorepeat, -1); // after "End of Sequence"
    EXPECT_EQ(list.sendonint, 1);

    // At most 50 messages of at most 32 bytes; a line is cut after 254 characters, the rest
    // up to its line feed dropped.
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
    ASSERT_EQ(parseListText(HEADER + "$A0,W,Y,$0000," + std::string(240, ' ') + "01,\n" +
                                std::string(400, 'x') + "SendOnInt = ON\n",
                            list),
              ListFileStatus::Ok);
    EXPECT_EQ(messages(list), "A0|W||Y|0\n");
    EXPECT_EQ(list.sendonint, -1);

    // A file without line ends is refused at once by its first characters.
    std::unique_ptr<std::FILE, decltype(&std::fclose)> zero(std::fopen("/dev/zero", "rb"),
                                                            std::fclose);
    ASSERT_TRUE(zero);
    EXPECT_EQ(readListFile(zero.get(), list), ListFileStatus::NotAList);
}

namespace {

// Saved by a child that has dropped to an unprivileged user (root ignores permissions).
int saveAsNobody(const std::string &path, const std::string &list = "new\n") {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) || setresgid(65534, 65534, 65534) ||
                      setresuid(65534, 65534, 65534)
                  ? 99
                  : int(saveListFile(path, list)));
    int status = 0;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status);
}

std::string text(const std::string &path, const char *attribute = nullptr) {
    std::array<char, 64> value{};
    if (attribute) {
        const ssize_t n = getxattr(path.c_str(), attribute, value.data(), value.size());
        return n < 0 ? "(none)" : std::string(value.data(), std::size_t(n));
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder, gone with all it holds (and unmounted first) on every way out of the test.
struct Scratch {
    std::string path = mkdtemp(std::array<char, 25>{"/tmp/sendral-save-XXXXXX"}.data());
    bool mounted = false;
    ~Scratch() {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
        std::filesystem::remove_all(path);
    }
    std::string operator/(const std::string &leaf) const { return path + "/" + leaf; }
};

// While set, a reservation is taken and not kept, as a copy-on-write file system may do.
bool reservation_ignored = false;

} // namespace

extern "C" int posix_fallocate(int fd, off_t offset, off_t length) {
    static const auto next =
        reinterpret_cast<decltype(&posix_fallocate)>(dlsym(RTLD_NEXT, "posix_fallocate"));
    return reservation_ignored ? 0 : next(fd, offset, length);
}

TEST(ListFile, SavingInPlaceOnAFullDiskKeepsTheOldListByteForByte) {
    Scratch disk;
    if (!(disk.mounted = mount("tmpfs", disk.path.c_str(), "tmpfs", 0, "size=64k") == 0))
        GTEST_SKIP() << "mounting a tmpfs was refused";
    std::string old = HEADER, longer = HEADER;
    for (int i = 0; i < 400; ++i)
        (i < 40 ? old : longer) += i < 40 ? "$A0,W,Y,$0000,01,02,\n" : "$4E,R,N,$0000,FF,\n";
    const std::string list = disk / "list.iml";
    std::ofstream(list) << old;
    ASSERT_EQ(link(list.c_str(), (disk / "twin.iml").c_str()), 0); // so saved in place
    std::ofstream(disk / "filler") << std::string(64 * 1024, 'x'); // as much as fits
    auto changed = [&] {
        struct stat st {};
        stat(list.c_str(), &st);
        return std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    };
    const std::string before = changed();
    // The reservation fails: the file is not even touched. One taken but not kept lets the
    // write fail part way: the old bytes go back.
    for (bool ignored : {false, true}) {
        reservation_ignored = ignored;
        EXPECT_EQ(saveListFile(list, longer), SaveResult::WriteFailed);
        reservation_ignored = false;
        EXPECT_EQ(text(list), old) << ignored;
        if (!ignored) {
            EXPECT_EQ(changed(), before);
        }
    }
    // A list its user may write but not read has no old bytes to put back: it is damaged.
    ASSERT_EQ(chmod(disk.path.c_str(), 0777), 0);
    ASSERT_EQ(chown(list.c_str(), 65534, 65534) | chmod(list.c_str(), 0200), 0);
    reservation_ignored = true;
    EXPECT_EQ(saveAsNobody(list, longer), int(SaveResult::Damaged));
    reservation_ignored = false;
}

TEST(ListFile, SavingInPlaceCutsALongerListAndWritesOneItsUserCannotRead) {
    Scratch dir;
    chmod(dir.path.c_str(), 0777);
    const std::string list = dir / "list.iml";
    const std::string longer = std::string(HEADER) + "$A0,W,Y,$0000,01,02,03,\n" + "End\n";
    std::ofstream(list) << longer;
    ASSERT_EQ(link(list.c_str(), (dir / "twin.iml").c_str()), 0); // so saved in place
    EXPECT_EQ(saveListFile(list, "short\n"), SaveResult::Saved);
    EXPECT_EQ(text(dir / "twin.iml"), "short\n");

    ASSERT_EQ(chown(list.c_str(), 65534, 65534) | chmod(list.c_str(), 0200), 0);
    EXPECT_EQ(saveAsNobody(list, "unread\n"), int(SaveResult::Saved));
    EXPECT_EQ(text(list), "unread\n");
}

// In a sticky folder anyone may write, a save follows the kernel's rule for links and files
// that another user may have planted; a loop of links is refused wherever it is.
TEST(ListFile, SavingTrustsOnlyLinksAndFilesNoStrangerPlanted) {
    if (geteuid() != 0)
        GTEST_SKIP() << "links of another owner need root";
    Scratch home, shared, nobodys;
    ASSERT_EQ(chmod(shared.path.c_str(), 01777) | chmod(nobodys.path.c_str(), 01777) |
                  chown(nobodys.path.c_str(), 65534, 65534),
              0);
    std::ofstream(home / "notes") << "notes\n";
    // A link to target, or a file, of owner; the save through it, and what the file it
    // leads to then holds (a loop leads nowhere). Every link stays a link.
    auto plant = [](const std::string &path, const std::string &target, uid_t owner) {
        if (target.empty())
            std::ofstream(path) << "old\n";
        EXPECT_EQ((target.empty() ? 0 : symlink(target.c_str(), path.c_str())) |
                      lchown(path.c_str(), owner, owner),
                  0);
        return path;
    };
    const struct {
        std::string path;
        SaveResult saved;
        std::string holder, holds;
    } cases[] = {
        {plant(shared / "theirs", home / "notes", 65534), SaveResult::CantOpen, home / "notes",
         "notes\n"},
        {plant(shared / "mine", home / "mine", 0), SaveResult::Saved, home / "mine", "list\n"},
        {plant(nobodys / "owners", home / "owners", 65534), SaveResult::Saved, home / "owners",
         "list\n"},
        {plant(shared / "file", "", 65534), SaveResult::CantOpen, shared / "file", "old\n"},
        {plant(nobodys / "file", "", 65534), SaveResult::Saved, nobodys / "file", "list\n"},
        {plant(home / "a", "b", 0), SaveResult::CantOpen, home / "a", ""},
        {plant(home / "b", "a", 0), SaveResult::CantOpen, home / "b", ""},
        {plant(home / "x", "y", 0), SaveResult::CantOpen, home / "x", ""},
        {plant(home / "y", "z", 0), SaveResult::CantOpen, home / "y", ""},
        {plant(home / "z", "x", 0), SaveResult::CantOpen, home / "z", ""},
    };
    for (const auto &c : cases) {
        struct stat before {
        }, after{};
        lstat(c.path.c_str(), &before);
        EXPECT_EQ(saveListFile(c.path, "list\n"), c.saved) << c.path;
        EXPECT_EQ(text(c.holder), c.holds) << c.path;
        lstat(c.path.c_str(), &after);
        EXPECT_EQ(S_ISLNK(after.st_mode), S_ISLNK(before.st_mode)) << c.path;
    }
}

TEST(ListFile, SavingRewritesInPlaceWhereAReplacementWouldLoseSomething) {
    Scratch dir;
    chmod(dir.path.c_str(), 0777);
    auto file = [&](const std::string &leaf, mode_t mode, uid_t uid = 0, gid_t gid = 0) {
        const std::string path = dir / leaf;
        EXPECT_EQ(saveListFile(path, "old\n"), SaveResult::Saved);
        EXPECT_EQ(chown(path.c_str(), uid, gid) | chmod(path.c_str(), mode), 0);
        return path;
    };
    // Another owner's list in a shared folder keeps its owner.
    const std::string others = file("others.iml", 0666);
    EXPECT_EQ(saveAsNobody(others), int(SaveResult::Saved));
    struct stat st {};
    stat(others.c_str(), &st);
    EXPECT_EQ(text(others) + std::to_string(st.st_uid), "new\n0");
    // A writable list in a folder the user may not write to is written all the same.
    mkdir((dir / "locked").c_str(), 0755);
    const std::string locked = file("locked/list.iml", 0666);
    EXPECT_EQ(saveAsNobody(locked), int(SaveResult::Saved));
    EXPECT_EQ(text(locked), "new\n");
    EXPECT_EQ(saveAsNobody(dir / "locked/new.iml"), int(SaveResult::CantOpen));
    // Every hard link sees the new list (and a name of the longest length takes one).
    const std::string linked = file(std::string(251, 'n') + ".iml", 0644);
    ASSERT_EQ(link(linked.c_str(), (dir / "b.iml").c_str()), 0);
    EXPECT_EQ(saveListFile(linked, "two\n"), SaveResult::Saved);
    EXPECT_EQ(text(dir / "b.iml"), "two\n");
    // A symbolic link, dangling or not, is followed and stays a link.
    ASSERT_EQ(symlink("target.iml", (dir / "link.iml").c_str()), 0);
    EXPECT_EQ(saveListFile(dir / "link.iml", "via\n"), SaveResult::Saved);
    EXPECT_EQ(text(dir / "target.iml"), "via\n");
    EXPECT_EQ(lstat((dir / "link.iml").c_str(), &st) == 0 && S_ISLNK(st.st_mode), true);
    // The user's own read-only list stays as it is; root writes it, as any file.
    const std::string readonly = file("readonly.iml", 0444, 65534, 65534);
    EXPECT_EQ(saveAsNobody(readonly), int(SaveResult::CantOpen));
    EXPECT_EQ(text(readonly), "old\n");
    EXPECT_EQ(saveListFile(readonly, "root\n"), SaveResult::Saved);

    // The replacement keeps the group, the mode and the attributes, or is not done: an
    // attribute only root may set is kept by writing in place.
    const std::string grouped = file("grouped.iml", 0640, 0, 100);
    const std::string labelled = file("labelled.iml", 0644, 65534, 65534);
    if (setxattr(grouped.c_str(), "user.sendral", "kept", 4, 0) != 0 ||
        setxattr(labelled.c_str(), "security.sendral", "root's", 6, 0) != 0)
        GTEST_SKIP() << "no extended attributes in " << dir.path;
    auto inode = [&](const std::string &path) { return stat(path.c_str(), &st) ? 0 : st.st_ino; };
    const ino_t grouped_inode = inode(grouped), labelled_inode = inode(labelled);
    EXPECT_EQ(saveListFile(grouped, "new\n"), SaveResult::Saved);
    EXPECT_EQ(saveAsNobody(labelled), int(SaveResult::Saved));
    EXPECT_TRUE(inode(grouped) != grouped_inode && st.st_gid == 100 &&
                (st.st_mode & 07777) == 0640 && text(grouped, "user.sendral") == "kept");
    EXPECT_TRUE(inode(labelled) == labelled_inode &&
                text(labelled) + text(labelled, "security.sendral") == "new\nroot's");
}
