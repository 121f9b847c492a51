#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace Win32 {

// The variable's value; none when it is not set or cannot be read whole.
inline std::optional<std::wstring> EnvironmentVariable(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    if (length == 0 || length >= size) {
        return std::nullopt;
    }
    value.resize(length);
    return value;
}

} // namespace Win32
