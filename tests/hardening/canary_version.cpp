// A version.dll that leaves the file "canary-loaded" in its own folder as soon as any process loads it.
// It carries the three functions the tool wants from the real library, each failing, so that a program
// importing the library starts with it (and shows the unknown version) instead of refusing to start.

#include <windows.h>

#include <array>
#include <string>
#include <string_view>

namespace {

void LeaveMarker(HINSTANCE self) {
    std::array<wchar_t, MAX_PATH + 32> path{};
    const DWORD length = GetModuleFileNameW(self, path.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    std::wstring_view folder(path.data(), length);
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
    const std::wstring marker = std::wstring(folder) + L"canary-loaded";
    const HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMarker(self);
    }
    return TRUE;
}

DWORD WINAPI CanaryFileVersionInfoSize(LPCWSTR, LPDWORD handle) {
    if (handle != nullptr) {
        *handle = 0;
    }
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
}

BOOL WINAPI CanaryFileVersionInfo(LPCWSTR, DWORD, DWORD, LPVOID) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI CanaryQueryValue(LPCVOID, LPCWSTR, LPVOID*, PUINT) {
    return FALSE;
}
}
