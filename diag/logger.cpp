#include "diag/logger.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>

Logger::Logger(LogFile logFile, bool debugMode) : logFile(std::move(logFile)), debugMode(debugMode) {}

Logger& Logger::operator<<(const wchar_t* text) {
    Write(text);
    return *this;
}

Logger& Logger::operator<<(const char* text) {
    std::array<wchar_t, 256> block;
    const std::size_t length = std::strlen(text);
    for (std::size_t start = 0; start < length; start += block.size()) {
        const std::size_t count = std::min(block.size(), length - start);
        for (std::size_t i = 0; i < count; ++i) {
            block[i] = static_cast<unsigned char>(text[start + i]);
        }
        Write(std::wstring_view(block.data(), count));
    }
    return *this;
}

Logger& Logger::operator<<(const std::wstring& text) {
    Write(text);
    return *this;
}

Logger& Logger::operator<<(std::uint32_t number) {
    std::array<wchar_t, 10> digits;
    auto first = digits.end();
    do {
        *--first = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    Write(std::wstring_view(first, static_cast<std::size_t>(digits.end() - first)));
    return *this;
}

void Logger::Write(std::wstring_view text) {
    if (debugMode) {
        // The console stream stops for good at a character it cannot convert to 8 bits, so such
        // characters are replaced here rather than handed to it.
        for (const wchar_t character : text) {
            std::wcout.put(character > 0xFF ? L'?' : character);
        }
        std::wcout.flush();
    }
    logFile.Write(text);
}

bool IsDebugModeRequested() {
    std::array<wchar_t, 16> value{};
    const DWORD length =
        GetEnvironmentVariableW(L"ZELT_QUILLON_DEBUG", value.data(), static_cast<DWORD>(value.size()));
    // A value too long for the buffer returns the size it would need instead of its length.
    return length == 1 && value[0] == L'1';
}
