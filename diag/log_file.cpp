#include "diag/log_file.h"

#include <array>

namespace {

bool IsPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) {
        return false;
    }
    constexpr DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    return (information.dwFileAttributes & notPlain) == 0 && information.nNumberOfLinks == 1;
}

} // namespace

LogFile::LogFile(const std::wstring& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself rather than its target; the
    // handle then shows what the name really is before a single byte is changed. Other processes may read
    // and write the log while the run goes on, but nobody can rename or delete it under the open handle.
    Win32::UniqueHandle opened(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened.IsValid() || !IsPlainFile(opened.Get()) || !SetEndOfFile(opened.Get())) {
        return;
    }
    file = std::move(opened);
}

void LogFile::Write(std::wstring_view text) {
    // Text is converted in blocks on the stack, so that writing a message never allocates and never throws.
    std::array<char, 512> block;
    std::size_t used = 0;
    const auto flush = [&] {
        DWORD written = 0;
        if (used != 0 && (!WriteFile(file.Get(), block.data(), static_cast<DWORD>(used), &written, nullptr) ||
                          written != used)) {
            file.Reset();
        }
        used = 0;
    };
    for (const wchar_t character : text) {
        if (!file.IsValid()) {
            return;
        }
        if (used + 2 > block.size()) {
            flush();
        }
        if (character == L'\n') {
            block[used++] = '\r';
            block[used++] = '\n';
        } else {
            block[used++] = character > 0xFF ? '?' : static_cast<char>(character);
        }
    }
    if (file.IsValid()) {
        flush();
    }
}
