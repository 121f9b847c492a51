#include "sim/crc32.h"

#include <array>

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> TABLE = MakeTable();

} // namespace

void Crc32::Update(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t c = state;
    for (std::size_t i = 0; i < length; ++i) {
        c = TABLE[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    }
    state = c;
}

std::uint32_t Crc32::Of(const std::uint8_t* bytes, std::size_t length) {
    Crc32 crc;
    crc.Update(bytes, length);
    return crc.Value();
}
