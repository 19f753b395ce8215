// Fuzz target: the register map reader. The input is a map file's text. Whatever is accepted
// must keep the rules the reader checks, every name must be found again, and every register
// value must survive the trip to the bus's bytes and back, and be shown.
#include "register_map.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition, const char *what, const std::string &detail) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_regmap: %s: \"%s\"\n", what, detail.c_str());
        std::abort();
    }
}

std::uint64_t fieldBits(const MapField &field) {
    const int width = field.width();
    return (width >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << width) - 1) << field.low;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    const std::optional<RegisterMap> map = parseRegisterMap(text, "fuzz.yaml", error);
    if (!map) {
        // A refusal names the file and a line: "fuzz.yaml:N: ...".
        check(error.rfind("fuzz.yaml:", 0) == 0 && error.size() > 12, "refusal without a line",
              error);
        return 0;
    }
    check(!map->device.empty() && !map->registers.empty(), "map without device or registers",
          text);
    check(map->pointer_bytes == 1 || map->pointer_bytes == 2, "pointer width", text);
    for (const MapRegister &reg : map->registers) {
        check(reg.size >= 1 && reg.size <= REGISTER_MAX_BYTES, "register size", reg.name);
        check(reg.address < (map->pointer_bytes == 2 ? 0x10000u : 0x100u), "register address",
              reg.name);
        std::string found_error;
        const auto found = findMapTarget(*map, reg.name, found_error);
        check(found && found->reg->address == reg.address, "register not found again",
              reg.name);
        // A value of the register's width, from the input's bytes, and back.
        std::uint64_t value = 0;
        for (int i = 0; i < reg.size; ++i)
            value = value << 8 | data[(reg.line + i) % size];
        check(registerValue(*map, registerBytes(*map, reg, value)) == value,
              "bytes do not give the value back", reg.name);
        check(registerWriteMessage(*map, reg, 0x48, value).data.size() ==
                  static_cast<std::size_t>(map->pointer_bytes + reg.size),
              "write message length", reg.name);
        const std::string dump = registerDumpText(*map, reg, value);
        check(!dump.empty() && dump.back() == '\n', "dump text", reg.name);
        std::uint64_t taken = 0;
        for (const MapField &field : reg.fields) {
            check(field.low <= field.high && field.high < reg.size * 8, "field outside",
                  reg.name + "." + field.name);
            check((taken & fieldBits(field)) == 0, "fields overlap", reg.name + "." + field.name);
            taken |= fieldBits(field);
            const std::uint64_t raw = fieldRaw(field, value);
            check(fieldRaw(field, withField(field, value, raw)) == raw &&
                      withField(field, value, raw) == value,
                  "field does not read back", field.name);
            check(!fieldText(field, raw).empty(), "empty field text", field.name);
            for (const FieldValue &named : field.values) {
                MapTarget target{&reg, &field};
                const auto parsed = parseTargetValue(target, named.name, found_error);
                check(parsed && *parsed == named.raw &&
                          (named.raw & ~(fieldBits(field) >> field.low)) == 0,
                      "named value out of its field", named.name);
            }
        }
    }
    return 0;
}
