#include "app/command_line.h"

#include "win32/local_ptr.h"
#include "win32/unique_module.h"

#include <shellapi.h>
#include <windows.h>

#include <cwctype>
#include <string_view>

namespace {

void ScanArgument(std::wstring_view argument, std::wstring& drivePath, std::wstring& packagePath) {
    if (argument.size() < 2 || (argument[0] != L'-' && argument[0] != L'/')) {
        return;
    }
    if (argument[1] == L'D') {
        if (argument.size() >= 3 && argument[2] == L':' && packagePath.empty()) {
            packagePath = argument.substr(3);
        }
        return;
    }
    // The C runtime's digit test also accepts the superscript digits and the digits of other scripts;
    // such a drive path names no disk and ends the run when the drive is opened.
    if (argument[1] == L'T' && argument.size() >= 4 && argument[2] == L':' && drivePath.empty() &&
        std::iswdigit(argument[3])) {
        drivePath = L"\\\\.\\PhysicalDrive";
        drivePath += argument[3];
    }
}

} // namespace

bool ParseCommandLine(const wchar_t* commandLine, std::wstring& drivePath, std::wstring& packagePath) {
    const Win32::UniqueModule shell = Win32::LoadSystemLibrary(L"shell32.dll");
    const auto split = Win32::GetProc<decltype(&CommandLineToArgvW)>(shell.get(), "CommandLineToArgvW");
    if (split == nullptr) {
        return false;
    }
    int count = 0;
    const Win32::LocalPtr<LPWSTR> arguments(split(commandLine, &count));
    if (!arguments) {
        return false;
    }
    // The program's own path, argument 0, is scanned like every other argument.
    for (int i = 0; i < count; ++i) {
        ScanArgument(arguments.get()[i], drivePath, packagePath);
    }
    return !drivePath.empty() && !packagePath.empty();
}

bool ParseCommandLine(std::wstring& drivePath, std::wstring& packagePath) {
    return ParseCommandLine(GetCommandLineW(), drivePath, packagePath);
}
