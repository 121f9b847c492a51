#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, initial and final value 0xFFFFFFFF), fed
// in pieces.
class Crc32 {
public:
    void Update(const std::uint8_t* bytes, std::size_t length);
    std::uint32_t Value() const { return ~state; }

    static std::uint32_t Of(const std::uint8_t* bytes, std::size_t length);

private:
    std::uint32_t state = 0xFFFFFFFF;
};
