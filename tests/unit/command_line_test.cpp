#include "cli/command_line.h"
#include "tests/support/text_conversion.h"

#include <gtest/gtest.h>

using TestSupport::Narrow;

namespace {

TEST(CommandLine, TakesTheFirstWellFormedDriveAndPackage) {
    const std::wstring drive = L"\\\\.\\PhysicalDrive";
    const struct {
        const wchar_t* commandLine;
        std::wstring drivePath;
        std::wstring packagePath;
    } cases[] = {
        {L"quillon.exe /T:0 /D:fw.ffu", drive + L"0", L"fw.ffu"},
        {L"quillon.exe -T:0 -D:fw.ffu", drive + L"0", L"fw.ffu"},
        {L"quillon.exe /D:fw.ffu /T:0", drive + L"0", L"fw.ffu"},
        {L"quillon.exe -D:fw.ffu /T:9", drive + L"9", L"fw.ffu"},
        {L"quillon.exe /T:12 /D:a", drive + L"1", L"a"},
        {L"quillon.exe /T:7x /D:a", drive + L"7", L"a"},
        {L"quillon.exe /T: /D:a", L"", L"a"},
        {L"quillon.exe /T:x /D:a", L"", L"a"},
        {L"quillon.exe /t:0 /D:a", L"", L"a"},
        {L"quillon.exe /T0 /D:a", L"", L"a"},
        {L"quillon.exe /T /D:a", L"", L"a"},
        {L"quillon.exe T:0 +T:1 \\T:2 /D:a", L"", L"a"},
        {L"quillon.exe /T:x /T:2 /D:a", drive + L"2", L"a"},
        {L"quillon.exe /T:1 /T:2 /D:a", drive + L"1", L"a"},
        {L"quillon.exe /D: /D:b.ffu /T:0", drive + L"0", L"b.ffu"},
        {L"quillon.exe /D:a.ffu /D:b.ffu /T:0", drive + L"0", L"a.ffu"},
        {L"quillon.exe /d:a.ffu /Dx:a.ffu /T:0", drive + L"0", L""},
        {L"quillon.exe /D::x /T:0", drive + L"0", L":x"},
        {L"quillon.exe /T:0 /D:C:\\fw\\image.ffu", drive + L"0", L"C:\\fw\\image.ffu"},
        {L"quillon.exe /T:0 \"/D:C:\\my fw\\a b.ffu\"", drive + L"0", L"C:\\my fw\\a b.ffu"},
        {L"quillon.exe /T:0 /D:\"C:\\my fw\\a.ffu\"", drive + L"0", L"C:\\my fw\\a.ffu"},
        {L"quillon.exe /T:0 /D:a b", drive + L"0", L"a"},
        {L"quillon.exe /T:0 /D:caf\u00E9\u4E2D.ffu", drive + L"0", L"caf\u00E9\u4E2D.ffu"},
        {L"quillon.exe /X -verbose word /T:3 plain /D:a.ffu -", drive + L"3", L"a.ffu"},
        // The program's own name is scanned like any other argument.
        {L"/T:4 /D:a", drive + L"4", L"a"},
        {L"-D:self /T:5", drive + L"5", L"self"},
        // The C runtime's digit test takes other digit characters too; they name no disk.
        {L"quillon.exe /T:\u00B2 /D:a", drive + L"\u00B2", L"a"},
        {L"quillon.exe /T:\u0660 /D:a", drive + L"\u0660", L"a"},
        {L"quillon.exe /T:\u00BD /D:a", L"", L"a"},
        {L"quillon.exe", L"", L""},
        {L"", L"", L""},
        {L"quillon.exe /T:0", drive + L"0", L""},
        {L"quillon.exe /D:a", L"", L"a"},
        {L"quillon.exe /T:0 /D:", drive + L"0", L""},
    };
    for (const auto& [commandLine, drivePath, packagePath] : cases) {
        SCOPED_TRACE(Narrow(commandLine));
        std::wstring parsedDrive;
        std::wstring parsedPackage;
        EXPECT_EQ(ParseCommandLine(commandLine, parsedDrive, parsedPackage),
                  !drivePath.empty() && !packagePath.empty());
        EXPECT_EQ(parsedDrive, drivePath);
        EXPECT_EQ(parsedPackage, packagePath);
    }
}

} // namespace
