// libtavro-i2cdev.so: loaded into a program by tavro-i2c exec, it makes /dev/i2c-N (and
// /dev/i2c/N) the bus that exec serves. Opening the path connects to exec's socket and gives
// the connection as the descriptor, so close, dup, fork and exec keep their meaning; the
// i2c-dev calls on such a descriptor become requests on it, and stat and its kin describe the
// path and the descriptor as the character device they stand for. Every other path and
// descriptor goes to the C library untouched, and in a process whose environment names no
// door the library does nothing at all.
#include "wire.h"

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace i2cdev;

namespace {

// The doors the environment names: TAVRO_I2CDEV="BUS=SOCKET[:BUS=SOCKET]...".
struct Door {
    unsigned bus;
    char socket[sizeof(sockaddr_un::sun_path)];
};
constexpr int MAX_DOORS = 16;
Door doors[MAX_DOORS];
int door_count = 0;
// The major number of i2c-dev's character devices.
constexpr unsigned I2C_MAJOR_NUMBER = 89;

// Threads that share a descriptor take turns, so that each reads its own reply.
pthread_mutex_t exchange_lock = PTHREAD_MUTEX_INITIALIZER;

// A child forked while another thread was in an exchange starts with the turn free.
void freeTurnInChild() {
    pthread_mutex_init(&exchange_lock, nullptr);
}

__attribute__((constructor)) void readDoors() {
    const char *named = std::getenv("TAVRO_I2CDEV");
    if (named && *named)
        pthread_atfork(nullptr, nullptr, freeTurnInChild);
    while (named && *named && door_count < MAX_DOORS) {
        char *end = nullptr;
        const unsigned long bus = std::strtoul(named, &end, 10);
        if (end == named || *end != '=' || bus > 0xfffff)
            return;
        const char *path = end + 1;
        const std::size_t length = std::strcspn(path, ":");
        if (length == 0 || length >= sizeof doors[0].socket)
            return;
        doors[door_count].bus = static_cast<unsigned>(bus);
        std::memcpy(doors[door_count].socket, path, length);
        doors[door_count].socket[length] = '\0';
        ++door_count;
        named = path + length + (path[length] == ':');
    }
}

// The door of a device path, "/dev/i2c-N" or "/dev/i2c/N" with N in decimal; null if none.
const Door *doorOfPath(const char *path) {
    if (door_count == 0 || path == nullptr)
        return nullptr;
    const char *number;
    if (std::strncmp(path, "/dev/i2c-", 9) == 0)
        number = path + 9;
    else if (std::strncmp(path, "/dev/i2c/", 9) == 0)
        number = path + 9;
    else
        return nullptr;
    if (*number < '0' || *number > '9' || (number[0] == '0' && number[1] != '\0'))
        return nullptr;
    char *end = nullptr;
    const unsigned long bus = std::strtoul(number, &end, 10);
    if (*end != '\0')
        return nullptr;
    for (int i = 0; i < door_count; ++i)
        if (doors[i].bus == bus)
            return &doors[i];
    return nullptr;
}

// The door a descriptor is connected to; null for every other descriptor. errno is kept: the
// call it stands in front of may succeed.
const Door *doorOfFd(int fd) {
    if (door_count == 0)
        return nullptr;
    const int saved = errno;
    sockaddr_un peer{};
    socklen_t size = sizeof peer;
    const bool unix_socket = getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
                             peer.sun_family == AF_UNIX && size > offsetof(sockaddr_un, sun_path);
    errno = saved;
    if (!unix_socket)
        return nullptr;
    const std::size_t length =
        strnlen(peer.sun_path, std::min<std::size_t>(size - offsetof(sockaddr_un, sun_path),
                                                     sizeof peer.sun_path));
    for (int i = 0; i < door_count; ++i)
        if (std::strlen(doors[i].socket) == length &&
            std::memcmp(doors[i].socket, peer.sun_path, length) == 0)
            return &doors[i];
    return nullptr;
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static const auto real_##name = real<decltype(&name)>(#name)

int connectDoor(const Door &door, int flags) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, door.socket, sizeof door.socket);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        errno = ENODEV; // the adapter's door has gone away
        return -1;
    }
    return fd;
}

bool waitFor(int fd, short events) {
    pollfd pfd{fd, events, 0};
    while (poll(&pfd, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

bool sendAll(int fd, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR ||
                ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT)))
                continue;
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = recv(fd, data, size, 0);
        if (got == 0)
            return false;
        if (got < 0) {
            // A signal does not cut a transaction short: its reply must not be left for the
            // next request to take.
            if (errno == EINTR ||
                ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLIN)))
                continue;
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Sends the request and waits for its reply; false (errno ENODEV) when the door is gone.
bool exchange(int fd, const Request &request, Reply &reply) {
    const std::vector<std::uint8_t> frame = encodeRequest(request);
    pthread_mutex_lock(&exchange_lock);
    std::uint8_t head[4];
    std::vector<std::uint8_t> body;
    bool ok = sendAll(fd, frame.data(), frame.size()) && receiveAll(fd, head, sizeof head);
    if (ok) {
        body.resize(frameLength(head));
        ok = body.size() <= MAX_FRAME_BODY && receiveAll(fd, body.data(), body.size());
    }
    pthread_mutex_unlock(&exchange_lock);
    std::optional<Reply> decoded;
    if (ok)
        decoded = decodeReply(body.data(), body.size());
    if (!decoded) {
        errno = ENODEV;
        return false;
    }
    reply = std::move(*decoded);
    return true;
}

// The result of a call: its value, or -1 with errno.
long finish(std::int64_t result) {
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return static_cast<long>(result);
}

long fail(int error) {
    errno = error;
    return -1;
}

long setting(int fd, unsigned long code, unsigned long value, Reply &reply) {
    Request request;
    request.op = Op::Setting;
    request.code = static_cast<std::uint32_t>(code);
    request.value = value;
    return exchange(fd, request, reply) ? finish(reply.result) : -1;
}

long ioctlRdwr(int fd, const i2c_rdwr_ioctl_data *arg) {
    // What i2c-dev checks as it copies the messages in.
    if (arg == nullptr)
        return fail(EFAULT);
    if (arg->msgs == nullptr || arg->nmsgs == 0 || arg->nmsgs > MAX_MESSAGES)
        return fail(EINVAL);
    Request request;
    request.op = Op::Rdwr;
    for (std::uint32_t i = 0; i < arg->nmsgs; ++i) {
        const i2c_msg &m = arg->msgs[i];
        if (m.len > MAX_MESSAGE_BYTES || (m.len > 0 && m.buf == nullptr))
            return fail(m.len > MAX_MESSAGE_BYTES ? EINVAL : EFAULT);
        WireMessage w;
        w.address = m.addr;
        w.flags = m.flags;
        w.length = m.len;
        if (m.flags & I2C_M_RECV_LEN) {
            // The buffer must hold the largest block after the extra bytes its first byte
            // asks for.
            if (!(m.flags & I2C_M_RD) || m.len < 1 || m.buf[0] < 1 ||
                m.len < m.buf[0] + I2C_SMBUS_BLOCK_MAX)
                return fail(EINVAL);
            w.data.assign(m.buf, m.buf + 1);
        } else if (!(m.flags & I2C_M_RD)) {
            w.data.assign(m.buf, m.buf + m.len);
        }
        request.messages.push_back(std::move(w));
    }
    Reply reply;
    if (!exchange(fd, request, reply))
        return -1;
    if (reply.result >= 0) {
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < arg->nmsgs; ++i) {
            const i2c_msg &m = arg->msgs[i];
            if (!(m.flags & I2C_M_RD))
                continue;
            if (at + m.len > reply.payload.size())
                return fail(EPROTO);
            std::memcpy(m.buf, reply.payload.data() + at, m.len);
            at += m.len;
        }
    }
    return finish(reply.result);
}

long ioctlSmbus(int fd, const i2c_smbus_ioctl_data *arg) {
    if (arg == nullptr)
        return fail(EFAULT);
    Request request;
    request.op = Op::Smbus;
    request.read_write = arg->read_write;
    request.command = arg->command;
    request.size = arg->size;
    const bool no_data = arg->size == I2C_SMBUS_QUICK ||
                         (arg->size == I2C_SMBUS_BYTE && arg->read_write == I2C_SMBUS_WRITE);
    // As much of the caller's data as i2c-dev copies for this size, and no more.
    const std::size_t data_size =
        arg->size == I2C_SMBUS_BYTE || arg->size == I2C_SMBUS_BYTE_DATA        ? 1
        : arg->size == I2C_SMBUS_WORD_DATA || arg->size == I2C_SMBUS_PROC_CALL ? 2
                                                                               : SMBUS_DATA_BYTES;
    const bool copies_back = arg->size == I2C_SMBUS_PROC_CALL ||
                             arg->size == I2C_SMBUS_BLOCK_PROC_CALL ||
                             arg->read_write == I2C_SMBUS_READ;
    if (!no_data) {
        if (arg->data == nullptr)
            return fail(EINVAL);
        if (!copies_back || arg->size == I2C_SMBUS_PROC_CALL ||
            arg->size == I2C_SMBUS_BLOCK_PROC_CALL || arg->size == I2C_SMBUS_I2C_BLOCK_DATA)
            std::memcpy(request.block.data(), arg->data, data_size);
    }
    Reply reply;
    if (!exchange(fd, request, reply))
        return -1;
    if (reply.result == 0 && !no_data && copies_back) {
        if (reply.payload.size() != SMBUS_DATA_BYTES)
            return fail(EPROTO);
        std::memcpy(arg->data, reply.payload.data(), data_size);
    }
    return finish(reply.result);
}

long doorIoctl(int fd, unsigned long request, void *arg) {
    Reply reply;
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
    case I2C_TENBIT:
    case I2C_PEC:
    case I2C_RETRIES:
    case I2C_TIMEOUT:
        return setting(fd, request, reinterpret_cast<unsigned long>(arg), reply);
    case I2C_FUNCS: {
        if (arg == nullptr)
            return fail(EFAULT);
        const long result = setting(fd, request, 0, reply);
        if (result == 0) {
            std::uint64_t funcs = 0;
            std::memcpy(&funcs, reply.payload.data(), std::min(sizeof funcs, reply.payload.size()));
            *static_cast<unsigned long *>(arg) = static_cast<unsigned long>(funcs);
        }
        return result;
    }
    case I2C_RDWR:
        return ioctlRdwr(fd, static_cast<const i2c_rdwr_ioctl_data *>(arg));
    case I2C_SMBUS:
        return ioctlSmbus(fd, static_cast<const i2c_smbus_ioctl_data *>(arg));
    default:
        return fail(ENOTTY); // no terminal, no other device's calls
    }
}

ssize_t doorRead(int fd, void *buffer, std::size_t count) {
    Request request;
    request.op = Op::Read;
    request.value = std::min<std::size_t>(count, MAX_MESSAGE_BYTES);
    Reply reply;
    if (!exchange(fd, request, reply))
        return -1;
    if (reply.result > 0) {
        if (static_cast<std::size_t>(reply.result) != reply.payload.size())
            return fail(EPROTO);
        std::memcpy(buffer, reply.payload.data(), reply.payload.size());
    }
    return finish(reply.result);
}

ssize_t doorWrite(int fd, const void *buffer, std::size_t count) {
    Request request;
    request.op = Op::Write;
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    request.bytes.assign(bytes, bytes + std::min<std::size_t>(count, MAX_MESSAGE_BYTES));
    Reply reply;
    return exchange(fd, request, reply) ? finish(reply.result) : -1;
}

// The character device a door stands for.
void deviceStat(const Door &door, struct stat *st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(I2C_MAJOR_NUMBER, door.bus);
    st->st_nlink = 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_blksize = 4096;
    st->st_ino = 0x7a000 + door.bus;
}

void deviceStat64(const Door &door, struct stat64 *st) {
    struct stat plain;
    deviceStat(door, &plain);
    std::memset(st, 0, sizeof *st);
    st->st_mode = plain.st_mode;
    st->st_rdev = plain.st_rdev;
    st->st_nlink = plain.st_nlink;
    st->st_uid = plain.st_uid;
    st->st_gid = plain.st_gid;
    st->st_blksize = plain.st_blksize;
    st->st_ino = plain.st_ino;
}

int deviceAccess(int mode) {
    return (mode & X_OK) ? static_cast<int>(fail(EACCES)) : 0;
}

int openDoor(const Door &door, int flags) {
    if (flags & O_DIRECTORY)
        return static_cast<int>(fail(ENOTDIR));
    return connectDoor(door, flags);
}

// The door of openat's path: an absolute path, or one relative to the working folder.
const Door *doorOfAt(int dirfd, const char *path) {
    return path && (path[0] == '/' || dirfd == AT_FDCWD) ? doorOfPath(path) : nullptr;
}

// The door of a *stat* call: the descriptor itself with AT_EMPTY_PATH, else the path.
const Door *doorOfStatAt(int dirfd, const char *path, int flags) {
    if ((flags & AT_EMPTY_PATH) && path && path[0] == '\0')
        return doorOfFd(dirfd);
    return doorOfAt(dirfd, path);
}

int modeArgument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

} // namespace

// --- opening ---

EXPORT int open(const char *path, int flags, ...) {
    REAL(open);
    if (const Door *door = doorOfPath(path))
        return openDoor(*door, flags);
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return real_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    REAL(open64);
    if (const Door *door = doorOfPath(path))
        return openDoor(*door, flags);
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return real_open64(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    REAL(openat);
    if (const Door *door = doorOfAt(dirfd, path))
        return openDoor(*door, flags);
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return real_openat(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    REAL(openat64);
    if (const Door *door = doorOfAt(dirfd, path))
        return openDoor(*door, flags);
    va_list args;
    va_start(args, flags);
    const int mode = modeArgument(flags, args);
    va_end(args);
    return real_openat64(dirfd, path, flags, mode);
}

// The fortified C library's checked forms.
extern "C" int __open_2(const char *, int);
extern "C" int __open64_2(const char *, int);
extern "C" int __openat_2(int, const char *, int);
extern "C" int __openat64_2(int, const char *, int);

EXPORT int __open_2(const char *path, int flags) {
    REAL(__open_2);
    const Door *door = doorOfPath(path);
    return door ? openDoor(*door, flags) : real___open_2(path, flags);
}

EXPORT int __open64_2(const char *path, int flags) {
    REAL(__open64_2);
    const Door *door = doorOfPath(path);
    return door ? openDoor(*door, flags) : real___open64_2(path, flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    REAL(__openat_2);
    const Door *door = doorOfAt(dirfd, path);
    return door ? openDoor(*door, flags) : real___openat_2(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    REAL(__openat64_2);
    const Door *door = doorOfAt(dirfd, path);
    return door ? openDoor(*door, flags) : real___openat64_2(dirfd, path, flags);
}

namespace {

// fopen's modes as open's flags: "r" and "w" and "a", with "+" for both ways, "e" for
// close-on-exec.
FILE *openDoorStream(const Door &door, const char *mode) {
    const bool both = std::strchr(mode, '+') != nullptr;
    const int flags = (both             ? O_RDWR
                       : mode[0] == 'r' ? O_RDONLY
                                        : O_WRONLY) |
                      (std::strchr(mode, 'e') ? O_CLOEXEC : 0);
    const int fd = openDoor(door, flags);
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, mode);
    if (stream == nullptr)
        close(fd);
    return stream;
}

} // namespace

EXPORT FILE *fopen(const char *path, const char *mode) {
    REAL(fopen);
    const Door *door = doorOfPath(path);
    return door ? openDoorStream(*door, mode) : real_fopen(path, mode);
}

EXPORT FILE *fopen64(const char *path, const char *mode) {
    REAL(fopen64);
    const Door *door = doorOfPath(path);
    return door ? openDoorStream(*door, mode) : real_fopen64(path, mode);
}

// --- the calls on a door's descriptor ---

EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    REAL(ioctl);
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (doorOfFd(fd))
        return static_cast<int>(doorIoctl(fd, request, arg));
    return real_ioctl(fd, request, arg);
}

EXPORT ssize_t read(int fd, void *buffer, std::size_t count) {
    REAL(read);
    return doorOfFd(fd) ? doorRead(fd, buffer, count) : real_read(fd, buffer, count);
}

EXPORT ssize_t write(int fd, const void *buffer, std::size_t count) {
    REAL(write);
    return doorOfFd(fd) ? doorWrite(fd, buffer, count) : real_write(fd, buffer, count);
}

// --- what programs ask before and after opening ---

EXPORT int stat(const char *path, struct stat *st) noexcept {
    REAL(stat);
    if (const Door *door = doorOfPath(path))
        return deviceStat(*door, st), 0;
    return real_stat(path, st);
}

EXPORT int stat64(const char *path, struct stat64 *st) noexcept {
    REAL(stat64);
    if (const Door *door = doorOfPath(path))
        return deviceStat64(*door, st), 0;
    return real_stat64(path, st);
}

EXPORT int lstat(const char *path, struct stat *st) noexcept {
    REAL(lstat);
    if (const Door *door = doorOfPath(path))
        return deviceStat(*door, st), 0;
    return real_lstat(path, st);
}

EXPORT int lstat64(const char *path, struct stat64 *st) noexcept {
    REAL(lstat64);
    if (const Door *door = doorOfPath(path))
        return deviceStat64(*door, st), 0;
    return real_lstat64(path, st);
}

EXPORT int fstat(int fd, struct stat *st) noexcept {
    REAL(fstat);
    if (const Door *door = doorOfFd(fd))
        return deviceStat(*door, st), 0;
    return real_fstat(fd, st);
}

EXPORT int fstat64(int fd, struct stat64 *st) noexcept {
    REAL(fstat64);
    if (const Door *door = doorOfFd(fd))
        return deviceStat64(*door, st), 0;
    return real_fstat64(fd, st);
}

EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    REAL(fstatat);
    if (const Door *door = doorOfStatAt(dirfd, path, flags))
        return deviceStat(*door, st), 0;
    return real_fstatat(dirfd, path, st, flags);
}

EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
    REAL(fstatat64);
    if (const Door *door = doorOfStatAt(dirfd, path, flags))
        return deviceStat64(*door, st), 0;
    return real_fstatat64(dirfd, path, st, flags);
}

// The C library's older entry points, which programs built against it before 2.33 call.
extern "C" int __xstat(int, const char *, struct stat *);
extern "C" int __lxstat(int, const char *, struct stat *);
extern "C" int __fxstat(int, int, struct stat *);
extern "C" int __xstat64(int, const char *, struct stat64 *);
extern "C" int __lxstat64(int, const char *, struct stat64 *);
extern "C" int __fxstat64(int, int, struct stat64 *);

EXPORT int __xstat(int version, const char *path, struct stat *st) {
    REAL(__xstat);
    if (const Door *door = doorOfPath(path))
        return deviceStat(*door, st), 0;
    return real___xstat(version, path, st);
}

EXPORT int __lxstat(int version, const char *path, struct stat *st) {
    REAL(__lxstat);
    if (const Door *door = doorOfPath(path))
        return deviceStat(*door, st), 0;
    return real___lxstat(version, path, st);
}

EXPORT int __fxstat(int version, int fd, struct stat *st) {
    REAL(__fxstat);
    if (const Door *door = doorOfFd(fd))
        return deviceStat(*door, st), 0;
    return real___fxstat(version, fd, st);
}

EXPORT int __xstat64(int version, const char *path, struct stat64 *st) {
    REAL(__xstat64);
    if (const Door *door = doorOfPath(path))
        return deviceStat64(*door, st), 0;
    return real___xstat64(version, path, st);
}

EXPORT int __lxstat64(int version, const char *path, struct stat64 *st) {
    REAL(__lxstat64);
    if (const Door *door = doorOfPath(path))
        return deviceStat64(*door, st), 0;
    return real___lxstat64(version, path, st);
}

EXPORT int __fxstat64(int version, int fd, struct stat64 *st) {
    REAL(__fxstat64);
    if (const Door *door = doorOfFd(fd))
        return deviceStat64(*door, st), 0;
    return real___fxstat64(version, fd, st);
}

EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *st) noexcept {
    REAL(statx);
    const Door *door = doorOfStatAt(dirfd, path, flags);
    if (!door)
        return real_statx(dirfd, path, flags, mask, st);
    struct stat plain;
    deviceStat(*door, &plain);
    std::memset(st, 0, sizeof *st);
    st->stx_mask = STATX_BASIC_STATS;
    st->stx_mode = static_cast<std::uint16_t>(plain.st_mode);
    st->stx_nlink = 1;
    st->stx_uid = plain.st_uid;
    st->stx_gid = plain.st_gid;
    st->stx_ino = plain.st_ino;
    st->stx_blksize = 4096;
    st->stx_rdev_major = I2C_MAJOR_NUMBER;
    st->stx_rdev_minor = door->bus;
    return 0;
}

EXPORT int access(const char *path, int mode) noexcept {
    REAL(access);
    return doorOfPath(path) ? deviceAccess(mode) : real_access(path, mode);
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
    REAL(faccessat);
    return doorOfAt(dirfd, path) ? deviceAccess(mode) : real_faccessat(dirfd, path, mode, flags);
}

EXPORT int euidaccess(const char *path, int mode) noexcept {
    REAL(euidaccess);
    return doorOfPath(path) ? deviceAccess(mode) : real_euidaccess(path, mode);
}

EXPORT int eaccess(const char *path, int mode) noexcept {
    REAL(eaccess);
    return doorOfPath(path) ? deviceAccess(mode) : real_eaccess(path, mode);
}

EXPORT char *realpath(const char *path, char *resolved) noexcept {
    REAL(realpath);
    if (!doorOfPath(path))
        return real_realpath(path, resolved);
    // The device's path is its own real path: no link leads elsewhere.
    if (resolved == nullptr)
        return strdup(path);
    std::strncpy(resolved, path, PATH_MAX - 1);
    resolved[PATH_MAX - 1] = '\0';
    return resolved;
}

EXPORT char *canonicalize_file_name(const char *path) noexcept {
    REAL(canonicalize_file_name);
    return doorOfPath(path) ? strdup(path) : real_canonicalize_file_name(path);
}
