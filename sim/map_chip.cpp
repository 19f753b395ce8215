#include "tavrosim/map_chip.h"

#include "register_map.h"

namespace tavrosim {

std::optional<MapChip> MapChip::fromFile(const std::string &path, std::string &error) {
    const std::optional<RegisterMap> map = loadRegisterMap(path, error);
    if (!map)
        return std::nullopt;
    MapChip chip;
    chip.device_ = map->device;
    chip.address_ = map->address;
    chip.pointerBytes_ = map->pointer_bytes;
    chip.memory_.assign(map->pointer_bytes == 2 ? 0x10000 : 0x100, 0xff);
    for (const MapRegister &reg : map->registers)
        chip.registers_[reg.address] = {registerBytes(*map, reg, reg.reset.value_or(0)),
                                        reg.access == RegisterAccess::ReadOnly};
    return chip;
}

void MapChip::write(const std::vector<std::uint8_t> &bytes) {
    std::size_t at = 0;
    if (!bytes.empty()) {
        pointer_ = 0;
        for (; at < bytes.size() && at < static_cast<std::size_t>(pointerBytes_); ++at)
            pointer_ = pointer_ << 8 | bytes[at];
        offset_ = 0;
    }
    for (; at < bytes.size(); ++at)
        step(bytes[at]);
}

std::vector<std::uint8_t> MapChip::read(int count) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < count; ++i)
        bytes.push_back(step(std::nullopt));
    return bytes;
}

std::uint8_t MapChip::step(const std::optional<std::uint8_t> &value) {
    std::uint8_t byte;
    const auto reg = registers_.find(pointer_);
    if (reg == registers_.end()) {
        std::uint8_t &cell = memory_[pointer_];
        if (value)
            cell = *value;
        byte = cell;
        offset_ = 0;
    } else {
        std::uint8_t &cell = reg->second.bytes[offset_];
        if (value && !reg->second.readOnly)
            cell = *value;
        byte = cell;
        if (++offset_ < reg->second.bytes.size())
            return byte;
        offset_ = 0;
    }
    pointer_ = (pointer_ + 1) & (memory_.size() - 1);
    return byte;
}

} // namespace tavrosim
