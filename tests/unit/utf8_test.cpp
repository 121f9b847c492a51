#include "cli/utf8.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <random>

namespace {

std::string WindowsUtf8(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    std::string utf8(static_cast<std::size_t>(3 * length), '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), 3 * length, nullptr, nullptr)));
    return utf8;
}

std::wstring WindowsUtf16(const std::string& utf8) {
    const int length = static_cast<int>(utf8.size());
    std::wstring text(utf8.size(), L'\0');
    text.resize(
        static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, text.data(), length)));
    return text;
}

// The conversions of the portable core give what Windows' own give: for any UTF-16 text, surrogates without
// their other half included, and for the UTF-8 that Windows writes of it.
TEST(Utf8, ConvertsAsWindowsDoes) {
    // NOLINTNEXTLINE(cert-msc51-cpp): a fixed seed, so that a failing text comes back the same
    std::mt19937 random(26);
    const std::pair<wchar_t, wchar_t> ranges[] = {
        {0x0000, 0x007F}, {0x0080, 0x00FF}, {0x0100, 0x07FF}, {0x0800, 0xD7FF},
        {0xD800, 0xDBFF}, {0xDC00, 0xDFFF}, {0xE000, 0xFFFF},
    };
    for (int text = 0; text < 2000; ++text) {
        std::wstring wide;
        const auto length = std::uniform_int_distribution<std::size_t>(0, 12)(random);
        for (std::size_t i = 0; i < length; ++i) {
            const auto& [first, last] = ranges[std::uniform_int_distribution<std::size_t>(0, 6)(random)];
            wide += static_cast<wchar_t>(std::uniform_int_distribution<int>(first, last)(random));
            // Most high surrogates come with their low half, as a character beyond U+FFFF.
            if (wide.back() >= 0xD800 && wide.back() <= 0xDBFF && random() % 4 != 0) {
                wide += static_cast<wchar_t>(std::uniform_int_distribution<int>(0xDC00, 0xDFFF)(random));
            }
        }
        const std::string utf8 = WindowsUtf8(wide);
        ASSERT_EQ(Utf8::FromWide(wide), utf8) << "text " << text;
        ASSERT_EQ(Utf8::ToWide(utf8), WindowsUtf16(utf8)) << "text " << text;
    }
}

} // namespace
