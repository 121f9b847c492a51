#include "diag/log_file.h"

namespace {

bool IsPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) {
        return false;
    }
    // A read-only log is somebody's wish to keep it; Windows refuses the write access itself, an elevated
    // process on other systems may not.
    constexpr DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY |
                               FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY;
    return (information.dwFileAttributes & notPlain) == 0 && information.nNumberOfLinks == 1;
}

// Claims the file for this run with an exclusive lock on one byte far beyond any real end of file: the lock
// belongs to the file itself, whatever path or folder names it, it never hinders readers or writers of the
// text, and Windows drops it when the handle closes or the process ends.
bool ClaimForThisRun(HANDLE file) {
    OVERLAPPED farBeyondTheEnd{};
    farBeyondTheEnd.Offset = 0xFFFFFFFF;
    farBeyondTheEnd.OffsetHigh = 0x7FFFFFFF;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &farBeyondTheEnd);
}

} // namespace

LogFile::LogFile(const std::wstring& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself rather than its target; the
    // handle then shows what the name really is before a single byte is changed. Other processes may read
    // and write the log while the run goes on, but nobody can rename or delete it under the open handle.
    // The file is opened without emptying it: only the run that claims it may empty it.
    Win32::UniqueHandle opened(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened.IsValid() || !IsPlainFile(opened.Get())) {
        return;
    }
    // A file system without byte-range locks cannot tell whether another run holds the file; the run then
    // keeps its log rather than go on without one, and the single-instance guard still refuses a second run.
    if (!ClaimForThisRun(opened.Get()) && GetLastError() == ERROR_LOCK_VIOLATION) {
        heldByAnotherRun = true;
        return;
    }
    if (!SetEndOfFile(opened.Get())) {
        return;
    }
    file = std::move(opened);
}

LogFile::~LogFile() {
    Flush();
}

void LogFile::Write(std::wstring_view text) {
    for (const wchar_t character : text) {
        if (!file.IsValid()) {
            return;
        }
        if (pendingLength + 2 > pending.size()) {
            Flush();
        }
        if (character == L'\n') {
            pending[pendingLength++] = '\r';
            pending[pendingLength++] = '\n';
        } else {
            pending[pendingLength++] = NarrowCharacter(character);
        }
    }
    if (!text.empty() && text.back() == L'\n') {
        Flush();
    }
}

void LogFile::Flush() {
    DWORD written = 0;
    if (file.IsValid() && pendingLength != 0 &&
        (!WriteFile(file.Get(), pending.data(), static_cast<DWORD>(pendingLength), &written, nullptr) ||
         written != pendingLength)) {
        file.Reset();
    }
    pendingLength = 0;
}

std::string NarrowText(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (const wchar_t character : text) {
        narrow += NarrowCharacter(character);
    }
    return narrow;
}
