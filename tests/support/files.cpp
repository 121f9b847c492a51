#include "tests/support/files.h"

#include "tests/support/polling.h"
#include "tests/support/text_conversion.h"
#include "win32/local_ptr.h"
#include "win32/unique_find.h"
#include "win32/unique_handle.h"
#include "win32/unique_module.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <optional>
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

std::vector<FolderEntry> FolderEntries(const std::wstring& pattern) {
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found{};
    const Win32::UniqueFind search = Win32::FindFirst(pattern, found);
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                entries.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
            }
        } while (FindNextFileW(search.get(), &found));
    }
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
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

namespace {

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The Unix path of a Windows path under Wine; nothing on Windows.
std::optional<std::wstring> UnixPath(const std::wstring& path) {
    // Wine's own export, of the C calling convention, which is the default one.
    using ToUnix = char* (*)(const wchar_t*);
    const auto toUnix = Win32::GetProc<ToUnix>(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    char* unix = toUnix == nullptr ? nullptr : toUnix(path.c_str());
    if (unix == nullptr) {
        return std::nullopt;
    }
    // Wine's Unix paths are UTF-8.
    const int size = MultiByteToWideChar(CP_UTF8, 0, unix, -1, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size > 0 ? size - 1 : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, unix, -1, text.data(), size);
    HeapFree(GetProcessHeap(), 0, unix);
    return text;
}

// Runs a Unix shell command under Wine and waits until it is done. Wine hands a Unix program over to Unix
// and gives no process to wait for: the command makes a folder at its end, and its appearance is awaited.
bool RunUnixCommand(const std::wstring& command, const std::wstring& besidePath) {
    const std::wstring done = besidePath + L".done-" + std::to_wstring(GetCurrentProcessId());
    const auto unixDone = UnixPath(done);
    if (!unixDone) {
        return false;
    }
    std::wstring commandLine = L"/bin/sh -c \"" + command + L" && mkdir '" + *unixDone + L"'\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    const Win32::UniqueHandle processHandle(process.hProcess);
    const Win32::UniqueHandle threadHandle(process.hThread);
    if (!PollUntil([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; })) {
        return false;
    }
    RemoveDirectoryW(done.c_str());
    return true;
}

} // namespace

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory) {
    const DWORD flags =
        (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && IsReparsePoint(link)) {
        return true;
    }
    const auto unixLink = UnixPath(link);
    const auto unixTarget = UnixPath(target);
    // Wine shows a Unix link to a folder as a reparse point, a link to a file as the file it names.
    return unixLink && unixTarget &&
           RunUnixCommand(L"ln -s '" + *unixTarget + L"' '" + *unixLink + L"'", link) &&
           (!directory || IsReparsePoint(link));
}

void RemoveSymbolicLink(const std::wstring& link) {
    const auto unixLink = UnixPath(link);
    if (unixLink) {
        RunUnixCommand(L"rm -f '" + *unixLink + L"'", link);
    } else if (!DeleteFileW(link.c_str())) {
        RemoveDirectoryW(link.c_str());
    }
}

bool LetEveryoneWrite(const std::wstring& path) {
    const auto unixPath = UnixPath(path);
    return unixPath && RunUnixCommand(L"chmod 777 '" + *unixPath + L"'", path);
}

Win32::UniqueHandle MutexWithSecurity(const std::wstring& name, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return Win32::UniqueHandle();
    }
    const Win32::LocalPtr<void> held(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    return Win32::UniqueHandle(CreateMutexW(&security, TRUE, name.c_str()));
}

} // namespace TestSupport
