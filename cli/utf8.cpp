#include "cli/utf8.h"

#include <cstdint>

namespace Utf8 {

namespace {

// What stands for a character that cannot be converted, as Windows' own conversions write it.
constexpr char32_t REPLACEMENT = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void Append(std::string& utf8, char32_t character) {
    if (character < 0x80) {
        utf8 += static_cast<char>(character);
    } else if (character < 0x800) {
        utf8 += static_cast<char>(0xC0 | character >> 6);
        utf8 += static_cast<char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        utf8 += static_cast<char>(0xE0 | character >> 12);
        utf8 += static_cast<char>(0x80 | (character >> 6 & 0x3F));
        utf8 += static_cast<char>(0x80 | (character & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | character >> 18);
        utf8 += static_cast<char>(0x80 | (character >> 12 & 0x3F));
        utf8 += static_cast<char>(0x80 | (character >> 6 & 0x3F));
        utf8 += static_cast<char>(0x80 | (character & 0x3F));
    }
}

void Append(std::wstring& utf16, char32_t character) {
    if (character < 0x10000) {
        utf16 += static_cast<wchar_t>(character);
    } else {
        utf16 += static_cast<wchar_t>(0xD800 | (character - 0x10000) >> 10);
        utf16 += static_cast<wchar_t>(0xDC00 | (character & 0x3FF));
    }
}

// The character that starts at `at`, and how many bytes it takes. A sequence that is not well-formed gives
// one replacement for its longest beginning that could still have become a character (the Unicode
// standard's "maximal subpart"), and at least one byte is always taken.
char32_t Decode(std::string_view utf8, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint8_t>(utf8[at + i]);
    };
    const std::uint8_t lead = byte(0);
    length = 1;
    if (lead < 0x80) {
        return lead;
    }
    std::size_t count = 0;
    char32_t character = 0;
    // The range of the second byte: narrower than 0x80 to 0xBF after the leads of overlong forms,
    // surrogates and characters beyond U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        character = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        character = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        character = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return REPLACEMENT;
    }
    for (std::size_t i = 1; i <= count; ++i) {
        if (at + i >= utf8.size() || byte(i) < (i == 1 ? low : 0x80) || byte(i) > (i == 1 ? high : 0xBF)) {
            return REPLACEMENT;
        }
        character = character << 6 | (byte(i) & 0x3F);
        length = i + 1;
    }
    return character;
}

} // namespace

// Wide text is UTF-16 code units, as Windows has it, whatever the width of wchar_t: ToWide gives the same
// units on every platform. Where wchar_t is wider, a unit above U+FFFF is taken as that character.
std::string FromWide(std::wstring_view text) {
    std::string utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<char32_t>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<char32_t>(text[i + 1]) : char32_t{0};
        if (IsHighSurrogate(unit) && IsLowSurrogate(next)) {
            Append(utf8, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else {
            // A surrogate without its other half is no character.
            Append(utf8,
                   IsHighSurrogate(unit) || IsLowSurrogate(unit) || unit > 0x10FFFF ? REPLACEMENT : unit);
        }
    }
    return utf8;
}

std::wstring ToWide(std::string_view utf8) {
    std::wstring text;
    for (std::size_t at = 0; at < utf8.size();) {
        std::size_t length = 0;
        Append(text, Decode(utf8, at, length));
        at += length;
    }
    return text;
}

std::string FromBytes(std::string_view bytes) {
    std::wstring text;
    for (const char byte : bytes) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    }
    return FromWide(text);
}

std::optional<std::string> ToBytes(std::string_view utf8) {
    std::string bytes;
    for (const wchar_t character : ToWide(utf8)) {
        if (character > 0xFF) {
            return std::nullopt;
        }
        bytes += static_cast<char>(character);
    }
    return bytes;
}

} // namespace Utf8
