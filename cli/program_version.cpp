#include "cli/program_version.h"

#include "win32/unique_module.h"

#include <windows.h>

#include <array>
#include <sstream>
#include <vector>

std::wstring GetProgramVersion() {
    std::array<wchar_t, MAX_PATH> path{};
    const DWORD pathLength = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (pathLength == 0 || pathLength >= path.size()) {
        return {};
    }
    // version.dll is not one of the DLLs that Windows always takes from the system directory.
    const Win32::UniqueModule library = Win32::LoadSystemLibrary(L"version.dll");
    if (!library) {
        return {};
    }
    const auto getSize =
        Win32::GetProc<decltype(&GetFileVersionInfoSizeW)>(library.get(), "GetFileVersionInfoSizeW");
    const auto getInfo = Win32::GetProc<decltype(&GetFileVersionInfoW)>(library.get(), "GetFileVersionInfoW");
    const auto queryValue = Win32::GetProc<decltype(&VerQueryValueW)>(library.get(), "VerQueryValueW");
    if (getSize == nullptr || getInfo == nullptr || queryValue == nullptr) {
        return {};
    }

    DWORD handle = 0;
    const DWORD size = getSize(path.data(), &handle);
    if (size == 0) {
        return {};
    }
    std::vector<std::uint8_t> information(size);
    void* block = nullptr;
    UINT blockLength = 0;
    if (!getInfo(path.data(), 0, size, information.data()) ||
        !queryValue(information.data(), L"\\", &block, &blockLength) || block == nullptr ||
        blockLength < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    std::wostringstream text;
    text << HIWORD(fixed->dwProductVersionMS) << L'.' << LOWORD(fixed->dwProductVersionMS) << L'.'
         << HIWORD(fixed->dwProductVersionLS);
    return text.str();
}
