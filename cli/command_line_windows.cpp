#include "cli/command_line.h"

#include "win32/local_ptr.h"
#include "win32/unique_module.h"

#include <shellapi.h>
#include <windows.h>

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

} // namespace CommandLine

bool ParseCommandLine(const wchar_t* commandLine, std::wstring& drivePath, std::wstring& packagePath) {
    const auto arguments = CommandLine::Split(commandLine);
    return arguments && CommandLine::Parse(*arguments, drivePath, packagePath);
}

bool ParseCommandLine(std::wstring& drivePath, std::wstring& packagePath) {
    return ParseCommandLine(GetCommandLineW(), drivePath, packagePath);
}
