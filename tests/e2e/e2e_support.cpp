#include "tests/e2e/e2e_support.h"

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <type_traits>

using namespace TestSupport;

namespace E2e {

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

namespace Trace {

namespace {

std::string Hex8(std::uint32_t value) {
    std::array<char, 9> text{};
    std::snprintf(text.data(), text.size(), "%08lx", static_cast<unsigned long>(value));
    return text.data();
}

} // namespace

std::string Error(DWORD code) {
    return "error 0x" + Hex8(code);
}

std::string Open(char drive, const std::string& result) {
    return std::string("open \\\\.\\PhysicalDrive") + drive + " " + result;
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
           " crc32=" + Hex8(ZlibCrc32(image.substr(offset, length))) + " " + result;
}

std::string Activate(int slot, const std::string& result) {
    return "activate version=16 size=16 flags=0 slot=" + std::to_string(slot) + " in=16 out=16 " + result;
}

std::string File(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

} // namespace Trace

Segments SegmentsOf(std::string_view image, std::size_t segmentSize, int slot) {
    Segments segments;
    std::size_t offset = 0;
    for (;;) {
        const bool last = image.size() - offset <= segmentSize;
        const std::size_t length = last ? image.size() - offset : segmentSize;
        segments.requests.push_back(Trace::Download(image, offset, length, last, slot));
        segments.progress += Progress(static_cast<std::uint32_t>(offset));
        if (last) {
            return segments;
        }
        offset += length;
    }
}

LaunchOptions Simulated(const TempDirectory& directory, const std::wstring& arguments,
                        const std::string& description,
                        const std::map<std::wstring, std::wstring>& environment) {
    LaunchOptions options{BuiltProgram(L"quillon-sim.exe"), arguments, directory.Path(), environment};
    options.environment[L"QUILLON_SIM_TRACE"] = directory / L"trace.txt";
    if (!description.empty()) {
        WriteBytes(directory / L"device.txt", description);
        options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
    }
    return options;
}

WineVersionOverride::WineVersionOverride(const std::wstring& programName, const std::wstring& version)
    : keyPath(L"Software\\Wine\\AppDefaults\\" + programName) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &created,
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the program's Wine key");
    }
    const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key(created, &RegCloseKey);
    const auto bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       bytes) != ERROR_SUCCESS) {
        RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
        throw std::runtime_error("cannot set the program's Windows version");
    }
}

WineVersionOverride::~WineVersionOverride() {
    RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
}

} // namespace E2e
