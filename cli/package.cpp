#include "cli/package.h"

#include "win32/unique_handle.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <stdexcept>

namespace {

constexpr LONGLONG MAX_PACKAGE_SIZE = 0x7FFFFFFF;
// Reads of a bounded size: some redirectors refuse a single read of hundreds of megabytes.
constexpr DWORD READ_BLOCK_SIZE = 8 * 1024 * 1024;

bool Exists(const std::wstring& packagePath) {
    try {
        return std::filesystem::exists(std::filesystem::path(packagePath));
    } catch (const std::filesystem::filesystem_error&) {
        // A path whose existence cannot be established (malformed, unreachable) is as good as missing.
        return false;
    }
}

bool ReadWhole(HANDLE file, std::vector<std::uint8_t>& image) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || size.QuadPart > MAX_PACKAGE_SIZE) {
        return false;
    }
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    std::size_t total = 0;
    while (total < bytes.size()) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, READ_BLOCK_SIZE));
        DWORD read = 0;
        // A file that shrinks while it is read ends the loop early; a short image never reaches a device.
        if (!ReadFile(file, bytes.data() + total, wanted, &read, nullptr) || read == 0) {
            return false;
        }
        total += read;
    }
    image = std::move(bytes);
    return true;
}

} // namespace

PackageLoad LoadPackage(const std::wstring& packagePath, std::vector<std::uint8_t>& image) {
    if (!Exists(packagePath)) {
        return PackageLoad::Missing;
    }
    // Other processes may go on reading the package while it is loaded, but none may hold it open for
    // writing: a copy still in progress has its full length with its end not yet written, and those zero
    // bytes would go to the device as firmware. The open then fails with a sharing violation.
    const Win32::UniqueHandle file(CreateFileW(packagePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid() || GetFileType(file.Get()) != FILE_TYPE_DISK || !ReadWhole(file.Get(), image)) {
        return PackageLoad::Unreadable;
    }
    return PackageLoad::Loaded;
}
