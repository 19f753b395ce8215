#include "list_file.h"

#include "data_text.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {

constexpr std::string_view LIST_HEADER = "QVT I2C Message List File";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The text up to and including its last comma; "" without a comma.
std::string_view throughLastComma(std::string_view text) {
    const std::size_t comma = text.rfind(',');
    return comma == std::string_view::npos ? std::string_view() : text.substr(0, comma + 1);
}

// The leading hexadecimal digits of text, as a number.
unsigned leadingHex(std::string_view text) {
    unsigned value = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

// Writes text at the start of the file.
bool writeAll(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the whole file into out.
bool readAll(int fd, std::string &out) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), off_t(out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        out.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

// Fetches a value of a size that may change between asking and taking (an attribute list or
// an attribute): get(nullptr, 0) gives the size, get(buffer, size) the bytes.
template <typename Get> bool fetchSized(std::string &out, Get get) {
    for (;;) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0)
            return false;
        out.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : get(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

// Copies every extended attribute of the file at from to the file open as to.
bool copyAttributes(const std::string &from, int to) {
    std::string names;
    if (!fetchSized(names, [&](char *list, std::size_t size) {
            return listxattr(from.c_str(), list, size);
        }))
        return errno == ENOTSUP; // a file system without attributes: there are none to keep
    for (std::string_view rest(names); !rest.empty();) {
        const std::string name(rest.substr(0, rest.find('\0')));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        std::string value;
        if (!fetchSized(value,
                        [&](char *bytes, std::size_t size) {
                            return getxattr(from.c_str(), name.c_str(), bytes, size);
                        }) ||
            fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    }
    return true;
}

// Gives the new file open as fd the old file's group, mode and extended attributes; false
// where any of them cannot be had (a group the user is not in, say, or a security label).
bool keepsEverything(const std::string &old_path, const struct stat &old, int fd) {
    // The group first: changing it clears the set-ID bits that the mode then brings back.
    if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 ||
        fchmod(fd, old.st_mode & 07777) != 0 || !copyAttributes(old_path, fd))
        return false;
    // The kernel quietly drops a set-group-ID bit that the owner may not have.
    struct stat now {};
    return fstat(fd, &now) == 0 && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

std::string folderOf(const std::string &path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

// The owner of the folder holding path when that folder is sticky and anyone may write to it
// (/tmp); nullopt for any other folder.
std::optional<uid_t> sharedFolderOwner(const std::string &path) {
    struct stat folder {};
    if (stat(folderOf(path).c_str(), &folder) != 0 || !(folder.st_mode & S_ISVTX) ||
        !(folder.st_mode & S_IWOTH))
        return std::nullopt;
    return folder.st_uid;
}

// Whether a file of owner in path's folder may be saved through, by the kernel's own rule
// for links and files it would create: in a shared sticky folder, only the user's own or the
// folder owner's; anyone else may have planted it there.
bool trusted(const std::string &path, uid_t owner) {
    const std::optional<uid_t> folder_owner = sharedFolderOwner(path);
    return !folder_owner || owner == geteuid() || owner == *folder_owner;
}

// The file a chain of symbolic links ends at, whether or not it exists; nullopt for a loop,
// a chain longer than the system follows, or a link that is not trusted.
std::optional<std::string> linkTarget(std::string path) {
    for (int depth = 0; depth <= 40; ++depth) {
        struct stat link {};
        if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
            return path;
        if (!trusted(path, link.st_uid))
            return std::nullopt;
        std::array<char, PATH_MAX> target{};
        const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            return std::nullopt;
        const std::filesystem::path next(std::string(target.data(), std::size_t(n)));
        path = next.is_absolute() ? next.string()
                                  : (std::filesystem::path(path).parent_path() / next).string();
    }
    return std::nullopt;
}

// A new file beside path, renamed over it once it holds the whole text. Nothing when the new
// file cannot have all the old one has: the caller then writes in place.
std::optional<SaveResult> replaceFile(const std::string &path, const struct stat *old,
                                      const std::string &text) {
    const std::filesystem::path target(path);
    // ".NAME.XXXXXX", with NAME cut so that the whole stays within a name's limit.
    constexpr std::size_t room = NAME_MAX - std::char_traits<char>::length("..XXXXXX");
    const std::string leaf = target.filename().string().substr(0, room);
    std::string name = (target.parent_path() / ("." + leaf + ".XXXXXX"));
    UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid())
        return SaveResult::CantOpen;
    if (old && !keepsEverything(path, *old, fd.get())) {
        fd.reset();
        unlink(name.c_str());
        return std::nullopt;
    }
    if (!old) {
        // mkostemp makes 0600; a new list gets the usual modes.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd.get(), 0666 & ~mask);
    }
    const bool written = writeAll(fd.get(), text) && fsync(fd.get()) == 0;
    const bool closed = fd.reset() == 0;
    if (!written || !closed || rename(name.c_str(), path.c_str()) != 0) {
        unlink(name.c_str());
        return SaveResult::WriteFailed;
    }
    return SaveResult::Saved;
}

// Overwrites the regular file at path with text. Room for the text is reserved first, so that a
// full disk stops the save before it has changed anything; a write that fails all the same
// (a file system that cannot keep a reservation) puts the old bytes and length back. A file
// the user may write but not read is written all the same, with no old bytes to put back.
SaveResult rewriteFile(const std::string &path, const std::string &text) {
    UniqueFd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    const bool readable = fd.valid();
    if (!readable && errno == EACCES)
        fd.reset(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return SaveResult::CantOpen;
    std::string old;
    if (readable && !readAll(fd.get(), old))
        return SaveResult::WriteFailed;
    const off_t old_size = opened.st_size;
    // posix_fallocate writes the room out itself where the file system cannot reserve it.
    if (!text.empty() && posix_fallocate(fd.get(), 0, static_cast<off_t>(text.size())) != 0) {
        // A reservation that failed part way may have lengthened the file.
        struct stat now {};
        const bool kept = fstat(fd.get(), &now) == 0 &&
                          (now.st_size == old_size || ftruncate(fd.get(), old_size) == 0);
        return kept ? SaveResult::WriteFailed : SaveResult::Damaged;
    }
    if (writeAll(fd.get(), text) && ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
        fsync(fd.get()) == 0)
        return fd.reset() == 0 ? SaveResult::Saved : SaveResult::Damaged;
    if (!readable)
        return SaveResult::Damaged;
    // The old bytes still own their blocks: putting them back needs no new room.
    const bool restored =
        writeAll(fd.get(), old) && ftruncate(fd.get(), old_size) == 0 && fsync(fd.get()) == 0;
    return restored ? SaveResult::WriteFailed : SaveResult::Damaged;
}

} // namespace

SaveResult saveListFile(const std::string &path, const std::string &text) {
    const std::optional<std::string> followed = linkTarget(path);
    if (!followed)
        return SaveResult::CantOpen;
    const std::string &target = *followed;
    const std::string folder = folderOf(target);
    struct stat old {};
    const bool exists = lstat(target.c_str(), &old) == 0;
    // A read-only list stays as it is, though its folder would let a new file take its place
    // (root may write it, as any file). Only a regular file can take a list safely, and in a
    // shared sticky folder only one that no stranger could have put there.
    if (exists &&
        (!S_ISREG(old.st_mode) || faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 ||
         !trusted(target, old.st_uid)))
        return SaveResult::CantOpen;
    const bool replace = faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0 &&
                         (!exists || (old.st_nlink == 1 && old.st_uid == geteuid()));
    if (replace)
        if (const std::optional<SaveResult> result =
                replaceFile(target, exists ? &old : nullptr, text))
            return *result;
    return rewriteFile(target, text);
}

std::string whyNotWritable(const std::string &path, bool list) {
    // A list is saved by saveListFile's rules, which follow links themselves.
    const std::optional<std::string> followed = list ? linkTarget(path) : path;
    if (!followed) {
        struct stat any {};
        return stat(path.c_str(), &any) != 0 && errno == ELOOP
                   ? std::strerror(ELOOP)
                   : "a link that another user put in a shared folder";
    }
    const std::string &target = *followed;
    struct stat old {};
    if (stat(target.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return std::strerror(EISDIR);
        if (list && !S_ISREG(old.st_mode))
            return "not a regular file";
        if (list && !trusted(target, old.st_uid))
            return "a file that another user put in a shared folder";
        return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 ? ""
                                                                          : std::strerror(errno);
    }
    if (errno != ENOENT)
        return std::strerror(errno);
    // A new file needs a folder that the user may write and search.
    return faccessat(AT_FDCWD, folderOf(target).c_str(), W_OK | X_OK, AT_EACCESS) == 0
               ? ""
               : std::strerror(errno);
}

std::string formatListFile(const std::vector<ListMessage> &messages, bool autorepeat,
                           bool sendonint) {
    std::string text = std::string(LIST_HEADER) + " V2\n";
    for (const ListMessage &message : messages) {
        std::array<char, 16> delay{};
        std::snprintf(delay.data(), delay.size(), "%04x", message.delay);
        text += '$';
        text += message.address;
        text += message.rw == "W" ? ",W," : ",R,";
        text += message.stop ? "Y,$" : "N,$";
        text += delay.data();
        text += ',';
        text += message.data;
        text += '\n';
    }
    text += autorepeat ? "AutoRepeat = ON\n" : "AutoRepeat = OFF\n";
    text += sendonint ? "SendOnInt = ON\n" : "SendOnInt = OFF\n";
    text += "End of Sequence\n";
    return text;
}

bool ListFileParser::feed(const char *data, std::size_t length) {
    std::string_view rest(data, length);
    while (stage_ != Stage::Done && !rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view piece = rest.substr(0, end);
        if (!overlong_) {
            const std::size_t room = MAX_LINE_KEPT - pending_.size();
            pending_.append(piece.substr(0, room));
            if (piece.size() > room) {
                overlong_ = true;
                line(pending_);
                pending_.clear();
                if (header_ok_)
                    note("longer than 254 characters: the rest of the line is not read");
            }
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
        if (!overlong_)
            line(pending_);
        pending_.clear();
        overlong_ = false;
    }
    // What follows the end line is never read; a save would lose it, so it is told once.
    if (stage_ == Stage::Done && ended_ && !tail_noted_ && !rest.empty()) {
        tail_noted_ = true;
        ++line_number_;
        note("follows \"End of Sequence\": not read, nor any line after it");
    }
    return stage_ != Stage::Done || (ended_ && !tail_noted_);
}

void ListFileParser::finish() {
    if (stage_ != Stage::Done && !pending_.empty())
        line(pending_);
    pending_.clear();
    stage_ = Stage::Done;
}

void ListFileParser::note(std::string why) {
    result_.notes.push_back({line_number_, std::move(why)});
}

void ListFileParser::line(std::string_view text) {
    ++line_number_;
    text = text.substr(0, text.find('\0'));
    switch (stage_) {
    case Stage::Header:
        header_ok_ = startsWith(text, LIST_HEADER);
        stage_ = header_ok_ ? Stage::Messages : Stage::Done;
        break;
    case Stage::Messages:
        if (startsWith(text, "$")) {
            message(text);
            break;
        }
        stage_ = Stage::Options;
        if (!option(text))
            note(std::string(text.empty() ? "an empty line" : "not a message line") +
                 ": skipped, and the message lines end here");
        break;
    case Stage::Options:
        if (startsWith(text, "$"))
            note("a message line after the message lines ended: skipped");
        else if (!option(text))
            note(text.empty() ? "an empty line: skipped"
                              : "neither a message, an option nor the end line: skipped");
        break;
    case Stage::Done:
        break;
    }
}

void ListFileParser::message(std::string_view text) {
    if (result_.messages.size() >= static_cast<std::size_t>(LIST_ROWS)) {
        ++result_.dropped;
        note("a message line past the 50 that a list holds: skipped");
        return;
    }
    ListMessage message;
    message.rw = contains(text, ",W,") ? "W" : "R";
    message.stop = !contains(text, ",N,");
    const std::string_view address = text.substr(1, text.find(',') - 1);
    message.address = std::string(address.substr(0, 2));

    // The delay is the four characters after the first ",$"; a line without them has delay
    // 0 and no data. The data runs from after the comma that follows the delay.
    const std::size_t mark = text.find(",$");
    std::string_view rest; // after the data's last comma
    bool cut = false;
    if (mark != std::string_view::npos && text.size() >= mark + 6) {
        message.delay = leadingHex(text.substr(mark + 2, 4));
        const std::string_view field = text.substr(std::min(text.size(), mark + 7));
        std::string_view data = throughLastComma(field);
        rest = field.substr(data.size());
        cut = data.size() > MAX_DATA_CHARS;
        if (cut)
            data = throughLastComma(data.substr(0, MAX_DATA_CHARS)); // the first 32 groups
        message.data = std::string(data);
    }
    noteOddities(text, mark, rest, cut, message);
    result_.messages.push_back(std::move(message));
}

void ListFileParser::noteOddities(std::string_view text, std::size_t mark, std::string_view rest,
                                  bool cut, const ListMessage &message) {
    // The fields as the writer lays them out, to compare with what the reader's rules took.
    std::vector<std::string_view> fields;
    for (std::string_view left = text.substr(1);;) {
        const std::size_t comma = left.find(',');
        fields.push_back(left.substr(0, comma));
        if (comma == std::string_view::npos || fields.size() == 3)
            break;
        left.remove_prefix(comma + 1);
    }
    fields.resize(3);
    const auto quoted = [](std::string_view field) { return "'" + std::string(field) + "'"; };
    if (fields[0].size() > 2)
        note("the address " + quoted(fields[0]) + " is read as " + quoted(message.address));
    // The reader looks for ",W," and ",N," anywhere in the line.
    if (fields[1] != message.rw)
        note("the direction " + quoted(fields[1]) +
             (fields[1] == "W" || fields[1] == "R" ? " is" : " is neither W nor R:") +
             (message.rw == "W" ? " read as W, a write (\",W,\" stands further on)"
                                : " read as R, a read"));
    const std::string stop = message.stop ? "Y" : "N";
    if (fields[2] != stop)
        note("the Stop " + quoted(fields[2]) +
             (fields[2] == "Y" || fields[2] == "N" ? " is" : " is neither Y nor N:") +
             (message.stop ? " read as Y" : " read as N (\",N,\" stands further on)"));
    if (mark == std::string_view::npos || text.size() < mark + 6) {
        note("no delay of four digits after \",$\": read with delay 0 and no data");
        return;
    }
    const std::string_view delay = text.substr(mark + 2, 4);
    if (std::any_of(delay.begin(), delay.end(), [](char c) { return hexDigitValue(c) < 0; })) {
        std::array<char, 16> value{};
        std::snprintf(value.data(), value.size(), "%04x", message.delay);
        note("the delay " + quoted(delay) + " holds a character that is not a hex digit: read " +
             "as " + value.data() + " (" + std::to_string(message.delay) + " ms)");
    }
    if (cut)
        note("the data holds more than 32 bytes: only the first 32 are read");
    // A line end's carriage return or blanks are nothing lost.
    if (rest.find_first_not_of(" \t\r") != std::string_view::npos)
        note("the text " + quoted(rest) + " after the data's last comma is not read");
}

bool ListFileParser::option(std::string_view text) {
    if (startsWith(text, "AutoRepeat"))
        result_.autorepeat = contains(text, "ON") ? 1 : 0;
    else if (startsWith(text, "SendOnInt"))
        result_.sendonint = contains(text, "ON") ? 1 : 0;
    else if (startsWith(text, "End of Sequence"))
        stage_ = Stage::Done, ended_ = true;
    else
        return false;
    return true;
}

ListFileStatus parseListText(std::string_view text, ListFile &out) {
    ListFileParser parser;
    parser.feed(text.data(), text.size());
    parser.finish();
    out = parser.result();
    return parser.status();
}

ListFileStatus readListFile(std::FILE *in, ListFile &out) {
    ListFileParser parser;
    std::array<char, 4096> buffer{};
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0 && !parser.feed(buffer.data(), n))
            break;
        if (n < buffer.size()) {
            if (std::ferror(in))
                return ListFileStatus::ReadError;
            break;
        }
    }
    parser.finish();
    out = parser.result();
    return parser.status();
}
