// The single-instance guard: a second run while a first one still holds the guard ends with 5. It keeps a
// log of its own in its own folder, and leaves the first run's log alone when both share a folder.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

// Whether the guard's name exists, and why not when it does not.
DWORD OpenGuardError() {
    SetLastError(ERROR_SUCCESS);
    const Win32::UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, INSTANCE_MUTEX_NAME));
    return guard.IsValid() ? ERROR_SUCCESS : GetLastError();
}

struct Second {
    bool inOtherFolder;
    bool inDebugMode;
};

class SecondInstance : public testing::TestWithParam<Second> {};

TEST_P(SecondInstance, IsRefusedWhileTheFirstWaitsForEnter) {
    const Second second = GetParam();
    TempDirectory firstDirectory;
    TempDirectory otherDirectory;
    const TempDirectory& secondDirectory = second.inOtherFolder ? otherDirectory : firstDirectory;
    WriteBytes(firstDirectory / L"fw.ffu", PatternBytes(1000));
    WriteBytes(otherDirectory / L"fw.ffu", PatternBytes(1000));
    // An earlier run's log in the second folder must not pass for the second run's record.
    WriteBytes(otherDirectory / L"quillon.log", TextMode(BANNER + UPDATED + RESTART));

    LaunchOptions first{BuiltProgram(L"quillon.exe"),
                        L"/T:9 /D:fw.ffu",
                        firstDirectory.Path(),
                        {{L"ZELT_QUILLON_DEBUG", L"1"}}};
    first.input.reset();
    ChildProcess firstRun(first);
    ASSERT_TRUE(firstRun.WaitForOutput(ENTER_PROMPT)) << firstRun.Account();
    const std::string firstLog = TextMode(BANNER + OpenDeviceError(2));
    ASSERT_EQ(ReadBytes(firstDirectory / L"quillon.log"), firstLog);
    ASSERT_EQ(OpenGuardError(), static_cast<DWORD>(ERROR_SUCCESS));

    std::map<std::wstring, std::wstring> environment;
    if (second.inDebugMode) {
        environment[L"ZELT_QUILLON_DEBUG"] = L"1";
    }
    const RunResult secondRun = RunProgram(
        {BuiltProgram(L"quillon.exe"), L"/T:9 /D:fw.ffu", secondDirectory.Path(), environment, "\n"});

    const std::string refused = TextMode(BANNER) + "Quillon: already running!";
    EXPECT_EQ(secondRun.exitCode, 5u);
    EXPECT_EQ(secondRun.output, second.inDebugMode ? refused + ENTER_PROMPT : "");
    EXPECT_EQ(ReadBytes(firstDirectory / L"quillon.log"), firstLog);
    if (second.inOtherFolder) {
        EXPECT_EQ(ReadBytes(otherDirectory / L"quillon.log"), refused);
    }

    EXPECT_FALSE(firstRun.EndsWithin(std::chrono::milliseconds(0)));
    firstRun.WriteInput("\n");
    EXPECT_TRUE(firstRun.EndsWithin(std::chrono::seconds(60)));
    EXPECT_EQ(firstRun.Wait(), 1u);
    EXPECT_EQ(firstRun.Output(), firstLog + ENTER_PROMPT);
    EXPECT_EQ(ReadBytes(firstDirectory / L"quillon.log"), firstLog);
    // Both runs have let go of the guard, so the next run is admitted.
    EXPECT_EQ(OpenGuardError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(SecondRun, SecondInstance,
                         testing::Values(Second{false, false}, Second{false, true}, Second{true, false},
                                         Second{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.inOtherFolder ? "OtherFolder" : "SameFolder") +
                                    (info.param.inDebugMode ? "InDebugMode" : "Silent");
                         });

// Runs started in the same instant in one folder: one at a time holds the log and the guard, every other
// one is refused without touching the log, and the log is the whole record of one update.
TEST(SimultaneousStarts, LeaveExactlyOneCompleteLog) {
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(1000));
    LaunchOptions racer{BuiltProgram(L"quillon-sim.exe"), L"/T:0 /D:fw.ffu", directory.Path(), {}};
    racer.suspended = true;
    std::vector<std::unique_ptr<ChildProcess>> runs;
    runs.reserve(8);
    for (int i = 0; i < 8; ++i) {
        runs.push_back(std::make_unique<ChildProcess>(racer));
    }
    for (const auto& run : runs) {
        run->Resume();
    }
    std::vector<DWORD> exitCodes;
    exitCodes.reserve(runs.size());
    for (const auto& run : runs) {
        exitCodes.push_back(run->Wait());
    }

    for (const DWORD exitCode : exitCodes) {
        EXPECT_TRUE(exitCode == 0 || exitCode == 5) << exitCode;
    }
    EXPECT_GE(std::count(exitCodes.begin(), exitCodes.end(), 0u), 1);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), TextMode(BANNER + OpenedDevice('0') + UPDATING +
                                                              DOWNLOADING + Progress(0) + UPDATED + RESTART));
}

} // namespace
