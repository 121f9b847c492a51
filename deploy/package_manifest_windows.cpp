#include "deploy/package_manifest.h"

#include "win32/unique_handle.h"

#include <windows.h>

PackageManifest PackageManifest::Read(const std::wstring& path) {
    const Win32::UniqueHandle handle(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle.IsValid()) {
        RefuseFile(path, "cannot be opened (Windows error " + std::to_string(GetLastError()) + ")");
    }
    LARGE_INTEGER size{};
    if (GetFileType(handle.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(handle.Get(), &size) ||
        size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > MAXIMUM_MANIFEST_LENGTH) {
        RefuseFile(path, "not a file of at most " + std::to_string(MAXIMUM_MANIFEST_LENGTH) + " bytes");
    }
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() &&
        (!ReadFile(handle.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
         read != text.size())) {
        RefuseFile(path, "cannot be read (Windows error " + std::to_string(GetLastError()) + ")");
    }
    return Parse(text, path);
}
