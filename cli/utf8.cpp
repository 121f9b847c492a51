#include "cli/utf8.h"

#include <windows.h>

namespace Utf8 {

std::string FromWide(std::wstring_view text) {
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::wstring ToWide(std::string_view utf8) {
    const int length = static_cast<int>(utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, text.data(), size);
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
