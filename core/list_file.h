// The message list file: its writer and its reader. Pure: no toolkit, no list store.
#ifndef SENDRAL_LIST_FILE_H
#define SENDRAL_LIST_FILE_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// One message as a list file holds it.
struct ListMessage {
    std::string address;
    std::string rw;
    std::string data;
    bool stop = true;
    unsigned delay = 0;
};

// A line that the reader skipped, or read by a rule that its writer may not expect: its
// number in the file, counted from 1, and why, in words.
struct ListNote {
    int line = 0;
    std::string why;
};

// What a list file says: at most LIST_ROWS messages, the message lines past those that were
// dropped, and the two option lines (-1 when the file has none, else the last one's 0 or 1);
// and the lines that the window's rules skip or read unexpectedly, in order.
struct ListFile {
    std::vector<ListMessage> messages;
    int dropped = 0;
    int autorepeat = -1;
    int sendonint = -1;
    std::vector<ListNote> notes;
};

enum class ListFileStatus { Ok, NotAList, ReadError };

// The text of a list file: header, one line per message, the two option lines, end line.
std::string formatListFile(const std::vector<ListMessage> &messages, bool autorepeat,
                           bool sendonint);

// Reads a list file fed in pieces of any size. A line longer than MAX_LINE_KEPT characters is
// cut there: it is taken at once, and the rest up to its line feed is dropped, so that a file
// without line ends is judged by its first characters. A line's text ends at a NUL byte.
class ListFileParser {
  public:
    static constexpr std::size_t MAX_LINE_KEPT = 254;

    // Returns false once nothing more is wanted: header refused, or "End of Sequence" read
    // and whether anything follows it known.
    bool feed(const char *data, std::size_t length);
    // The end of the input: a last line without a line feed is taken.
    void finish();
    ListFileStatus status() const {
        return header_ok_ ? ListFileStatus::Ok : ListFileStatus::NotAList;
    }
    const ListFile &result() const { return result_; }

  private:
    enum class Stage { Header, Messages, Options, Done };
    void line(std::string_view text);
    void message(std::string_view text);
    void noteOddities(std::string_view text, std::size_t mark, std::string_view rest, bool cut,
                      const ListMessage &message);
    bool option(std::string_view text);
    void note(std::string why);

    Stage stage_ = Stage::Header;
    bool header_ok_ = false;
    bool overlong_ = false;
    bool ended_ = false;      // "End of Sequence" read
    bool tail_noted_ = false; // and told that something follows it
    int line_number_ = 0;
    std::string pending_;
    ListFile result_;
};

enum class SaveResult { Saved, CantOpen, WriteFailed, Damaged };

// Writes text as the file at path, following a symbolic link to its target (dangling or not;
// the link stays). An existing file that the user may not write, or that is not a regular file,
// is left alone (CantOpen); so is a loop of links. In a sticky folder that anyone may write,
// links and files are trusted as the kernel trusts them: only those of the user or of the
// folder's owner are followed or written (else CantOpen). Where the folder is writable and the
// file, if any, is of one link and belongs to the saving user, text goes to a new file beside it
// (".NAME.XXXXXX", NAME cut to fit a name's limit) that takes the old one's group, mode and
// extended attributes (ACLs among them) and then replaces it; if any of those cannot be copied, or
// otherwise, the file is rewritten in place, keeping its owner, links and attributes. In place,
// room for the text is reserved before the first byte is overwritten, and a write that fails puts
// the old bytes and length back; a file the user may write but not read is written without them, so
// that a failed write leaves it Damaged. CantOpen: nothing was written. WriteFailed: the list was
// not saved and the old file is as it was (nothing is left behind). Damaged: a write failed and so
// did putting the old list back: the file may hold part of either.
SaveResult saveListFile(const std::string &path, const std::string &text);

// Why a file could not be written at path now, in the system's words ("No such file or
// directory"); empty when it could. list: as saveListFile would save a list there, into a
// regular file only; else as a log, opened for writing. Looks only: nothing is changed.
std::string whyNotWritable(const std::string &path, bool list);

// Parses a whole file's bytes.
ListFileStatus parseListText(std::string_view text, ListFile &out);
// Reads the stream to its end or to "End of Sequence"; ReadError when a read fails first.
ListFileStatus readListFile(std::FILE *in, ListFile &out);

#endif
