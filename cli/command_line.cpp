#include "cli/command_line.h"

#include "win32/local_ptr.h"
#include "win32/unique_module.h"

#include <shellapi.h>
#include <windows.h>

#include <cwctype>

namespace CommandLine {

std::optional<std::vector<std::wstring>> Split(const wchar_t* commandLine) {
    const Win32::UniqueModule shell = Win32::LoadSystemLibrary(L"shell32.dll");
    const auto split = Win32::GetProc<decltype(&CommandLineToArgvW)>(shell.get(), "CommandLineToArgvW");
    if (split == nullptr) {
        return std::nullopt;
    }
    int count = 0;
    const Win32::LocalPtr<LPWSTR> arguments(split(commandLine, &count));
    if (!arguments) {
        return std::nullopt;
    }
    return std::vector<std::wstring>(arguments.get(), arguments.get() + count);
}

std::optional<std::wstring_view> SwitchValue(std::wstring_view argument, wchar_t letter) {
    if (argument.size() < 3 || (argument[0] != L'-' && argument[0] != L'/') || argument[1] != letter ||
        argument[2] != L':') {
        return std::nullopt;
    }
    return argument.substr(3);
}

std::optional<std::wstring> DrivePath(std::wstring_view value) {
    // The C runtime's digit test also accepts the superscript digits and the digits of other scripts;
    // such a drive path names no disk and ends the run when the drive is opened.
    if (value.empty() || !std::iswdigit(value[0])) {
        return std::nullopt;
    }
    return L"\\\\.\\PhysicalDrive" + std::wstring(1, value[0]);
}

} // namespace CommandLine

bool ParseCommandLine(const wchar_t* commandLine, std::wstring& drivePath, std::wstring& packagePath) {
    const auto arguments = CommandLine::Split(commandLine);
    if (!arguments) {
        return false;
    }
    // The program's own path, argument 0, is scanned like every other argument. An empty /D: or a /T:
    // without a digit does not use up its switch.
    for (const std::wstring& argument : *arguments) {
        if (const auto package = CommandLine::SwitchValue(argument, L'D')) {
            if (packagePath.empty()) {
                packagePath = *package;
            }
        } else if (const auto drive = CommandLine::SwitchValue(argument, L'T')) {
            const auto path = CommandLine::DrivePath(*drive);
            if (drivePath.empty() && path) {
                drivePath = *path;
            }
        }
    }
    return !drivePath.empty() && !packagePath.empty();
}

bool ParseCommandLine(std::wstring& drivePath, std::wstring& packagePath) {
    return ParseCommandLine(GetCommandLineW(), drivePath, packagePath);
}
