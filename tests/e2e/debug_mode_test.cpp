// The debug switch: with ZELT_QUILLON_DEBUG exactly "1" the console shows the log text and the run waits for
// ENTER; with anything else the console stays silent and nothing waits.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <optional>

using namespace TestSupport;

namespace {

struct DebugRun {
    const char* name;
    bool simulated;
    std::wstring arguments;
    std::string description;
    std::string log;
    DWORD exitCode;
};

void PrintTo(const DebugRun& param, std::ostream* out) {
    *out << param.name;
}

const std::string PACKAGE = PatternBytes(70144, 7);

LaunchOptions Launch(const DebugRun& run, const TempDirectory& directory,
                     const std::map<std::wstring, std::wstring>& environment) {
    WriteBytes(directory / L"fw.ffu", PACKAGE);
    // An operator who has not pressed a key yet.
    ToolLaunch launch{run.arguments, run.description, environment, std::nullopt};
    if (!run.simulated) {
        launch.program = BuiltProgram(L"quillon.exe");
    }
    return LaunchIn(directory, launch);
}

const DebugRun DRIVE_THAT_DOES_NOT_OPEN{"DriveThatDoesNotOpen", false, L"/T:9 /D:fw.ffu", "",
                                        OpenDeviceError(2),     1};

class DebugMode : public testing::TestWithParam<DebugRun> {};

TEST_P(DebugMode, EchoesTheLogAndWaitsForEnter) {
    const DebugRun& run = GetParam();
    TempDirectory directory;
    ChildProcess child(Launch(run, directory, {{L"ZELT_QUILLON_DEBUG", L"1"}}));
    const std::string log = TextMode(BANNER + run.log);

    ASSERT_TRUE(child.WaitForOutput(ENTER_PROMPT)) << child.Account();
    // Every message is on disk while the run waits, as a deployment script that gives up here would find it.
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), log);
    // A run that does not wait ends right after its prompt. Load can only make this check miss such a run,
    // never fail one that waits.
    EXPECT_FALSE(child.EndsWithin(std::chrono::milliseconds(500))) << child.Account();

    child.WriteInput("\n");
    EXPECT_TRUE(child.EndsWithin(std::chrono::seconds(60)));
    EXPECT_EQ(child.Wait(), run.exitCode);
    EXPECT_EQ(child.Output(), log + ENTER_PROMPT);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), log);
}

INSTANTIATE_TEST_SUITE_P(Runs, DebugMode,
                         testing::Values(DebugRun{"NoArguments", false, L"", "", USAGE, 8},
                                         DebugRun{"MissingPackage", false, L"/T:1 /D:missing.ffu", "",
                                                  "Quillon: could not open file 'missing.ffu'\n", 8},
                                         DRIVE_THAT_DOES_NOT_OPEN,
                                         DebugRun{"SimulatedRefusal", true, L"/T:0 /D:fw.ffu",
                                                  "ext_csd_rev = 6\n", OpenedDevice('0') + VERSION_TOO_OLD,
                                                  1},
                                         DebugRun{"SimulatedUpdate", true, L"/T:0 /D:fw.ffu", "",
                                                  OpenedDevice('0') + UPDATING + DOWNLOADING + Progress(0) +
                                                      Progress(65024) + UPDATED + RESTART,
                                                  0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Values of ZELT_QUILLON_DEBUG that leave debug mode off; none means the variable is not set.
class SilentMode : public testing::TestWithParam<std::optional<std::wstring>> {};

TEST_P(SilentMode, WritesOnlyTheLogAndDoesNotWait) {
    const DebugRun& run = DRIVE_THAT_DOES_NOT_OPEN;
    TempDirectory directory;
    std::map<std::wstring, std::wstring> environment;
    if (GetParam()) {
        environment[L"ZELT_QUILLON_DEBUG"] = *GetParam();
    }
    ChildProcess child(Launch(run, directory, environment));

    ASSERT_TRUE(child.EndsWithin(std::chrono::seconds(60))) << "the run waits for input";
    EXPECT_EQ(child.Wait(), run.exitCode);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), TextMode(BANNER + run.log));
    EXPECT_EQ(child.Output(), "");
}

INSTANTIATE_TEST_SUITE_P(Values, SilentMode,
                         testing::Values(std::nullopt, L"", L"0", L"true", L"1 ", L" 1", L"01", L"11",
                                         L"\uFF11", L"1111111111111111", L"1\t"),
                         [](const auto& info) {
                             if (!info.param) {
                                 return std::string("Unset");
                             }
                             // Test names take letters, digits and underscores only.
                             std::string name = "Value";
                             for (const wchar_t c : *info.param) {
                                 name += c < 0x80 && std::iswalnum(c)
                                             ? std::string(1, static_cast<char>(c))
                                             : "_" + std::to_string(static_cast<unsigned>(c));
                             }
                             return name;
                         });

} // namespace
