#include "tests/support/trace_lines.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace TestSupport::Trace {

namespace {

std::string Hex8(std::uint32_t value) {
    std::array<char, 9> text{};
    // Eight hexadecimal digits always fit.
    static_cast<void>(std::snprintf(text.data(), text.size(), "%08lx", static_cast<unsigned long>(value)));
    return text.data();
}

} // namespace

std::string Error(DWORD code) {
    return "error 0x" + Hex8(code);
}

std::string ClassDriverError(DWORD code) {
    return Error(code) + " (class driver)";
}

std::string Open(std::string_view drive, const std::string& result) {
    return "open \\\\.\\PhysicalDrive" + std::string(drive) + " " + result;
}

std::string ExtCsd(const std::string& result) {
    return "ext_csd in=0 out=512 " + result;
}

std::string GetInfo(const std::string& result) {
    return "get_info version=16 size=16 flags=0 in=16 out=8216 " + result;
}

std::string Download(std::string_view image, std::size_t offset, std::size_t length, bool last, int slot,
                     const std::string& result) {
    const std::string size = std::to_string(length + 32);
    return "download version=40 size=" + size + " flags=" + (last ? "2" : "0") +
           " slot=" + std::to_string(slot) + " offset=" + std::to_string(offset) +
           " length=" + std::to_string(length) + " in=" + size + " out=" + size +
           " crc32=" + Crc(image.substr(offset, length)) + " " + result;
}

std::string Activate(int slot, const std::string& result) {
    return "activate version=16 size=16 flags=0 slot=" + std::to_string(slot) + " in=16 out=16 " + result;
}

std::string Property(int id, const std::string& result) {
    return "property id=" + std::to_string(id) + " type=0 in=12 out=512 " + result;
}

// Written out here rather than taken from the simulated device, so that a fault in its checksum shows. Eight
// bytes a step through eight tables, as zlib does, because the random-device runs check gigabytes.
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc) {
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 8> steps{};
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t value = byte;
            for (int bit = 0; bit < 8; ++bit) {
                value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1u)));
            }
            steps[0][byte] = value;
        }
        for (std::size_t table = 1; table < steps.size(); ++table) {
            for (std::uint32_t byte = 0; byte < 256; ++byte) {
                const std::uint32_t previous = steps[table - 1][byte];
                steps[table][byte] = (previous >> 8) ^ steps[0][previous & 0xFF];
            }
        }
        return steps;
    }();
    const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    crc = ~crc;
    for (; left >= 8; left -= 8, next += 8) {
        const std::uint32_t low =
            crc ^ (next[0] | next[1] << 8 | next[2] << 16 | static_cast<std::uint32_t>(next[3]) << 24);
        crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
              tables[4][low >> 24] ^ tables[3][next[4]] ^ tables[2][next[5]] ^ tables[1][next[6]] ^
              tables[0][next[7]];
    }
    for (; left != 0; --left, ++next) {
        crc = tables[0][(crc ^ *next) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::string Crc(std::string_view bytes) {
    return Hex8(Crc32(bytes));
}

std::string File(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

} // namespace TestSupport::Trace
