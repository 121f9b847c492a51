// The single-instance guard: a second run while a first one still holds the guard ends with 5 and leaves
// the first run's log alone, even in the same working directory.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

// Whether the guard's name exists, and why not when it does not.
DWORD OpenGuardError() {
    SetLastError(ERROR_SUCCESS);
    const Win32::UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, INSTANCE_MUTEX_NAME));
    return guard.IsValid() ? ERROR_SUCCESS : GetLastError();
}

class SecondInstance : public testing::TestWithParam<bool> {};

TEST_P(SecondInstance, IsRefusedWhileTheFirstWaitsForEnter) {
    const bool secondInDebugMode = GetParam();
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(1000));
    LaunchOptions first{
        BuiltProgram(L"quillon.exe"), L"/T:9 /D:fw.ffu", directory.Path(), {{L"ZELT_QUILLON_DEBUG", L"1"}}};
    first.input.reset();
    ChildProcess firstRun(first);
    ASSERT_TRUE(firstRun.WaitForOutput(ENTER_PROMPT));
    const std::string firstLog = TextMode(BANNER + OpenDeviceError(2));
    ASSERT_EQ(ReadBytes(directory / L"quillon.log"), firstLog);
    ASSERT_EQ(OpenGuardError(), static_cast<DWORD>(ERROR_SUCCESS));

    std::map<std::wstring, std::wstring> environment;
    if (secondInDebugMode) {
        environment[L"ZELT_QUILLON_DEBUG"] = L"1";
    }
    const RunResult second =
        RunProgram({BuiltProgram(L"quillon.exe"), L"/T:9 /D:fw.ffu", directory.Path(), environment, "\n"});

    EXPECT_EQ(second.exitCode, 5u);
    EXPECT_EQ(second.output,
              secondInDebugMode ? TextMode(BANNER) + "Quillon: already running!" + ENTER_PROMPT : "");
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), firstLog);

    EXPECT_FALSE(firstRun.EndsWithin(std::chrono::milliseconds(0)));
    firstRun.WriteInput("\n");
    EXPECT_TRUE(firstRun.EndsWithin(std::chrono::seconds(60)));
    EXPECT_EQ(firstRun.Wait(), 1u);
    EXPECT_EQ(firstRun.Output(), firstLog + ENTER_PROMPT);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), firstLog);
    // Both runs have let go of the guard, so the next run is admitted.
    EXPECT_EQ(OpenGuardError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(SecondRun, SecondInstance, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "InDebugMode" : "Silent"; });

} // namespace
