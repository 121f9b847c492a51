#include "sim/crc32.h"

#include <array>

namespace {

// The byte steps of the reflected polynomial, and seven more tables that take a step over the bytes that
// follow, so that eight bytes go at a time (the slicing that zlib uses).
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        tables[0][n] = c;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::uint32_t n = 0; n < 256; ++n) {
            tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
        }
    }
    return tables;
}

constexpr Tables TABLES = MakeTables();

} // namespace

void Crc32::Update(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t c = state;
    for (; length >= 8; length -= 8, bytes += 8) {
        const std::uint32_t low =
            c ^ (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
        c = TABLES[7][low & 0xFF] ^ TABLES[6][(low >> 8) & 0xFF] ^ TABLES[5][(low >> 16) & 0xFF] ^
            TABLES[4][low >> 24] ^ TABLES[3][bytes[4]] ^ TABLES[2][bytes[5]] ^ TABLES[1][bytes[6]] ^
            TABLES[0][bytes[7]];
    }
    for (; length != 0; --length, ++bytes) {
        c = TABLES[0][(c ^ *bytes) & 0xFF] ^ (c >> 8);
    }
    state = c;
}

std::uint32_t Crc32::Of(const std::uint8_t* bytes, std::size_t length) {
    Crc32 crc;
    crc.Update(bytes, length);
    return crc.Value();
}
