#include "register_map.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

// A refusal on its way out of the reader: the line it concerns (from 1) and what is wrong.
struct MapError {
    int line;
    std::string text;
};

int lineOf(const YAML::Node &node) {
    const YAML::Mark mark = node.Mark();
    return mark.line >= 0 ? mark.line + 1 : 1;
}

[[noreturn]] void refuse(const YAML::Node &node, const std::string &text) {
    throw MapError{lineOf(node), text};
}

std::uint64_t mask(int width) {
    return width >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << width) - 1;
}

// A number as a map or a user writes it: decimal, 0x hex or 0b binary, with an optional
// minus sign; nullopt when it is none or does not fit 64 bits.
struct Number {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

std::optional<Number> parseNumber(const std::string &text) {
    Number number;
    std::size_t at = 0;
    if (at < text.size() && text[at] == '-') {
        number.negative = true;
        ++at;
    }
    int base = 10;
    if (text.size() > at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X'))
        base = 16;
    else if (text.size() > at + 2 && text[at] == '0' &&
             (text[at + 1] == 'b' || text[at + 1] == 'B'))
        base = 2;
    if (base != 10)
        at += 2;
    if (at >= text.size())
        return std::nullopt;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        if (digit >= base)
            return std::nullopt;
        if (number.magnitude > (~std::uint64_t(0) - digit) / base)
            return std::nullopt;
        number.magnitude = number.magnitude * base + digit;
    }
    return number;
}

// The raw bits of a number in a field of width bits, or nullopt when it does not fit.
std::optional<std::uint64_t> fitBits(const Number &number, int width, bool is_signed) {
    if (!is_signed)
        return !number.negative && number.magnitude <= mask(width)
                   ? std::optional<std::uint64_t>(number.magnitude)
                   : std::nullopt;
    const std::uint64_t half = std::uint64_t(1) << (width - 1);
    if (number.negative ? number.magnitude > half : number.magnitude >= half)
        return std::nullopt;
    return (number.negative ? ~number.magnitude + 1 : number.magnitude) & mask(width);
}

std::string rangeText(int width, bool is_signed) {
    char text[64];
    if (!is_signed)
        std::snprintf(text, sizeof text, "0 to %llu", static_cast<unsigned long long>(mask(width)));
    else
        std::snprintf(text, sizeof text, "%lld to %llu",
                      -static_cast<long long>(mask(width - 1)) - 1,
                      static_cast<unsigned long long>(mask(width - 1)));
    return text;
}

// Names stand in "REGISTER.FIELD" and on command lines: letters, digits and _, not a digit
// first, so that no name reads as a number.
bool isName(const std::string &text) {
    if (text.empty() || text.size() > 64 || std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

std::string scalar(const YAML::Node &node, const std::string &what) {
    if (!node.IsScalar())
        refuse(node, what + " must be a single value");
    return node.Scalar();
}

std::string nameOf(const YAML::Node &node, const std::string &what) {
    const std::string text = scalar(node, what);
    if (!isName(text))
        refuse(node, what + " '" + text + "' is not a name: letters, digits and _, " +
                         "not a digit first, at most 64");
    return text;
}

std::uint64_t numberOf(const YAML::Node &node, const std::string &what, std::uint64_t limit) {
    const std::string text = scalar(node, what);
    const std::optional<Number> number = parseNumber(text);
    if (!number || number->negative || number->magnitude > limit) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "0x%llx", static_cast<unsigned long long>(limit));
        refuse(node, what + " '" + text + "' is not a number from 0 to " + bound);
    }
    return number->magnitude;
}

bool booleanOf(const YAML::Node &node, const std::string &what) {
    const std::string text = scalar(node, what);
    if (text != "true" && text != "false")
        refuse(node, what + " is true or false, not '" + text + "'");
    return text == "true";
}

// The entries of a mapping, each key known and given once; unknown keys are refused so that
// a misspelt key is not silently left out.
std::vector<std::pair<std::string, YAML::Node>> entries(const YAML::Node &node,
                                                        const std::string &what,
                                                        std::initializer_list<const char *> known) {
    if (!node.IsMap())
        refuse(node, what + " must be a mapping of keys and values");
    std::vector<std::pair<std::string, YAML::Node>> list;
    std::set<std::string> seen;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const std::string key = scalar(it->first, "a key");
        if (std::find_if(known.begin(), known.end(), [&](const char *k) { return key == k; }) ==
            known.end()) {
            std::string keys;
            for (const char *k : known)
                keys += std::string(keys.empty() ? "" : ", ") + k;
            refuse(it->first, "unknown key '" + key + "' in " + what + " (known: " + keys + ")");
        }
        if (!seen.insert(key).second)
            refuse(it->first, "key '" + key + "' given twice in " + what);
        list.emplace_back(key, it->second);
    }
    return list;
}

void parseBits(const YAML::Node &node, MapField &field) {
    const std::string text = scalar(node, "bits");
    const std::size_t colon = text.find(':');
    const std::optional<Number> high = parseNumber(text.substr(0, colon));
    const std::optional<Number> low =
        colon == std::string::npos ? high : parseNumber(text.substr(colon + 1));
    if (!high || !low || high->negative || low->negative || high->magnitude > 63 ||
        low->magnitude > high->magnitude)
        refuse(node, "bits '" + text + "' is not HIGH:LOW or BIT, from 63 down to 0");
    field.high = static_cast<int>(high->magnitude);
    field.low = static_cast<int>(low->magnitude);
}

// A field's named values, checked against the field's width and sign.
void parseValues(const YAML::Node &node, MapField &field) {
    if (!node.IsMap() || node.size() == 0)
        refuse(node, "values of " + field.name + " must be a mapping of names to numbers");
    // Sets, not pairwise comparison: a map of 1 MiB can hold some hundred thousand entries.
    std::set<std::string> names;
    std::map<std::uint64_t, std::string> numbers;
    for (auto it = node.begin(); it != node.end(); ++it) {
        FieldValue value;
        value.name = nameOf(it->first, "a value's name");
        const std::string text = scalar(it->second, "value " + value.name);
        const std::optional<Number> number = parseNumber(text);
        const std::optional<std::uint64_t> raw =
            number ? fitBits(*number, field.width(), field.is_signed) : std::nullopt;
        if (!raw)
            refuse(it->second, "value " + value.name + " = " + text + " does not fit field " +
                                   field.name + " (" + rangeText(field.width(), field.is_signed) +
                                   ")");
        if (!names.insert(value.name).second)
            refuse(it->first, "value name " + value.name + " given twice in " + field.name);
        if (const auto other = numbers.emplace(*raw, value.name); !other.second)
            refuse(it->second, "values " + other.first->second + " and " + value.name + " of " +
                                   field.name + " are the same number");
        value.raw = *raw;
        field.values.push_back(value);
    }
}

MapField parseField(const YAML::Node &node, const MapRegister &reg) {
    MapField field;
    field.line = lineOf(node);
    const YAML::Node *bits = nullptr, *values = nullptr;
    const std::vector<std::pair<std::string, YAML::Node>> list = entries(
        node, "a field", {"name", "bits", "signed", "scale", "unit", "values", "description"});
    for (const auto &[key, value] : list) {
        if (key == "name") {
            field.name = nameOf(value, "a field's name");
        } else if (key == "bits") {
            parseBits(value, field);
            bits = &value;
        } else if (key == "signed") {
            field.is_signed = booleanOf(value, "signed");
        } else if (key == "scale") {
            const std::string text = scalar(value, "scale");
            char *end = nullptr;
            field.scale = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(field.scale) || field.scale == 0)
                refuse(value, "scale '" + text + "' is not a number other than 0");
        } else if (key == "unit") {
            field.unit = scalar(value, "unit");
        } else if (key == "values") {
            values = &value;
        } else {
            field.description = scalar(value, "description");
        }
    }
    if (field.name.empty())
        refuse(node, "a field of " + reg.name + " has no name");
    if (!bits)
        refuse(node, "field " + field.name + " has no bits");
    if (field.high >= reg.size * 8)
        refuse(*bits, "field " + field.name + " (bits " + std::to_string(field.high) + ":" +
                          std::to_string(field.low) + ") lies outside " + reg.name + "'s " +
                          std::to_string(reg.size * 8) + " bits");
    if (values)
        parseValues(*values, field);
    return field;
}

MapRegister parseRegister(const YAML::Node &node, const RegisterMap &map) {
    MapRegister reg;
    reg.line = lineOf(node);
    const YAML::Node *address = nullptr, *reset = nullptr, *fields = nullptr;
    const std::vector<std::pair<std::string, YAML::Node>> list =
        entries(node, "a register",
                {"name", "address", "size", "access", "reset", "description", "fields"});
    for (const auto &[key, value] : list) {
        if (key == "name") {
            reg.name = nameOf(value, "a register's name");
        } else if (key == "address") {
            reg.address = static_cast<unsigned>(
                numberOf(value, "a register's address", map.pointer_bytes == 2 ? 0xffff : 0xff));
            address = &value;
        } else if (key == "size") {
            reg.size = static_cast<int>(numberOf(value, "size", 0xff));
            if (reg.size < 1 || reg.size > REGISTER_MAX_BYTES)
                refuse(value, "size is 1 to " + std::to_string(REGISTER_MAX_BYTES) + " bytes");
        } else if (key == "access") {
            const std::string text = scalar(value, "access");
            if (text == "ro")
                reg.access = RegisterAccess::ReadOnly;
            else if (text == "wo")
                reg.access = RegisterAccess::WriteOnly;
            else if (text != "rw")
                refuse(value, "access is ro, rw or wo, not '" + text + "'");
        } else if (key == "reset") {
            reset = &value;
        } else if (key == "description") {
            reg.description = scalar(value, "description");
        } else {
            fields = &value;
        }
    }
    if (reg.name.empty())
        refuse(node, "a register has no name");
    if (!address)
        refuse(node, "register " + reg.name + " has no address");
    if (reset)
        reg.reset = numberOf(*reset, "reset of " + reg.name, mask(reg.size * 8));
    if (!fields)
        return reg;
    if (!fields->IsSequence())
        refuse(*fields, "fields of " + reg.name + " must be a list");
    for (const YAML::Node &item : *fields) {
        MapField field = parseField(item, reg);
        const std::uint64_t bits = mask(field.width()) << field.low;
        for (const MapField &other : reg.fields) {
            if (other.name == field.name)
                refuse(item, "field name " + field.name + " given twice in " + reg.name);
            if (bits & mask(other.width()) << other.low)
                refuse(item, "field " + field.name + " overlaps " + other.name + " in " + reg.name);
        }
        reg.fields.push_back(std::move(field));
    }
    return reg;
}

RegisterMap parseMap(const YAML::Node &root, const std::string &file) {
    RegisterMap map;
    map.file = file;
    if (!root.IsMap())
        refuse(root, "a map is a mapping with device, registers and the keys of its man page");
    const YAML::Node *registers = nullptr;
    const std::vector<std::pair<std::string, YAML::Node>> list =
        entries(root, "the map",
                {"device", "address", "register_address_bytes", "byte_order", "registers"});
    // The pointer's width bounds the register addresses: read it first.
    for (const auto &[key, value] : list) {
        if (key == "device") {
            map.device = scalar(value, "device");
            if (map.device.empty())
                refuse(value, "device names the chip: it cannot be empty");
        } else if (key == "address") {
            map.address = static_cast<int>(numberOf(value, "address", 0x7f));
        } else if (key == "register_address_bytes") {
            map.pointer_bytes = static_cast<int>(numberOf(value, "register_address_bytes", 0xff));
            if (map.pointer_bytes != 1 && map.pointer_bytes != 2)
                refuse(value, "register_address_bytes is 1 or 2");
        } else if (key == "byte_order") {
            const std::string text = scalar(value, "byte_order");
            if (text != "big" && text != "little")
                refuse(value, "byte_order is big or little, not '" + text + "'");
            map.little_endian = text == "little";
        } else {
            registers = &value;
        }
    }
    if (map.device.empty())
        refuse(root, "the map has no device");
    if (!registers || !registers->IsSequence() || registers->size() == 0)
        refuse(registers ? *registers : root, "the map needs registers: a list of one or more");
    std::set<std::string> names;
    std::map<unsigned, std::string> addresses;
    for (const YAML::Node &item : *registers) {
        MapRegister reg = parseRegister(item, map);
        if (!names.insert(reg.name).second)
            refuse(item, "register name " + reg.name + " given twice");
        if (const auto other = addresses.emplace(reg.address, reg.name); !other.second)
            refuse(item, "registers " + other.first->second + " and " + reg.name +
                             " have the same address");
        map.registers.push_back(std::move(reg));
    }
    return map;
}

std::string hexText(std::uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

} // namespace

std::optional<RegisterMap> parseRegisterMap(const std::string &text, const std::string &file,
                                            std::string &error) {
    try {
        return parseMap(YAML::Load(text), file);
    } catch (const MapError &e) {
        error = file + ":" + std::to_string(e.line) + ": " + e.text;
    } catch (const YAML::Exception &e) {
        error = file + ":" + std::to_string(e.mark.line >= 0 ? e.mark.line + 1 : 1) +
                ": not YAML: " + e.msg;
    } catch (const std::exception &e) {
        error = file + ": cannot be read: " + e.what();
    }
    return std::nullopt;
}

std::optional<RegisterMap> loadRegisterMap(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened";
        return std::nullopt;
    }
    std::string text(REGISTER_MAP_MAX_FILE + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > REGISTER_MAP_MAX_FILE) {
        error = path + ": larger than " + std::to_string(REGISTER_MAP_MAX_FILE) +
                " bytes: not a register map";
        return std::nullopt;
    }
    return parseRegisterMap(text, path, error);
}

std::optional<MapTarget> findMapTarget(const RegisterMap &map, const std::string &name,
                                       std::string &error) {
    const std::size_t dot = name.find('.');
    const std::string reg_name = name.substr(0, dot);
    MapTarget target;
    for (const MapRegister &reg : map.registers)
        if (reg.name == reg_name)
            target.reg = &reg;
    if (!target.reg) {
        error = "no register " + reg_name + " in " + map.file;
        return std::nullopt;
    }
    if (dot == std::string::npos)
        return target;
    const std::string field_name = name.substr(dot + 1);
    for (const MapField &field : target.reg->fields)
        if (field.name == field_name)
            target.field = &field;
    if (!target.field) {
        error = "register " + reg_name + " has no field " + field_name;
        return std::nullopt;
    }
    return target;
}

std::string readRefusal(const MapTarget &target) {
    return target.reg->readable() ? "" : target.reg->name + " is write-only: it cannot be read";
}

std::string writeRefusal(const MapTarget &target) {
    if (!target.reg->writable())
        return target.reg->name + " is read-only: nothing is written";
    if (target.field && !target.reg->readable() && target.field->width() < target.reg->size * 8)
        return target.reg->name + " is write-only: its other bits cannot be read to keep " +
               "them; set the whole register";
    return "";
}

std::optional<std::uint64_t> parseTargetValue(const MapTarget &target, const std::string &text,
                                              std::string &error) {
    const MapField *field = target.field;
    const int width = field ? field->width() : target.reg->size * 8;
    const bool is_signed = field && field->is_signed;
    if (field)
        for (const FieldValue &value : field->values)
            if (value.name == text)
                return value.raw;
    const std::optional<Number> number = parseNumber(text);
    const std::optional<std::uint64_t> raw =
        number ? fitBits(*number, width, is_signed) : std::nullopt;
    if (raw)
        return raw;
    const std::string what = field ? target.reg->name + "." + field->name : target.reg->name;
    std::string names;
    if (field)
        for (const FieldValue &value : field->values)
            names += (names.empty() ? ", or one of: " : " ") + value.name;
    error = number ? "VALUE '" + text + "' does not fit " + what + " (" +
                         rangeText(width, is_signed) + ")"
                   : "VALUE '" + text + "' is neither a number" +
                         (field && !field->values.empty() ? " nor a value of " : " for ") + what +
                         " (" + rangeText(width, is_signed) + names + ")";
    return std::nullopt;
}

std::vector<std::uint8_t> registerPointer(const RegisterMap &map, const MapRegister &reg) {
    if (map.pointer_bytes == 2)
        return {static_cast<std::uint8_t>(reg.address >> 8),
                static_cast<std::uint8_t>(reg.address & 0xff)};
    return {static_cast<std::uint8_t>(reg.address)};
}

std::vector<I2cMessage> registerReadMessages(const RegisterMap &map, const MapRegister &reg,
                                             int address) {
    I2cMessage pointer{address, false, 0, registerPointer(map, reg)};
    pointer.length = static_cast<int>(pointer.data.size());
    I2cMessage read{address, true, reg.size, {}};
    return {pointer, read};
}

I2cMessage registerWriteMessage(const RegisterMap &map, const MapRegister &reg, int address,
                                std::uint64_t value) {
    I2cMessage message{address, false, 0, registerPointer(map, reg)};
    const std::vector<std::uint8_t> bytes = registerBytes(map, reg, value);
    message.data.insert(message.data.end(), bytes.begin(), bytes.end());
    message.length = static_cast<int>(message.data.size());
    return message;
}

std::vector<std::uint8_t> registerBytes(const RegisterMap &map, const MapRegister &reg,
                                        std::uint64_t value) {
    std::vector<std::uint8_t> bytes;
    for (int i = reg.size - 1; i >= 0; --i)
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    if (map.little_endian)
        std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

std::uint64_t registerValue(const RegisterMap &map, const std::vector<std::uint8_t> &bytes) {
    std::uint64_t value = 0;
    const std::size_t count = std::min<std::size_t>(bytes.size(), REGISTER_MAX_BYTES);
    for (std::size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[map.little_endian ? count - 1 - i : i];
    return value;
}

std::uint64_t fieldRaw(const MapField &field, std::uint64_t register_value) {
    return register_value >> field.low & mask(field.width());
}

std::uint64_t withField(const MapField &field, std::uint64_t register_value, std::uint64_t raw) {
    const std::uint64_t bits = mask(field.width()) << field.low;
    return (register_value & ~bits) | (raw << field.low & bits);
}

std::int64_t fieldNumber(const MapField &field, std::uint64_t raw) {
    const int width = field.width();
    if (field.is_signed && width < 64 && (raw >> (width - 1) & 1))
        return static_cast<std::int64_t>(raw | ~mask(width));
    return static_cast<std::int64_t>(raw);
}

const FieldValue *fieldValueName(const MapField &field, std::uint64_t raw) {
    for (const FieldValue &value : field.values)
        if (value.raw == raw)
            return &value;
    return nullptr;
}

std::string registerText(const MapRegister &reg, std::uint64_t value) {
    return hexText(value, reg.size * 2);
}

std::string fieldText(const MapField &field, std::uint64_t raw) {
    if (const FieldValue *value = fieldValueName(field, raw))
        return value->name;
    char text[96];
    if (field.is_signed)
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(fieldNumber(field, raw)));
    else
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw));
    std::string line = text;
    if (field.scale != 0) {
        const double scaled =
            field.scale * (field.is_signed ? static_cast<double>(fieldNumber(field, raw))
                                           : static_cast<double>(raw));
        std::snprintf(text, sizeof text, " (%.10g", scaled);
        line += text + (field.unit.empty() ? "" : " " + field.unit) + ")";
    } else if (!field.unit.empty()) {
        line += " " + field.unit;
    }
    return line;
}

std::string registerAddressText(const RegisterMap &map, const MapRegister &reg) {
    return hexText(reg.address, map.pointer_bytes * 2);
}

std::string registerDumpText(const RegisterMap &map, const MapRegister &reg,
                             const std::optional<std::uint64_t> &value) {
    std::size_t width = 0;
    for (const MapRegister &r : map.registers)
        width = std::max(width, r.name.size());
    std::string text = reg.name + std::string(width - reg.name.size() + 2, ' ') +
                       registerAddressText(map, reg) + " = " +
                       (value ? registerText(reg, *value) : "XX") + "\n";
    if (!value)
        return text;
    std::size_t field_width = 0;
    for (const MapField &field : reg.fields)
        field_width = std::max(field_width, field.name.size());
    for (const MapField &field : reg.fields)
        text += "  " + field.name + std::string(field_width - field.name.size(), ' ') + " = " +
                fieldText(field, fieldRaw(field, *value)) + "\n";
    return text;
}
