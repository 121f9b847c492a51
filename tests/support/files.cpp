#include "tests/support/files.h"

#include "tests/support/text_conversion.h"
#include "win32/local_ptr.h"
#include "win32/unique_handle.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <stdexcept>

namespace TestSupport {

TempDirectory::TempDirectory() {
    static std::atomic<unsigned> counter{0};
    std::array<wchar_t, MAX_PATH + 1> temp{};
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("no temporary folder");
    }
    for (;;) {
        const std::wstring candidate = std::wstring(temp.data()) + L"quillon-test-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount());
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create a temporary folder");
        }
    }
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path), ignored);
}

std::string ReadBytes(const std::wstring& path) {
    const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return {};
    }
    std::string bytes;
    std::array<char, 65536> block;
    DWORD read = 0;
    while (ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) &&
           read != 0) {
        bytes.append(block.data(), read);
    }
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.IsValid() ||
        !WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        throw std::runtime_error("cannot write a test file");
    }
}

Win32::UniqueHandle CopyInProgress(const std::wstring& path, const std::string& bytes) {
    Win32::UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    length.QuadPart = static_cast<LONGLONG>(bytes.size());
    LARGE_INTEGER start{};
    const DWORD half = static_cast<DWORD>(bytes.size() / 2);
    DWORD written = 0;
    if (!writer.IsValid() || !SetFilePointerEx(writer.Get(), length, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(writer.Get()) || !SetFilePointerEx(writer.Get(), start, nullptr, FILE_BEGIN) ||
        !WriteFile(writer.Get(), bytes.data(), half, &written, nullptr) || written != half) {
        throw std::runtime_error("cannot start a copy");
    }
    return writer;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring BuiltProgram(const std::wstring& name) {
    std::array<wchar_t, 32768> self{};
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    std::wstring path(self.data(), length);
    // The build puts every program into one output folder.
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

std::string RealExtCsd(const std::wstring& name) {
    std::string hex = ReadBytes(BuiltProgram(L"real-extcsd\\" + name + L".hex"));
    if (hex.size() != 1024) {
        throw std::runtime_error("the register of a real device is missing");
    }
    return hex;
}

std::string SystemMessage(unsigned long code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    const Win32::LocalPtr<char> owned(buffer);
    return length == 0 ? std::string() : std::string(owned.get(), length);
}

std::string SystemMessageUtf8(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const Win32::LocalPtr<wchar_t> owned(buffer);
    return length == 0 ? std::string() : Utf8(std::wstring_view(owned.get(), length));
}

std::string PatternBytes(std::size_t length, std::uint32_t seed) {
    std::string bytes(length, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

} // namespace TestSupport
