#include "tests/support/trace_lines.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace TestSupport::Trace {

namespace {

// Written out here rather than taken from the simulated device, so that a fault in its checksum shows.
std::uint32_t ZlibCrc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

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

std::string Crc(std::string_view bytes) {
    return Hex8(ZlibCrc32(bytes));
}

std::string File(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

} // namespace TestSupport::Trace
