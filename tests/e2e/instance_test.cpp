// The single-instance guard: a second run while a first one still holds the guard ends with 5. It keeps a
// log of its own in its own folder, and leaves the first run's log alone when both share a folder.

#include "diag/log_file.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

using namespace TestSupport;

namespace {

// Whether a guard's name exists, and why not when it does not.
DWORD OpenGuardError(const wchar_t* name = INSTANCE_MUTEX_NAME) {
    SetLastError(ERROR_SUCCESS);
    const Win32::UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, name));
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
    WriteBytes(firstDirectory / L"fw.ffu", PatternBytes(1024));
    WriteBytes(otherDirectory / L"fw.ffu", PatternBytes(1024));
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
    // Both runs have let go of the guards, so the next run is admitted.
    EXPECT_EQ(OpenGuardError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenGuardError(MACHINE_WIDE_INSTANCE_MUTEX_NAME), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(SecondRun, SecondInstance,
                         testing::Values(Second{false, false}, Second{false, true}, Second{true, false},
                                         Second{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.inOtherFolder ? "OtherFolder" : "SameFolder") +
                                    (info.param.inDebugMode ? "InDebugMode" : "Silent");
                         });

// What shows that another run goes on, held by this test in its place: the session's guard; the machine-wide
// guard alone, as a run in another session holds it; or, with no guard held, the log of a run in the same
// folder that has let go of its guards but not yet ended.
struct OtherRun {
    const char* name;
    const wchar_t* heldGuard;
};

void PrintTo(const OtherRun& run, std::ostream* out) {
    *out << run.name;
}

class OtherRunGoesOn : public testing::TestWithParam<OtherRun> {};

TEST_P(OtherRunGoesOn, RefusesTheRunBeforeTheDeviceIsAsked) {
    const wchar_t* const heldGuard = GetParam().heldGuard;
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(65536));
    const Win32::UniqueHandle guard(heldGuard != nullptr ? CreateMutexW(nullptr, TRUE, heldGuard) : nullptr);
    std::optional<LogFile> otherLog;
    if (heldGuard == nullptr) {
        otherLog.emplace(directory / L"quillon.log");
        otherLog->Write(L"the other run\n");
    }

    const ToolRun run = RunTool(directory, {L"/T:0 /D:fw.ffu"});

    EXPECT_EQ(run.exitCode, 5u);
    EXPECT_EQ(run.log,
              heldGuard != nullptr ? TextMode(BANNER) + "Quillon: already running!" : "the other run\r\n");
    EXPECT_EQ(run.errors, "");
    EXPECT_TRUE(run.traceWritten) << "the simulated device never started";
    EXPECT_EQ(run.trace, "") << "a request reached the device";
    // The refused run let go of what it took.
    for (const wchar_t* name : {INSTANCE_MUTEX_NAME, MACHINE_WIDE_INSTANCE_MUTEX_NAME}) {
        if (name != heldGuard) {
            EXPECT_EQ(OpenGuardError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Holding, OtherRunGoesOn,
                         testing::Values(OtherRun{"SessionGuard", INSTANCE_MUTEX_NAME},
                                         OtherRun{"MachineWideGuard", MACHINE_WIDE_INSTANCE_MUTEX_NAME},
                                         OtherRun{"LogWithoutGuard", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs started in the same instant in one folder: one at a time holds the log and the guard, every other
// one is refused without touching the log, and the log is the whole record of one update.
TEST(SimultaneousStarts, LeaveExactlyOneCompleteLog) {
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(1024));
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
