// Fuzz target: the list file reader. The bytes go to ListFileParser in pieces of any size;
// the result must keep within the list's records, match a reading of the whole text at
// once, and survive being written and read again. Inputs that ask for it are also opened
// as a file into the main window's list (gui_file_open_success), which must then hold
// exactly what the reader read, and saved again (gui_file_save_success), which must write
// what the writer makes of it.
//
// Input layout:
//   byte 0    bit 0: also open the bytes as a file into the list
//   byte 1    n, the number of split bytes (0-31)
//   n bytes   the sizes of the first n pieces (0-255)
//   the rest  the file's bytes; past the last split byte they come in one piece
#include "fuzz_support.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view HEADER = "QVT I2C Message List File";

std::string temp_dir;
std::string temp_file;

void removeTempFile() {
    unlink(temp_file.c_str());
    rmdir(temp_dir.c_str());
}

std::string describe(const ListMessage &m) {
    return "[" + m.address + "|" + m.rw + "|" + m.data + "|" + (m.stop ? "Y" : "N") + "|" +
           std::to_string(m.delay) + "]";
}

bool same(const ListMessage &a, const ListMessage &b) {
    return a.address == b.address && a.rw == b.rw && a.data == b.data && a.stop == b.stop &&
           a.delay == b.delay;
}

bool same(const std::vector<ListMessage> &a, const std::vector<ListMessage> &b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i]))
            return false;
    return true;
}

std::string describe(const std::vector<ListMessage> &messages) {
    std::string text;
    for (const ListMessage &m : messages)
        text += describe(m);
    return text;
}

// The reader finds the direction and Stop marks anywhere in a line, and the writer puts the
// data right after ",$dddd,": a data text that starts "W," or "N," reads back as a write or
// as Stop off. The editor and reads never make such a text; a malformed file can.
bool writerKeeps(const std::vector<ListMessage> &messages) {
    for (const ListMessage &m : messages) {
        if (m.rw == "R" && m.data.rfind("W,", 0) == 0)
            return false;
        if (m.stop && m.data.rfind("N,", 0) == 0)
            return false;
    }
    return true;
}

// The list keeps its texts to plain ASCII: other bytes are stored as "?".
std::vector<ListMessage> asStored(const std::vector<ListMessage> &messages) {
    std::vector<ListMessage> stored = messages;
    for (ListMessage &m : stored)
        for (std::string *text : {&m.address, &m.rw, &m.data})
            for (char &c : *text)
                if (static_cast<unsigned char>(c) >= 0x80)
                    c = '?';
    return stored;
}

// Whether the first line, up to a NUL, starts with the header: decided without the parser.
bool headerAccepted(std::string_view text) {
    std::string_view first = text.substr(0, text.find('\n'));
    first = first.substr(0, first.find('\0'));
    return first.substr(0, HEADER.size()) == HEADER;
}

void checkResult(std::string_view text, ListFileStatus status, const ListFile &list) {
    FUZZ_CHECK((status == ListFileStatus::Ok) == headerAccepted(text), "header decision");
    if (status != ListFileStatus::Ok) {
        FUZZ_CHECK(list.messages.empty() && list.dropped == 0 && list.autorepeat == -1 &&
                       list.sendonint == -1,
                   "a refused file yields nothing");
        return;
    }
    FUZZ_CHECK(list.messages.size() <= static_cast<std::size_t>(LIST_ROWS), "");
    FUZZ_CHECK(list.dropped >= 0, "");
    FUZZ_CHECK(list.dropped == 0 || list.messages.size() == static_cast<std::size_t>(LIST_ROWS),
               "lines dropped from a list with room");
    FUZZ_CHECK(list.autorepeat >= -1 && list.autorepeat <= 1, "");
    FUZZ_CHECK(list.sendonint >= -1 && list.sendonint <= 1, "");
    for (const ListMessage &m : list.messages) {
        const std::string what = describe(m);
        FUZZ_CHECK(m.address.size() <= 2, what);
        FUZZ_CHECK(m.address.find_first_of(std::string(",\n\0", 3)) == std::string::npos, what);
        FUZZ_CHECK(m.rw == "R" || m.rw == "W", what);
        FUZZ_CHECK(m.data.size() <= 96, what);
        FUZZ_CHECK(m.data.empty() || m.data.back() == ',', what);
        FUZZ_CHECK(m.data.find_first_of(std::string("\n\0", 2)) == std::string::npos, what);
        FUZZ_CHECK(m.delay <= 0xffff, what);
    }
}

std::string readFile(const std::string &path) {
    std::string text;
    if (std::FILE *file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

// The list that gui_file_open_success built must be the reader's result, row for row.
void checkOpened(std::string_view text, ListFileStatus status, const ListFile &list) {
    const std::size_t count = status == ListFileStatus::Ok ? list.messages.size() : 0;
    const std::vector<ListMessage> stored = asStored(list.messages);
    FUZZ_CHECK(filled_rows == static_cast<int>(count),
               std::to_string(filled_rows) + " rows for " + std::to_string(count));
    for (int n = 1; n <= LIST_ROWS; ++n) {
        const RowText row = readRow(n);
        ListMessage got{row.address, row.rw, row.data, row.stop, row.delay};
        const ListMessage want =
            static_cast<std::size_t>(n) <= count ? stored[n - 1] : ListMessage{"", "", "", true, 0};
        FUZZ_CHECK(same(got, want), "row " + std::to_string(n) + ": " + describe(got) +
                                        " instead of " + describe(want));
    }
    if (status != ListFileStatus::Ok) {
        FUZZ_CHECK(current_filename.empty(), "a refused file became the current file");
        return;
    }
    FUZZ_CHECK(current_filename == temp_file, current_filename);
    FUZZ_CHECK((getOptionAutorepeat() != 0) == (list.autorepeat == 1), "AutoRepeat");
    if (list.sendonint >= 0)
        FUZZ_CHECK((getOptionSendonInt() != 0) == (list.sendonint == 1), "Send On /INT");
    (void)text;
}

void openAsFile(std::string_view text, ListFileStatus status, const ListFile &list) {
    std::FILE *file = std::fopen(temp_file.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, temp_file);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    FUZZ_CHECK(std::fclose(file) == 0 && written, temp_file);
    gui_file_open_success(temp_file.c_str());
    checkOpened(text, status, list);
    if (status == ListFileStatus::Ok) {
        gui_file_save_success(0);
        const std::string saved = readFile(temp_file);
        const std::string expected = formatListFile(
            asStored(list.messages), getOptionAutorepeat() != 0, getOptionSendonInt() != 0);
        FUZZ_CHECK(saved == expected, saved + " saved instead of " + expected);
    }
    settleMainLoop();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzBuildWindow();
    // Saving syncs the file to its disk: in memory, that costs nothing.
    temp_dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    temp_dir += "/sendral-fuzz-XXXXXX";
    if (mkdtemp(temp_dir.data()) == nullptr)
        fuzzFail("mkdtemp", __FILE__, __LINE__, temp_dir);
    temp_file = temp_dir + "/list.iml";
    std::atexit(removeTempFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const bool open_as_file = data[0] & 1;
    const std::size_t splits = std::min<std::size_t>(data[1] % 32, size - 2);
    const std::uint8_t *split = data + 2;
    const std::string_view text(reinterpret_cast<const char *>(data + 2 + splits),
                                size - 2 - splits);

    ListFileParser parser;
    std::size_t at = 0;
    for (std::size_t i = 0; i < splits; ++i) {
        const std::size_t n = std::min<std::size_t>(split[i], text.size() - at);
        parser.feed(text.data() + at, n);
        at += n;
    }
    parser.feed(text.data() + at, text.size() - at);
    parser.finish();
    const ListFile list = parser.result();
    checkResult(text, parser.status(), list);

    // Pieces change nothing.
    ListFile whole;
    const ListFileStatus whole_status = parseListText(text, whole);
    FUZZ_CHECK(whole_status == parser.status(), "status depends on the pieces");
    FUZZ_CHECK(same(whole.messages, list.messages) && whole.dropped == list.dropped &&
                   whole.autorepeat == list.autorepeat && whole.sendonint == list.sendonint,
               describe(whole.messages) + " read whole, " + describe(list.messages) + " in pieces");
    FUZZ_CHECK(whole.notes.size() == list.notes.size() &&
                   std::equal(whole.notes.begin(), whole.notes.end(), list.notes.begin(),
                              [](const ListNote &a, const ListNote &b) {
                                  return a.line == b.line && a.why == b.why;
                              }),
               "the lines told depend on the pieces");

    // What the writer makes of the result reads back as the same list.
    if (parser.status() == ListFileStatus::Ok) {
        const bool autorepeat = list.autorepeat == 1;
        const bool sendonint = list.sendonint == 1;
        ListFile again;
        const std::string written = formatListFile(list.messages, autorepeat, sendonint);
        FUZZ_CHECK(parseListText(written, again) == ListFileStatus::Ok, written);
        FUZZ_CHECK(!writerKeeps(list.messages) || same(again.messages, list.messages),
                   describe(list.messages) + " written and read back as " +
                       describe(again.messages));
        FUZZ_CHECK(again.dropped == 0 && again.autorepeat == (autorepeat ? 1 : 0) &&
                       again.sendonint == (sendonint ? 1 : 0),
                   written);
    }

    if (open_as_file)
        openAsFile(text, parser.status(), list);
    return 0;
}
