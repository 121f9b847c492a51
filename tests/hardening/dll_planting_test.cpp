// A version.dll planted beside the program must never run: the tool is started elevated, often from a
// download folder that anybody can write to.

#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/wine_overrides.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>

using namespace TestSupport;

namespace {

// The Windows path of the canary version.dll that the build puts beside bin/.
std::wstring CanaryLibrary() {
    const std::wstring relative = BuiltProgram(L"..\\canary\\version.dll");
    std::array<wchar_t, 32768> full{};
    const DWORD length =
        GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return length == 0 || length >= full.size() ? relative : std::wstring(full.data(), length);
}

struct PlantingCase {
    const char* name;
    const wchar_t* program;
    const wchar_t* arguments;
    DWORD exitCode;
    // The tool's log begins with its banner; the deployment program keeps none in its working folder, and its
    // usage goes to its error stream.
    bool keepsLog;
};

void PrintTo(const PlantingCase& given, std::ostream* out) {
    *out << given.name;
}

class DllPlanting : public testing::TestWithParam<PlantingCase> {};

TEST_P(DllPlanting, PlantedVersionLibraryNeverRuns) {
    const PlantingCase& given = GetParam();
    TempDirectory folder;
    const std::wstring program = folder / given.program;
    ASSERT_TRUE(CopyFileW(BuiltProgram(given.program).c_str(), program.c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(CanaryLibrary().c_str(), (folder / L"version.dll").c_str(), TRUE));
    WriteBytes(folder / L"fw.ffu", PatternBytes(70144));
    // Wine is told to prefer the planted version.dll over its own. Wine takes WINEDLLOVERRIDES from the Unix
    // environment that a process inherits, never from the environment block its parent hands to
    // CreateProcessW, so the test reaches the one program only through the program's own registry key.
    // Elsewhere the key means nothing and the test runs under the system's default search order.
    const WineAppDefault preferPlanted(given.program, L"DllOverrides", L"version", L"native,builtin");

    ToolLaunch launch;
    launch.program = program;
    launch.arguments = given.arguments;
    const ToolRun run = RunTool(folder, launch);

    EXPECT_FALSE(FileExists(folder / L"canary-loaded")) << "the planted version.dll was loaded";
    const std::string first = given.keepsLog ? TextMode(BANNER) : "Usage:";
    EXPECT_EQ((given.keepsLog ? run.log : run.errors).substr(0, first.size()), first);
    EXPECT_EQ(run.exitCode, given.exitCode);
}

// The real driver builds are given no drive at all: the tool stops at the usage text, after the banner; the
// deployment program at its usage, before it asks the machine anything (a version.dll it imported would
// already have been loaded from beside it).
INSTANTIATE_TEST_SUITE_P(Programs, DllPlanting,
                         testing::Values(PlantingCase{"Tool", L"quillon.exe", L"", 8, true},
                                         PlantingCase{"SimulatedDeviceFullRun", L"quillon-sim.exe",
                                                      L"/T:0 /D:fw.ffu", 0, true},
                                         PlantingCase{"Deployment", L"quillon-deploy.exe", L"", 20, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
