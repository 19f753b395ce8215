// The Python module tavro: an SMBus class with smbus2's methods, names and return types, over
// the bus library, so that drivers written for smbus2 run over a Tavro adapter unchanged.
#include "bus_status.h"
#include "register_map.h"
#include "smbus.h"
#include "tavro_bus.h"
#include "tavro_link.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pythread.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr int I2C_M_RD = 1; // an i2c_msg's flag for a read, as in Linux's i2c.h

// Each bus has its own replies, but the stop check that lets Python's signals end a wait is
// the process's: every exchange, on whichever bus, goes through here one at a time.
std::mutex &linkMutex() {
    static std::mutex mutex;
    return mutex;
}

// Python runs signal handlers on its main thread only, and only while holding the GIL. The
// exception a handler raised during a wait is kept here until the wait has ended.
unsigned long main_thread = 0;
PyObject *stop_type = nullptr;
PyObject *stop_value = nullptr;
PyObject *stop_traceback = nullptr;

class SMBus;
// The bus whose call this thread is in, holding the link: a signal handler or the garbage
// collector may run inside that call's wait, and must not wait for the lock that it holds.
thread_local SMBus *calling = nullptr;
// A handler closed the bus whose call it interrupted: the wait ends, and the link is closed
// as the call leaves it.
thread_local bool close_asked = false;

int checkPythonSignals() {
    if (PyThread_get_thread_ident() != main_thread)
        return 0;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0)
        return close_asked ? SIGTERM : 0;
    Py_XDECREF(stop_type);
    Py_XDECREF(stop_value);
    Py_XDECREF(stop_traceback);
    PyErr_Fetch(&stop_type, &stop_value, &stop_traceback);
    return SIGINT;
}

[[noreturn]] void raiseOsError(int number, const std::string &text) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(number, text).ptr());
    throw py::error_already_set();
}

int errorNumber(const BusResult &result) {
    switch (result.status) {
    case BusStatus::NoPort:
        return result.system_errno != 0 ? result.system_errno : EIO;
    case BusStatus::Nak:
        return ENXIO;
    case BusStatus::Busy:
    case BusStatus::ArbitrationLost:
        return EAGAIN; // what smbus2 drivers retry on, for a busy bus too
    case BusStatus::Interrupted:
        return EIO; // a KeyboardInterrupt is raised instead where Python saw the signal
    default:
        return busErrno(result.status);
    }
}

// A message as smbus2's i2c_msg shows it: address, flags, length and its bytes.
struct Message {
    int addr = 0;
    int flags = 0;
    std::vector<std::uint8_t> buf;

    py::bytes bytes() const {
        return py::bytes(reinterpret_cast<const char *>(buf.data()), buf.size());
    }
};

Message readMessage(int address, int length) {
    // An i2c_msg's length is 16 bits, as in Linux; the adapter's own limit applies when sent.
    if (length < 0 || length > 0xffff)
        throw py::value_error("a read's length must be in range(0, 65536)");
    return Message{address, I2C_M_RD, std::vector<std::uint8_t>(static_cast<std::size_t>(length))};
}

// Bytes from a list of values, bytes or a str of characters below 256, as bytes() takes them.
std::vector<std::uint8_t> byteList(const py::object &data) {
    py::object source = data;
    if (py::isinstance<py::str>(data))
        source = py::module_::import("builtins")
                     .attr("map")(py::module_::import("builtins").attr("ord"), data);
    const std::string bytes = py::bytes(py::module_::import("builtins").attr("bytes")(source));
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

Message writeMessage(int address, const py::object &data) {
    return Message{address, 0, byteList(data)};
}

void checkByte(int value, const char *what) {
    if (value < 0 || value > 0xff)
        throw py::value_error(std::string(what) + " must be in range(0, 256)");
}

void checkBlock(std::size_t length) {
    if (length > SMBUS_BLOCK_MAX)
        throw py::value_error("a block holds at most 32 bytes");
}

// A block's bytes. Only a sized object is a block, as for smbus2, which asks for len() first:
// bytes() would take an int as that many zero bytes.
std::vector<std::uint8_t> blockBytes(const py::object &data) {
    py::len(data);
    std::vector<std::uint8_t> bytes = byteList(data);
    checkBlock(bytes.size());
    return bytes;
}

// The memory an smbus2 i2c_msg's buf points to, reached through an object that exports it
// and that the message itself keeps alive: its raw pointer is never followed.
struct BufferWindow {
    Py_buffer view{};
    bool held = false;
    std::uint8_t *start = nullptr;
    std::size_t size = 0; // the bytes from start to the end of the exporting object

    BufferWindow() = default;
    BufferWindow(const BufferWindow &) = delete;
    BufferWindow &operator=(const BufferWindow &) = delete;
    ~BufferWindow() {
        if (held)
            PyBuffer_Release(&view);
    }
};

// Searches what a ctypes object keeps alive (its _objects: dicts and tuples of objects) for
// a buffer that holds address.
bool findExporter(const py::handle &kept, std::uintptr_t address, bool writable,
                  BufferWindow &window, int depth) {
    if (depth > 4 || kept.is_none())
        return false;
    if (py::isinstance<py::dict>(kept)) {
        for (const auto &item : py::reinterpret_borrow<py::dict>(kept))
            if (findExporter(item.second, address, writable, window, depth + 1))
                return true;
        return false;
    }
    if (py::isinstance<py::tuple>(kept) || py::isinstance<py::list>(kept)) {
        for (const py::handle &item : kept)
            if (findExporter(item, address, writable, window, depth + 1))
                return true;
        return false;
    }
    if (!PyObject_CheckBuffer(kept.ptr()))
        return false;
    Py_buffer view{};
    if (PyObject_GetBuffer(kept.ptr(), &view, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0) {
        PyErr_Clear(); // an immutable object is no place for bytes read
        return false;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(view.buf);
    const auto length = static_cast<std::uintptr_t>(view.len);
    if (address < begin || address >= begin + length) {
        PyBuffer_Release(&view);
        return false;
    }
    window.view = view;
    window.held = true;
    window.start = static_cast<std::uint8_t *>(view.buf) + (address - begin);
    window.size = static_cast<std::size_t>(begin + length - address);
    return true;
}

bool findWindow(const py::handle &message, bool writable, BufferWindow &window) {
    const py::module_ ctypes = py::module_::import("ctypes");
    py::object address;
    try {
        address = ctypes.attr("cast")(message.attr("buf"), ctypes.attr("c_void_p")).attr("value");
    } catch (const py::error_already_set &) {
        return false;
    }
    if (address.is_none() || !py::hasattr(message, "_objects"))
        return false;
    return findExporter(message.attr("_objects"), address.cast<std::uintptr_t>(), writable, window,
                        0);
}

bool isSmbus2Message(const py::handle &object) {
    const py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("smbus2"))
        return false; // a message of smbus2 cannot exist before smbus2 is imported
    const py::object smbus2 = modules["smbus2"];
    return py::hasattr(smbus2, "i2c_msg") && object.get_type().is(smbus2.attr("i2c_msg")) &&
           py::isinstance(object, py::module_::import("ctypes").attr("Structure"));
}

// One message of a combined transaction, checked before anything is sent; index counts from 0.
I2cMessage takeMessage(const py::handle &object, std::size_t index) {
    const std::string which = "message " + std::to_string(index + 1) + ": ";
    I2cMessage message;
    if (py::isinstance<Message>(object)) {
        const Message &ours = object.cast<const Message &>();
        message.address = ours.addr;
        message.read = (ours.flags & I2C_M_RD) != 0;
        message.length = static_cast<int>(ours.buf.size());
        if (!message.read)
            message.data = ours.buf;
        return message;
    }
    if (!isSmbus2Message(object))
        throw py::type_error(which + "i2c_rdwr takes tavro.i2c_msg or smbus2.i2c_msg, not " +
                             std::string(py::str(object.get_type().attr("__name__"))));
    const int flags = object.attr("flags").cast<int>();
    if ((flags & ~I2C_M_RD) != 0)
        raiseOsError(EOPNOTSUPP, which + "only the read flag (I2C_M_RD) is supported, not flags " +
                                     std::to_string(flags) + "; nothing was sent");
    message.address = object.attr("addr").cast<int>();
    message.read = flags == I2C_M_RD;
    message.length = object.attr("len").cast<int>();
    if (message.length == 0)
        return message; // a probe: no byte to take or to give back
    BufferWindow window;
    if (!findWindow(object, message.read, window))
        throw py::value_error(which + "its buf is no " +
                              std::string(message.read ? "writable " : "") +
                              "buffer that the message holds");
    if (static_cast<std::size_t>(message.length) > window.size)
        throw py::value_error(which + "len is " + std::to_string(message.length) +
                              ", but its buffer holds " + std::to_string(window.size) + " bytes");
    if (!message.read)
        message.data.assign(window.start, window.start + message.length);
    return message;
}

// A file name as Python's open() takes one: str, bytes or os.PathLike, in the file system's
// encoding; a NUL would cut the name short at the system call, so it raises ValueError.
std::string fileName(const py::object &name) {
    const std::string path = py::bytes(py::module_::import("os").attr("fsencode")(name));
    if (path.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return path;
}

class SMBus {
  public:
    SMBus(const py::object &port, const std::string &device, const py::object &rate, int clock) {
        const std::optional<Variant> variant = variantNamed(device);
        if (!variant)
            throw py::value_error("device is " + std::string(VARIANT_CHOICES) + ", not \"" +
                                  device + "\"");
        settings_.variant = *variant;
        if (!rate.is_none() && !py::isinstance<py::int_>(rate))
            throw py::type_error("rate is an int or None");
        settings_.rate = rate.is_none() ? defaultRate(*variant) : rate.cast<int>();
        settings_.khz = clock;
        const SettingsProblem problem = checkLinkSettings(settings_);
        if (problem.field != SettingsProblem::Field::None)
            throw py::value_error(problem.words);
        open(port);
    }
    SMBus(const SMBus &) = delete;
    SMBus &operator=(const SMBus &) = delete;
    ~SMBus() {
        if (calling != nullptr) {
            // Collected inside a call of this thread, which holds the lock: the reset alone,
            // which waits for nothing. This link is not the one that call waits on.
            bus_.abandon();
        } else if (_Py_IsFinalizing()) {
            // At the interpreter's exit no other thread can wait for the GIL.
            std::lock_guard<std::mutex> lock(linkMutex());
            bus_.close();
        } else {
            closeLink();
        }
    }

    void open(const py::object &port) {
        const std::string path = fileName(port);
        refuseReentry();
        closeLink();
        pec_ = 0;
        run([&] {
            path_ = path;
            return bus_.open(path, settings_);
        });
    }

    void close() {
        if (calling == this) {
            close_asked = true;
            return;
        }
        refuseReentry();
        closeLink();
        pec_ = 0;
    }

    int pec() const { return pec_; }
    void enablePec(bool enable) { pec_ = enable ? 1 : 0; }

    void writeQuick(int address, const py::object & /*force*/) {
        smbus(address, false, SmbusKind::Quick);
    }

    int readByte(int address, const py::object & /*force*/) {
        return smbus(address, true, SmbusKind::Byte)[0];
    }

    void writeByte(int address, int value, const py::object & /*force*/) {
        checkByte(value, "value");
        smbus(address, false, SmbusKind::Byte, value);
    }

    int readByteData(int address, int reg, const py::object & /*force*/) {
        return smbus(address, true, SmbusKind::ByteData, reg)[0];
    }

    void writeByteData(int address, int reg, int value, const py::object & /*force*/) {
        checkByte(value, "value");
        smbus(address, false, SmbusKind::ByteData, reg, {static_cast<std::uint8_t>(value)});
    }

    int readWordData(int address, int reg, const py::object & /*force*/) {
        return word(smbus(address, true, SmbusKind::WordData, reg));
    }

    void writeWordData(int address, int reg, int value, const py::object & /*force*/) {
        smbus(address, false, SmbusKind::WordData, reg, wordBytes(value));
    }

    int processCall(int address, int reg, int value, const py::object & /*force*/) {
        return word(smbus(address, false, SmbusKind::ProcessCall, reg, wordBytes(value)));
    }

    std::vector<std::uint8_t> readI2cBlockData(int address, int reg, int length,
                                               const py::object & /*force*/) {
        checkBlock(static_cast<std::size_t>(length < 0 ? 0 : length));
        return smbus(address, true, SmbusKind::I2cBlockData, reg, {}, length);
    }

    void writeI2cBlockData(int address, int reg, const py::object &data,
                           const py::object & /*force*/) {
        std::vector<std::uint8_t> bytes = blockBytes(data);
        smbus(address, false, SmbusKind::I2cBlockData, reg, std::move(bytes));
    }

    void writeBlockData(int address, int reg, const py::object &data,
                        const py::object & /*force*/) {
        std::vector<std::uint8_t> bytes = blockBytes(data);
        smbus(address, false, SmbusKind::BlockData, reg, std::move(bytes));
    }

    std::vector<std::uint8_t> readBlockData(int address, int reg, const py::object & /*force*/) {
        return smbus(address, true, SmbusKind::BlockData, reg);
    }

    std::vector<std::uint8_t> blockProcessCall(int address, int reg, const py::object &data,
                                               const py::object & /*force*/) {
        std::vector<std::uint8_t> bytes = blockBytes(data);
        return smbus(address, false, SmbusKind::BlockProcessCall, reg, std::move(bytes));
    }

    // Takes this module's i2c_msg and smbus2's own, as drivers import it from there; no other
    // object, however it looks: a read's bytes go only into memory the message owns.
    void i2cRdwr(const py::args &args) {
        std::vector<I2cMessage> messages;
        for (std::size_t i = 0; i < args.size(); ++i)
            messages.push_back(takeMessage(args[i], i));
        run([&] { return bus_.transfer(messages); }, messages.size() > 1);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (!messages[i].read)
                continue;
            if (py::isinstance<Message>(args[i])) {
                args[i].cast<Message &>().buf = messages[i].data;
                continue;
            }
            // Another thread may have changed the message meanwhile: its buffer is found again.
            const std::vector<std::uint8_t> &data = messages[i].data;
            BufferWindow window;
            if (findWindow(args[i], true, window))
                std::memcpy(window.start, data.data(), std::min(window.size, data.size()));
        }
    }

  private:
    static int word(const std::vector<std::uint8_t> &bytes) { return bytes[0] | bytes[1] << 8; }

    static std::vector<std::uint8_t> wordBytes(int value) {
        if (value < 0 || value > 0xffff)
            throw py::value_error("value must be in range(0, 65536)");
        return {static_cast<std::uint8_t>(value & 0xff), static_cast<std::uint8_t>(value >> 8)};
    }

    std::vector<std::uint8_t> smbus(int address, bool read, SmbusKind kind, int command = 0,
                                    std::vector<std::uint8_t> data = {}, int length = 0) {
        checkByte(command, "register");
        SmbusTransaction transaction;
        transaction.address = address;
        transaction.read = read;
        transaction.kind = kind;
        transaction.command = static_cast<std::uint8_t>(command);
        transaction.data = std::move(data);
        transaction.length = length;
        transaction.pec = pec_ != 0;
        std::vector<std::uint8_t> result;
        run([&] { return bus_.smbus(transaction, result); });
        return result;
    }

    static void refuseReentry() {
        if (calling != nullptr)
            throw std::runtime_error(
                "a signal handler cannot use a bus while the call that it interrupted holds the "
                "link; close() of that call's bus is taken, and done as the call ends");
    }

    // Runs a bus call without the GIL, then turns a failure into the exception a driver
    // expects. A link left in doubt is closed, so that a late reply cannot pass for the answer
    // to a later call; the next call opens it again, as a driver that retries expects.
    template <typename Call> void run(Call call, bool numbered = false) {
        refuseReentry();
        BusResult result;
        bool closed = false;
        bool reopening = false;
        bool asked = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(linkMutex());
            calling = this;
            close_asked = false;
            setStopCheck(checkPythonSignals);
            if (reopen_ && !bus_.isOpen()) {
                result = bus_.open(path_, settings_);
                reopening = !result.ok();
            }
            if (result.ok())
                result = call();
            setStopCheck(nullptr);
            const BusStatus s = result.status;
            asked = close_asked;
            if ((asked || linkInDoubt(s)) && bus_.isOpen()) {
                closed = true;
                if (s == BusStatus::TimedOut)
                    bus_.abandon(); // the adapter does not answer: its close would time out too
                else
                    bus_.close(s == BusStatus::Interrupted ? STOP_CLOSE_WAIT_MS
                                                           : REPLY_DEADLINE_MS);
            }
            if (asked)
                reopen_ = false;
            else if (closed)
                reopen_ = true;
            calling = nullptr;
            close_asked = false;
        }
        if (asked)
            pec_ = 0;
        if (result.ok())
            return;
        if (result.status == BusStatus::Interrupted) {
            // Only the check interrupts here, and it leaves the handler's exception.
            if (stop_type != nullptr) {
                PyErr_Restore(stop_type, stop_value, stop_traceback);
                stop_type = stop_value = stop_traceback = nullptr;
                throw py::error_already_set();
            }
            if (asked)
                raiseOsError(EBADF, "the link was closed by a signal handler during the call");
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::error_already_set();
        }
        std::string text = result.detail;
        if (reopening)
            text = "opening the link again: " + text;
        else if (numbered)
            text = "message " + std::to_string(result.message + 1) + ": " + text;
        if (closed)
            text += asked ? "; the link is closed"
                          : "; the link is closed, and the next call opens it again";
        raiseOsError(errorNumber(result), text);
    }

    // The user's close: the link stays closed until open().
    void closeLink() {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(linkMutex());
        reopen_ = false;
        if (bus_.isOpen())
            bus_.close();
    }

    TavroBus bus_;
    LinkSettings settings_;
    int pec_ = 0;
    // Under the link's lock: the port of the last open(), and whether the link was closed after
    // a failure, so that the next call opens it again.
    std::string path_;
    bool reopen_ = false;
};

// A register map over any bus object with smbus2's methods (tavro's SMBus or smbus2's own):
// registers and fields read and written by name, with the bytes the core lays out, so that
// Python and tavro-i2c put the same transactions on the bus.
class PyRegisterMap {
  public:
    explicit PyRegisterMap(const py::object &path) {
        const std::string file = fileName(path);
        if (FILE *probe = std::fopen(file.c_str(), "rb"))
            std::fclose(probe);
        else
            raiseOsError(errno, std::strerror(errno) + std::string(": '") + file + "'");
        std::string error;
        std::optional<RegisterMap> map = loadRegisterMap(file, error);
        if (!map)
            throw py::value_error(error);
        map_ = std::move(*map);
    }

    const std::string &device() const { return map_.device; }
    py::object address() const {
        return map_.address ? py::object(py::int_(*map_.address)) : py::object(py::none());
    }
    std::vector<std::string> registers() const {
        std::vector<std::string> names;
        for (const MapRegister &reg : map_.registers)
            names.push_back(reg.name);
        return names;
    }

    // As get prints it: a register as an int, a field as its value's name, else its number,
    // or a scaled field's scaled value as a float.
    py::object read(const py::object &bus, const std::string &name, const py::object &address) {
        const MapTarget target = find(name);
        if (const std::string refusal = readRefusal(target); !refusal.empty())
            throw py::value_error(refusal);
        const std::uint64_t value = readRegister(bus, *target.reg, chip(address));
        if (!target.field)
            return py::int_(value);
        const MapField &field = *target.field;
        const std::uint64_t raw = fieldRaw(field, value);
        if (const FieldValue *named = fieldValueName(field, raw))
            return py::str(named->name);
        const std::int64_t number = fieldNumber(field, raw);
        if (field.scale != 0)
            return py::float_(field.scale * static_cast<double>(field.is_signed
                                                                    ? number
                                                                    : static_cast<double>(raw)));
        return field.is_signed ? py::object(py::int_(number)) : py::object(py::int_(raw));
    }

    // value: an int, or a str with a value's name or a number; a field is read, modified and
    // written, keeping the register's other bits.
    void write(const py::object &bus, const std::string &name, const py::object &value,
               const py::object &address) {
        const MapTarget target = find(name);
        if (const std::string refusal = writeRefusal(target); !refusal.empty())
            throw py::value_error(refusal);
        if (py::isinstance<py::bool_>(value) ||
            !(py::isinstance<py::int_>(value) || py::isinstance<py::str>(value)))
            throw py::type_error("value is an int or a str");
        std::string error;
        const std::optional<std::uint64_t> raw =
            parseTargetValue(target, py::str(value).cast<std::string>(), error);
        if (!raw)
            throw py::value_error(error);
        const int at = chip(address);
        std::uint64_t word = *raw;
        if (target.field)
            word = withField(*target.field, readRegister(bus, *target.reg, at), *raw);
        const I2cMessage message = registerWriteMessage(map_, *target.reg, at, word);
        const std::vector<std::uint8_t> rest(message.data.begin() + 1, message.data.end());
        bus.attr("write_i2c_block_data")(at, message.data[0], rest);
    }

  private:
    MapTarget find(const std::string &name) const {
        std::string error;
        const std::optional<MapTarget> target = findMapTarget(map_, name, error);
        if (!target)
            throw py::value_error(error);
        return *target;
    }

    int chip(const py::object &address) const {
        if (!address.is_none()) {
            if (!py::isinstance<py::int_>(address) || py::isinstance<py::bool_>(address))
                throw py::type_error("address is an int or None");
            int overflow = 0;
            const long value = PyLong_AsLongAndOverflow(address.ptr(), &overflow);
            if (overflow || value < 0 || value > 0x7f)
                throw py::value_error("address must be in range(0, 128)");
            return static_cast<int>(value);
        }
        if (!map_.address)
            throw py::value_error(map_.file + " gives no address: pass address=");
        return *map_.address;
    }

    // One transaction: a one-byte pointer as an I2C block read, a two-byte one through
    // i2c_rdwr with the bus's own module's messages.
    std::uint64_t readRegister(const py::object &bus, const MapRegister &reg, int address) {
        const std::vector<I2cMessage> messages = registerReadMessages(map_, reg, address);
        std::vector<std::uint8_t> bytes;
        if (map_.pointer_bytes == 1) {
            bytes = bus.attr("read_i2c_block_data")(address, messages[0].data[0], reg.size)
                        .cast<std::vector<std::uint8_t>>();
        } else {
            const py::object module =
                py::module_::import("sys").attr("modules")[py::type::of(bus).attr("__module__")];
            const py::object message = module.attr("i2c_msg");
            const py::object pointer = message.attr("write")(address, messages[0].data);
            const py::object read = message.attr("read")(address, reg.size);
            bus.attr("i2c_rdwr")(pointer, read);
            for (const py::handle byte : read)
                bytes.push_back(byte.cast<std::uint8_t>());
        }
        if (bytes.size() != static_cast<std::size_t>(reg.size))
            raiseOsError(EIO, "reading " + reg.name + " gave " + std::to_string(bytes.size()) +
                                  " bytes, not " + std::to_string(reg.size));
        return registerValue(map_, bytes);
    }

    RegisterMap map_;
};

} // namespace

PYBIND11_MODULE(tavro, m) {
    m.doc() = "I2C and SMBus transactions through a Tavro I2C bus host adapter.\n\n"
              "tavro.SMBus has the methods of smbus2.SMBus, under the same names and with the\n"
              "same arguments and results, so that a driver written for smbus2 runs over a\n"
              "Tavro adapter on a serial port. Failures raise OSError with the errno a Linux\n"
              "I2C bus gives: ENXIO when the slave does not acknowledge, EAGAIN when the bus\n"
              "is busy or arbitration is lost, ETIMEDOUT when the adapter does not answer.";
    main_thread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    py::class_<Message>(m, "i2c_msg",
                        "One message of a combined transaction for :py:meth:`SMBus.i2c_rdwr`.\n\n"
                        "Made by :py:meth:`i2c_msg.read` or :py:meth:`i2c_msg.write`. After the\n"
                        "transaction, iterating a read message gives the bytes read as ints, and\n"
                        "``bytes(msg)`` gives them as bytes.")
        .def_static("read", &readMessage, py::arg("address"), py::arg("length"),
                    "Prepare a read of ``length`` bytes from a slave.\n\n"
                    ":param address: 7-bit slave address\n:type address: int\n"
                    ":param length: number of bytes to read (at most 251)\n:type length: int\n"
                    ":return: a new read message, its buffer zero-filled until read\n"
                    ":rtype: :py:class:`i2c_msg`")
        .def_static("write", &writeMessage, py::arg("address"), py::arg("buf"),
                    "Prepare a write of bytes to a slave.\n\n"
                    ":param address: 7-bit slave address\n:type address: int\n"
                    ":param buf: bytes to write: a list of ints, bytes, or a str whose\n"
                    "    characters are below 256 (at most 251)\n:type buf: list\n"
                    ":return: a new write message\n:rtype: :py:class:`i2c_msg`")
        .def_readwrite("addr", &Message::addr, "The 7-bit slave address.")
        .def_readonly("flags", &Message::flags, "1 (I2C_M_RD) for a read, 0 for a write.")
        .def_property_readonly(
            "len", [](const Message &msg) { return msg.buf.size(); }, "The number of bytes.")
        .def_property_readonly("buf", &Message::bytes, "The bytes, as bytes.")
        .def(
            "__len__", [](const Message &msg) { return msg.buf.size(); }, "The number of bytes.")
        .def("__bytes__", &Message::bytes, "The bytes: those to write, or those read.")
        .def(
            "__iter__",
            [](const Message &msg) { return py::make_iterator(msg.buf.begin(), msg.buf.end()); },
            py::keep_alive<0, 1>(), "Iterate over the bytes, as ints.")
        .def(
            "__repr__",
            [](const Message &msg) {
                return "i2c_msg(" + std::to_string(msg.addr) + "," + std::to_string(msg.flags) +
                       "," + std::string(py::repr(msg.bytes())) + ")";
            },
            "i2c_msg(address,flags,bytes), as smbus2 shows it.")
        .def(
            "__str__",
            [](const Message &msg) {
                return py::str(msg.bytes().attr("decode")("utf-8", "ignore"));
            },
            "The bytes decoded as UTF-8, undecodable ones left out.");

    const char *force_doc = ":param force: accepted for smbus2's sake; without effect, as no\n"
                            "    kernel driver shares the adapter's bus\n:type force: bool\n";
    auto doc = [force_doc](std::string text) {
        // The force argument comes last of the arguments, before the result; pybind11 keeps
        // the pointer, so the texts live as long as the module.
        static std::vector<std::unique_ptr<std::string>> texts;
        const std::size_t result = std::min(text.find(":return:"), text.find(":rtype:"));
        text.insert(std::min(result, text.size()), force_doc);
        texts.push_back(std::make_unique<std::string>(std::move(text)));
        return texts.back()->c_str();
    };
    const auto addr = py::arg("i2c_addr");
    const auto reg = py::arg("register");
    const auto force = py::arg("force") = py::none();

    static const std::string smbus_doc =
        std::string(
            "An I2C bus behind a Tavro adapter, with the methods of smbus2.SMBus.\n\n"
            "The link opens at once, as Tavro Sendral's Open Link opens it; use the object in a\n"
            "``with`` statement or call :py:meth:`close`. Every awaited reply has a deadline "
            "of\n") +
        REPLY_DEADLINE_TEXT +
        ". The interpreter's other threads run while a call waits on the line, and\n"
        "Ctrl+C ends the wait, closes the link and raises KeyboardInterrupt.\n\n"
        "After a failure the adapter reported (OSError ENXIO, EAGAIN) the link stays open.\n"
        "After one that leaves it in doubt (no answer, a refused command, a hang-up,\n"
        "Ctrl+C) the link is closed, so that a late reply is never taken for an answer,\n"
        "and the next call opens it again, on the same port with the same settings.\n\n"
        "A signal handler runs while a call waits; it may close the bus of that call (the\n"
        "link closes as the call ends), and any other use of a bus in it raises\n"
        "RuntimeError.";
    py::class_<SMBus>(m, "SMBus", smbus_doc.c_str())
        .def(py::init<const py::object &, const std::string &, const py::object &, int>(),
             py::arg("port"), py::arg("device") = "solx", py::arg("rate") = py::none(),
             py::arg("clock") = 100,
             "Open the adapter on a serial port.\n\n"
             ":param port: the adapter's serial port, e.g. ``/dev/ttyUSB0``\n"
             ":type port: str, bytes or os.PathLike\n"
             ":param device: adapter variant: ``\"sol\"``, ``\"solx\"`` or ``\"dyn\"``\n"
             ":type device: str\n"
             ":param rate: line rate in bit/s once the link is open: 19200, 57600 or 115200\n"
             "    (default 115200; a Tavro/Sol runs at 19200 only)\n:type rate: int\n"
             ":param clock: I2C clock in kHz: 23, 86, 100 or 400 (a Tavro/Sol: 100)\n"
             ":type clock: int\n"
             ":raise OSError: when the port cannot be opened or the adapter does not answer")
        .def(
            "__enter__", [](SMBus &bus) -> SMBus & { return bus; }, "Enter handler.")
        .def(
            "__exit__",
            [](SMBus &bus, const py::object &, const py::object &, const py::object &) {
                bus.close();
            },
            py::arg("exc_type"), py::arg("exc_val"), py::arg("exc_tb"),
            "Exit handler: closes the link.")
        .def("open", &SMBus::open, py::arg("port"),
             "Open the link again, on the given port, with the settings given at creation.\n\n"
             ":param port: the adapter's serial port\n:type port: str, bytes or os.PathLike")
        .def("close", &SMBus::close,
             "Close the link: the adapter closes its bus and is reset. PEC is switched off.\n"
             "Does nothing when the link is closed already.")
        .def("enable_pec", &SMBus::enablePec, py::arg("enable") = true,
             "Switch PEC (Packet Error Checking, SMBus 1.1 and later) on or off.\n\n"
             "The CRC-8 is computed here: a PEC byte is appended to each write and checked\n"
             "on each read (OSError EBADMSG on a mismatch). Quick commands and I2C block\n"
             "transfers carry none.\n\n:param enable:\n:type enable: bool")
        .def_property("pec", &SMBus::pec, &SMBus::enablePec,
                      "Get and set SMBus PEC. 0 = disabled (default), 1 = enabled.")
        .def("write_quick", &SMBus::writeQuick, addr, force,
             doc("Perform a quick transaction: the address alone, with its write bit.\n"
                 "Raises OSError if the slave does not acknowledge.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"))
        .def("read_byte", &SMBus::readByte, addr, force,
             doc("Read a single byte from a device.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":return: the byte read\n:rtype: int\n"))
        .def("write_byte", &SMBus::writeByte, addr, py::arg("value"), force,
             doc("Write a single byte to a device.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param value: the byte to write\n:type value: int\n:rtype: None\n"))
        .def("read_byte_data", &SMBus::readByteData, addr, reg, force,
             doc("Read a single byte from a register.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register to read\n:type register: int\n"
                 ":return: the byte read\n:rtype: int\n"))
        .def("write_byte_data", &SMBus::writeByteData, addr, reg, py::arg("value"), force,
             doc("Write a byte to a register.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register to write\n:type register: int\n"
                 ":param value: the byte to write\n:type value: int\n:rtype: None\n"))
        .def("read_word_data", &SMBus::readWordData, addr, reg, force,
             doc("Read a word (2 bytes, low byte first on the bus) from a register.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register to read\n:type register: int\n"
                 ":return: the word read\n:rtype: int\n"))
        .def("write_word_data", &SMBus::writeWordData, addr, reg, py::arg("value"), force,
             doc("Write a word (2 bytes, low byte first on the bus) to a register.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register to write\n:type register: int\n"
                 ":param value: the word to write\n:type value: int\n:rtype: None\n"))
        .def("process_call", &SMBus::processCall, addr, reg, py::arg("value"), force,
             doc("Perform an SMBus process call: write a word to a register and read a\n"
                 "word back in the same transaction.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register to write and read\n:type register: int\n"
                 ":param value: the word to write\n:type value: int\n"
                 ":return: the word read\n:rtype: int\n"))
        .def("read_block_data", &SMBus::readBlockData, addr, reg, force,
             doc("Read an SMBus block whose length the slave sends first.\n\n"
                 "A Tavro adapter reads only as many bytes as asked for, so it cannot carry\n"
                 "this out: raises OSError EOPNOTSUPP, as smbus2 does on a bus without the\n"
                 "function, and sends nothing. Use :py:meth:`read_i2c_block_data`.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the first register\n:type register: int\n"
                 ":rtype: list\n"))
        .def("write_block_data", &SMBus::writeBlockData, addr, reg, py::arg("data"), force,
             doc("Write an SMBus block to a register: its byte count, then the bytes.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the first register\n:type register: int\n"
                 ":param data: 1 to 32 bytes\n:type data: list\n:rtype: None\n"))
        .def("block_process_call", &SMBus::blockProcessCall, addr, reg, py::arg("data"), force,
             doc("Perform an SMBus block process call: write a block, read a block whose\n"
                 "length the slave sends.\n\n"
                 "Not possible on a Tavro adapter: raises OSError EOPNOTSUPP, as\n"
                 "smbus2 does on a bus without the function, and sends nothing.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the register\n:type register: int\n"
                 ":param data: 1 to 32 bytes\n:type data: list\n:rtype: list\n"))
        .def("read_i2c_block_data", &SMBus::readI2cBlockData, addr, reg, py::arg("length"), force,
             doc("Read a block of bytes from a register, as many as asked for.\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the first register\n:type register: int\n"
                 ":param length: number of bytes, 1 to 32\n:type length: int\n"
                 ":return: the bytes read\n:rtype: list\n"))
        .def("write_i2c_block_data", &SMBus::writeI2cBlockData, addr, reg, py::arg("data"), force,
             doc("Write a block of bytes to a register (no byte count on the bus).\n\n"
                 ":param i2c_addr: i2c address\n:type i2c_addr: int\n"
                 ":param register: the first register\n:type register: int\n"
                 ":param data: 1 to 32 bytes\n:type data: list\n:rtype: None\n"))
        .def("i2c_rdwr", &SMBus::i2cRdwr,
             "Combine reads and writes in one transaction: a repeated start between the\n"
             "messages and a single stop at the end.\n\n"
             "Takes :py:class:`i2c_msg` instances made by :py:meth:`i2c_msg.read` or\n"
             ":py:meth:`i2c_msg.write`, and smbus2's own i2c_msg, whose len must be within\n"
             "its buffer; read messages hold their bytes afterwards. Any other object raises\n"
             "TypeError, and nothing is sent. The first failure ends the transaction, and\n"
             "its OSError names the message.\n\n"
             ":param i2c_msgs: one or more i2c_msg instances\n:type i2c_msgs: i2c_msg\n"
             ":rtype: None");

    py::class_<PyRegisterMap>(
        m, "RegisterMap",
        "A chip's registers and fields by name, from a register map file (YAML; see\n"
        "tavro-register-map(5)), read and written on any bus object with smbus2's\n"
        "methods: a :py:class:`SMBus` of this module, or smbus2's own.\n\n"
        "A map that does not hold raises ValueError with the file name and line. Names\n"
        "are ``REGISTER`` or ``REGISTER.FIELD``; reading a register gives an int, a field\n"
        "its value's name (str), else its number, or for a scaled field the scaled\n"
        "value (float). Writing takes an int or a value's name; a field is read, modified\n"
        "and written, so the register's other bits keep their values. A read-only\n"
        "register or a value that does not fit raises ValueError, with nothing sent.")
        .def(py::init<const py::object &>(), py::arg("path"), "Read and check the map at path.")
        .def_property_readonly("device", &PyRegisterMap::device, "The chip's name in the map.")
        .def_property_readonly("address", &PyRegisterMap::address,
                               "The map's 7-bit address, or None.")
        .def_property_readonly("registers", &PyRegisterMap::registers,
                               "The registers' names, in the map's order.")
        .def("read", &PyRegisterMap::read, py::arg("bus"), py::arg("name"),
             py::arg("address") = py::none(),
             "Read a register or a field by name.\n\n"
             ":param bus: an smbus2-style bus\n:param name: REGISTER or REGISTER.FIELD\n"
             ":param address: 7-bit address; None takes the map's\n"
             ":return: int, str or float, as ``tavro-i2c get --map`` prints it")
        .def("write", &PyRegisterMap::write, py::arg("bus"), py::arg("name"), py::arg("value"),
             py::arg("address") = py::none(),
             "Write a register or a field by name.\n\n"
             ":param bus: an smbus2-style bus\n:param name: REGISTER or REGISTER.FIELD\n"
             ":param value: a number, or the name of one of the field's values\n"
             ":param address: 7-bit address; None takes the map's\n:rtype: None");
}
