// The deployment wrapper under cmd.exe, against quillon-sim.exe: the exit code that deployment systems
// read for each outcome of the tool, and the log kept under the computer's name in the given log folder.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace TestSupport;

namespace {

const std::wstring COMPUTER = L"QUILLON-TEST-7";

struct Outcome {
    const char* name;
    std::string description;
    bool packageExists;
    bool anotherRunHoldsTheGuard;
    // A read-only log of an earlier run in the wrapper's folder: the tool leaves it alone.
    bool readOnlyLogLeft;
    DWORD toolCode;
    DWORD wrapperCode;
    // How the run's log ends ("PACKAGE" stands for the package's full path); empty when no log is kept.
    std::string logEnd;
};

void PrintTo(const Outcome& param, std::ostream* out) {
    *out << param.name;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::wstring CommandInterpreter() {
    std::array<wchar_t, MAX_PATH + 1> system{};
    const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
    return std::wstring(system.data(), length) + L"\\cmd.exe";
}

class DeployWrapper : public testing::TestWithParam<Outcome> {};

TEST_P(DeployWrapper, EndsWithTheMappedCodeAndKeepsTheLog) {
    const Outcome& outcome = GetParam();
    // The wrapper and the program as the bundle ships them, in a folder of their own; the operator's
    // package and log folder are named relative to another working directory.
    TempDirectory bundle;
    TempDirectory caller;
    ASSERT_TRUE(
        CopyFileW(BuiltProgram(L"quillon-sim.exe").c_str(), (bundle / L"quillon-sim.exe").c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(BuiltProgram(L"quillon-deploy.cmd").c_str(),
                          (bundle / L"quillon-deploy.cmd").c_str(), TRUE));
    const std::string earlierLog = "an earlier run's log\r\n";
    WriteBytes(bundle / L"quillon.log", earlierLog);
    if (outcome.readOnlyLogLeft) {
        ASSERT_TRUE(SetFileAttributesW((bundle / L"quillon.log").c_str(), FILE_ATTRIBUTE_READONLY));
    }
    WriteBytes(caller / L"device.txt", outcome.description);
    if (outcome.packageExists) {
        WriteBytes(caller / L"fw.ffu", PatternBytes(70144));
    }
    Win32::UniqueHandle guard;
    if (outcome.anotherRunHoldsTheGuard) {
        guard = Win32::UniqueHandle(CreateMutexW(nullptr, TRUE, INSTANCE_MUTEX_NAME));
        ASSERT_TRUE(guard.IsValid());
    }

    const LaunchOptions wrapper{
        CommandInterpreter(),
        L"/c \"" + (bundle / L"quillon-deploy.cmd") + L"\" 3 fw.ffu logs\\fleet quillon-sim.exe",
        caller.Path(),
        {{L"COMPUTERNAME", COMPUTER}, {L"QUILLON_SIM_DEVICE", caller / L"device.txt"}}};
    // Under load Wine now and then fails to bring up a new process; cmd.exe then reports 9009, as for a
    // program that is missing. The program is in place here and never ends with 9009 itself, so such a
    // start, in which the tool never ran, is tried again.
    RunResult result = RunProgram(wrapper);
    for (int attempt = 1; result.exitCode == 9009 && attempt < 5; ++attempt) {
        result = RunProgram(wrapper);
    }
    guard.Reset();

    EXPECT_EQ(result.exitCode, outcome.wrapperCode);
    EXPECT_EQ(result.output, "quillon-deploy: quillon-sim.exe ended with " +
                                 std::to_string(outcome.toolCode) + ", reporting " +
                                 std::to_string(outcome.wrapperCode) + "\r\n");
    const std::string log = ReadBytes(bundle / L"quillon.log");
    const std::vector<std::wstring> kept = FilesIn(caller / L"logs\\fleet");
    if (outcome.logEnd.empty()) {
        EXPECT_EQ(log, earlierLog);
        EXPECT_TRUE(kept.empty());
        EXPECT_NE(result.errors.find("is not this run's: no log kept"), std::string::npos) << result.errors;
        SetFileAttributesW((bundle / L"quillon.log").c_str(), FILE_ATTRIBUTE_NORMAL);
        return;
    }
    std::string logEnd = TextMode(outcome.logEnd);
    const std::size_t package = logEnd.find("PACKAGE");
    if (package != std::string::npos) {
        logEnd.replace(package, 7, std::string(caller.Path().begin(), caller.Path().end()) + "\\fw.ffu");
    }
    EXPECT_EQ(log.rfind(TextMode(BANNER), 0), 0u) << log;
    ASSERT_GE(log.size(), logEnd.size()) << log;
    EXPECT_EQ(log.substr(log.size() - logEnd.size()), logEnd);
    ASSERT_EQ(kept.size(), 1u);
    const std::wstring prefix = L"quillon-" + COMPUTER + L"-";
    EXPECT_EQ(kept[0].rfind(prefix, 0), 0u);
    EXPECT_GT(kept[0].size(), prefix.size() + 4);
    EXPECT_EQ(kept[0].substr(kept[0].size() - 4), L".log");
    EXPECT_EQ(ReadBytes(caller / (L"logs\\fleet\\" + kept[0])), log);
    EXPECT_EQ(result.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DeployWrapper,
    testing::Values(Outcome{"Updated", "drive = 3\n", true, false, false, 0, 3010, UPDATED + RESTART},
                    Outcome{"DriveDoesNotOpen", "drive = 4\n", true, false, false, 1, 1, OpenDeviceError(2)},
                    Outcome{"AnotherRunInProgress", "drive = 3\n", true, true, false, 5, 1618,
                            "Quillon: already running!"},
                    Outcome{"PackageMissing", "drive = 3\n", false, false, false, 8, 8,
                            "Quillon: could not open file 'PACKAGE'\n"},
                    Outcome{"ReadOnlyLogInItsFolder", "drive = 3\n", true, false, true, 0, 3010, ""}),
    [](const auto& info) { return info.param.name; });

} // namespace
