#include "probe/new_file.h"

NewFile::NewFile(const std::wstring& path)
    : file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)) {
    if (!file.IsValid()) {
        error = GetLastError();
    }
}

bool NewFile::Write(const std::string& text) {
    std::string lines;
    for (const char character : text) {
        lines += character == '\n' ? "\r\n" : std::string(1, character);
    }
    DWORD written = 0;
    const bool whole =
        WriteFile(file.Get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
        written == lines.size();
    if (!whole) {
        Discard();
    }
    file.Reset();
    return whole;
}

void NewFile::Discard() {
    if (file.IsValid()) {
        // Removed through the handle that created it, never by its name: whoever may write the folder could
        // otherwise put a link or another folder under that name before the removal, and the elevated probe
        // would delete a file of their choosing. A removal that fails leaves the empty file behind.
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        static_cast<void>(
            SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof(disposition)));
        file.Reset();
    }
}
