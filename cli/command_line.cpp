#include "cli/command_line.h"

#include <cwctype>

namespace CommandLine {

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

bool Parse(const std::vector<std::wstring>& arguments, std::wstring& drivePath, std::wstring& packagePath) {
    // The program's own path, argument 0, is scanned like every other argument. An empty /D: or a /T:
    // without a digit does not use up its switch.
    for (const std::wstring& argument : arguments) {
        if (const auto package = SwitchValue(argument, L'D')) {
            if (packagePath.empty()) {
                packagePath = *package;
            }
        } else if (const auto drive = SwitchValue(argument, L'T')) {
            const auto path = DrivePath(*drive);
            if (drivePath.empty() && path) {
                drivePath = *path;
            }
        }
    }
    return !drivePath.empty() && !packagePath.empty();
}

} // namespace CommandLine
