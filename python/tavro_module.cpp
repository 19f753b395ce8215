// The Python module tavro: an SMBus class with smbus2's methods, names and return types, over
// the bus library, so that drivers written for smbus2 run over a Tavro adapter unchanged.
#include "bus_status.h"
#include "smbus.h"
#include "tavro_bus.h"

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

int checkPythonSignals() {
    if (PyThread_get_thread_ident() != main_thread)
        return 0;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0)
        return 0;
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
        // At the interpreter's exit no other thread can wait for the GIL.
        if (_Py_IsFinalizing()) {
            std::lock_guard<std::mutex> lock(linkMutex());
            bus_.close();
        } else {
            closeLink();
        }
    }

    void open(const py::object &port) {
        const std::string path = py::str(py::module_::import("os").attr("fspath")(port));
        closeLink();
        pec_ = 0;
        run([&] { return bus_.open(path, settings_); });
    }

    void close() {
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
        std::vector<std::uint8_t> bytes = byteList(data);
        checkBlock(bytes.size());
        smbus(address, false, SmbusKind::I2cBlockData, reg, std::move(bytes));
    }

    void writeBlockData(int address, int reg, const py::object &data,
                        const py::object & /*force*/) {
        std::vector<std::uint8_t> bytes = byteList(data);
        checkBlock(bytes.size());
        smbus(address, false, SmbusKind::BlockData, reg, std::move(bytes));
    }

    std::vector<std::uint8_t> readBlockData(int address, int reg, const py::object & /*force*/) {
        return smbus(address, true, SmbusKind::BlockData, reg);
    }

    std::vector<std::uint8_t> blockProcessCall(int address, int reg, const py::object &data,
                                               const py::object & /*force*/) {
        std::vector<std::uint8_t> bytes = byteList(data);
        checkBlock(bytes.size());
        return smbus(address, false, SmbusKind::BlockProcessCall, reg, std::move(bytes));
    }

    // Takes smbus2's own i2c_msg too, as drivers import it from there: its bytes come from
    // bytes(), and a read's go back into its buffer.
    void i2cRdwr(const py::args &args) {
        std::vector<I2cMessage> messages;
        for (const py::handle &arg : args) {
            I2cMessage message;
            message.address = arg.attr("addr").cast<int>();
            message.read = (arg.attr("flags").cast<int>() & I2C_M_RD) != 0;
            message.length = arg.attr("len").cast<int>();
            if (!message.read)
                message.data = byteList(py::reinterpret_borrow<py::object>(arg));
            messages.push_back(std::move(message));
        }
        run([&] { return bus_.transfer(messages); }, messages.size() > 1);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (!messages[i].read)
                continue;
            if (py::isinstance<Message>(args[i])) {
                args[i].cast<Message &>().buf = messages[i].data;
            } else {
                const std::vector<std::uint8_t> &data = messages[i].data;
                py::module_::import("ctypes").attr("memmove")(
                    args[i].attr("buf"),
                    py::bytes(reinterpret_cast<const char *>(data.data()), data.size()),
                    data.size());
            }
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

    // Runs a bus call without the GIL, then turns a failure into the exception a driver
    // expects. A link left in doubt is closed, so that a late reply cannot pass for the answer
    // to a later call.
    template <typename Call> void run(Call call, bool numbered = false) {
        BusResult result;
        bool closed = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(linkMutex());
            setStopCheck(checkPythonSignals);
            result = call();
            setStopCheck(nullptr);
            if (linkInDoubt(result.status) && bus_.isOpen()) {
                closed = true;
                // An adapter that does not answer would only let its close time out again.
                if (result.status == BusStatus::TimedOut)
                    bus_.abandon();
                else
                    bus_.close();
            }
        }
        if (result.ok())
            return;
        if (result.status == BusStatus::Interrupted) {
            // Only the check interrupts here, and it leaves the handler's exception.
            if (stop_type == nullptr)
                PyErr_SetNone(PyExc_KeyboardInterrupt);
            else
                PyErr_Restore(stop_type, stop_value, stop_traceback);
            stop_type = stop_value = stop_traceback = nullptr;
            throw py::error_already_set();
        }
        std::string text = result.detail;
        if (numbered)
            text = "message " + std::to_string(result.message + 1) + ": " + text;
        if (closed)
            text += "; the link is closed";
        raiseOsError(errorNumber(result), text);
    }

    void closeLink() {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(linkMutex());
        if (bus_.isOpen())
            bus_.close();
    }

    TavroBus bus_;
    LinkSettings settings_;
    int pec_ = 0;
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
        "After one that leaves it in doubt (no answer, a refused command, a hang-up) the\n"
        "link is closed, and :py:meth:`open` opens it again.";
    py::class_<SMBus>(m, "SMBus", smbus_doc.c_str())
        .def(py::init<const py::object &, const std::string &, const py::object &, int>(),
             py::arg("port"), py::arg("device") = "solx", py::arg("rate") = py::none(),
             py::arg("clock") = 100,
             "Open the adapter on a serial port.\n\n"
             ":param port: the adapter's serial port, e.g. ``/dev/ttyUSB0``\n"
             ":type port: str or os.PathLike\n"
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
             ":param port: the adapter's serial port\n:type port: str or os.PathLike")
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
             ":py:meth:`i2c_msg.write`; read messages hold their bytes afterwards. The first\n"
             "failure ends the transaction, and its OSError names the message.\n\n"
             ":param i2c_msgs: one or more i2c_msg instances\n:type i2c_msgs: i2c_msg\n"
             ":rtype: None");
}
