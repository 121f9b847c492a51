#include "deploy/tool_process.h"

#include "win32/unique_handle.h"

#include <windows.h>

#include <vector>

namespace ToolProcess {

Deployment::ToolExit Run(const std::wstring& program, unsigned drive, const std::wstring& image,
                         const std::wstring& workingFolder) {
    // Input that ends at once: a tool in debug mode waits for ENTER, and must not wait for a key that
    // nobody presses.
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    const Win32::UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING,
                                              0, nullptr));
    if (!nul.IsValid()) {
        return {std::nullopt, GetLastError()};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.Get();
    startup.hStdOutput = nul.Get();
    startup.hStdError = nul.Get();
    // The tool takes the image path whole from between the quotes: the state folder may hold blanks, and a
    // Windows path holds no quote.
    std::wstring commandLine =
        L"\"" + program + L"\" /T:" + std::to_wstring(drive) + L" /D:\"" + image + L"\"";
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        workingFolder.c_str(), &startup, &process)) {
        return {std::nullopt, GetLastError()};
    }
    const Win32::UniqueHandle child(process.hProcess);
    const Win32::UniqueHandle thread(process.hThread);
    DWORD exitCode = 0;
    if (WaitForSingleObject(child.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.Get(), &exitCode)) {
        return {std::nullopt, GetLastError()};
    }
    return {exitCode, 0};
}

std::wstring BesideThisProgram(const wchar_t* name) {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return folder + name;
}

} // namespace ToolProcess
