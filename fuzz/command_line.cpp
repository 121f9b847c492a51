// The switches of quillon.exe's command line, once Windows has split it into arguments: the first well-formed
// /T: and /D: win, "-" may stand for "/", and everything else is ignored. The input is UTF-16 arguments, each
// ended by a line feed.
#include "cli/command_line.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (unit == L'\n') {
            arguments.emplace_back();
        } else {
            arguments.back() += unit;
        }
    }

    std::wstring expectedDrive;
    std::wstring expectedPackage;
    for (const std::wstring& argument : arguments) {
        const bool isSwitch =
            argument.size() >= 3 && (argument[0] == L'/' || argument[0] == L'-') && argument[2] == L':';
        if (isSwitch && argument[1] == L'D' && expectedPackage.empty()) {
            expectedPackage = argument.substr(3);
        }
        if (isSwitch && argument[1] == L'T' && expectedDrive.empty() && argument.size() > 3 &&
            std::iswdigit(argument[3])) {
            expectedDrive = L"\\\\.\\PhysicalDrive" + argument.substr(3, 1);
        }
    }
    std::wstring drive;
    std::wstring package;
    const bool both = CommandLine::Parse(arguments, drive, package);
    Fuzz::Check(drive == expectedDrive && package == expectedPackage &&
                    both == (!expectedDrive.empty() && !expectedPackage.empty()),
                "the first well-formed /T: and /D: win");
    return 0;
}
