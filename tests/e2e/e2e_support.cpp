#include "tests/e2e/e2e_support.h"

#include <memory>
#include <stdexcept>
#include <type_traits>

using namespace TestSupport;

namespace E2e {

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
