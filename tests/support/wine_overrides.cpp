#include "tests/support/wine_overrides.h"

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <type_traits>

namespace TestSupport {

WineAppDefault::WineAppDefault(const std::wstring& programName, const std::wstring& section,
                               const std::wstring& name, const std::wstring& value)
    : keyPath(L"Software\\Wine\\AppDefaults\\" + programName + (section.empty() ? L"" : L"\\" + section)) {
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &created,
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the program's Wine key");
    }
    const std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key(created, &RegCloseKey);
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       bytes) != ERROR_SUCCESS) {
        RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
        throw std::runtime_error("cannot set the program's Wine setting");
    }
}

WineAppDefault::~WineAppDefault() {
    RegDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
}

} // namespace TestSupport
