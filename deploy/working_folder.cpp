#include "deploy/working_folder.h"

#include "cli/utf8.h"
#include "win32/unique_find.h"

#include <algorithm>

namespace {

constexpr unsigned MAXIMUM_SEQUENCE = 999;
// How long the removal of a run's folder keeps trying: Wine releases the current folder of a process that
// has ended, and the files it had open, a moment after the process's end is signalled.
constexpr ULONGLONG REMOVAL_PATIENCE_MS = 10000;
constexpr DWORD REMOVAL_PAUSE_MS = 20;

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Removes the folder and everything in it; a link or junction in it is removed itself, never followed.
// True when the folder is gone.
bool RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const Win32::UniqueFind search = Win32::FindFirst(folder + L"\\*", found);
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW(path.c_str());
            } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                RemoveDirectoryW(path.c_str());
            } else {
                RemoveTree(path);
            }
        } while (FindNextFileW(search.get(), &found));
    }
    if (RemoveDirectoryW(folder.c_str())) {
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// `<machine>_<package id>_<YYYYMMDD>T<HHMMSS>Z`, perhaps followed by `-<sequence>`: the name of a run's
// working folder, as DeployRecord::FileStem makes it.
bool IsRunFolderName(const std::wstring& name, const std::wstring& packageId) {
    constexpr std::size_t TIME_LENGTH = 15;
    const std::size_t zone = name.rfind(L'Z');
    if (zone == std::wstring::npos || zone < TIME_LENGTH) {
        return false;
    }
    const std::wstring sequence = name.substr(zone + 1);
    if (!sequence.empty() && (sequence.size() < 2 || sequence[0] != L'-' ||
                              !std::all_of(sequence.begin() + 1, sequence.end(), IsDigit))) {
        return false;
    }
    const std::size_t time = zone - TIME_LENGTH;
    for (std::size_t i = 0; i < TIME_LENGTH; ++i) {
        if (i == 8 ? name[time + i] != L'T' : !IsDigit(name[time + i])) {
            return false;
        }
    }
    const std::wstring middle = L"_" + packageId + L"_";
    return time > middle.size() && name.compare(time - middle.size(), middle.size(), middle) == 0;
}

} // namespace

WorkingFolder::WorkingFolder(const std::wstring& stateFolder, const std::wstring& stem) {
    for (unsigned sequence = 1; sequence <= MAXIMUM_SEQUENCE; ++sequence) {
        path = stateFolder;
        path += L"\\";
        path += stem;
        if (sequence > 1) {
            path += L"-";
            path += std::to_wstring(sequence);
        }
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            made = true;
            error = CreateDirectoryW(ImageFolder().c_str(), nullptr) ? 0 : GetLastError();
            return;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return;
        }
    }
}

WorkingFolder::~WorkingFolder() {
    if (!made) {
        return;
    }
    const ULONGLONG deadline = GetTickCount64() + REMOVAL_PATIENCE_MS;
    while (!RemoveTree(path) && GetTickCount64() < deadline) {
        Sleep(REMOVAL_PAUSE_MS);
    }
}

void WorkingFolder::RemoveLeftovers(const std::wstring& stateFolder, const std::string& packageId) {
    const std::wstring id = Utf8::ToWide(packageId);
    WIN32_FIND_DATAW found{};
    const Win32::UniqueFind search = Win32::FindFirst(stateFolder + L"\\*", found);
    if (!search) {
        return;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            IsRunFolderName(found.cFileName, id)) {
            RemoveTree(stateFolder + L"\\" + found.cFileName);
        }
    } while (FindNextFileW(search.get(), &found));
}
