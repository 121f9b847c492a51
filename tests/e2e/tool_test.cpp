// quillon.exe, the program with the real storage driver, on every run that ends before a device answers:
// only drives 1 to 9, which do not exist here, are ever named.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"
#include "tests/support/wine_overrides.h"

#include <gtest/gtest.h>

#include <memory>

using namespace TestSupport;

namespace {

enum class Package { None, File, Directory };

struct EarlyEnd {
    const char* name;
    std::wstring arguments;
    // What stands in the working directory under the name "fw.ffu".
    Package package;
    std::string log;
    DWORD exitCode;
};

void PrintTo(const EarlyEnd& param, std::ostream* out) {
    *out << param.name;
}

class QuillonEarlyEnd : public testing::TestWithParam<EarlyEnd> {};

TEST_P(QuillonEarlyEnd, WritesTheLogAndNothingElse) {
    const EarlyEnd& run = GetParam();
    TempDirectory directory;
    if (run.package == Package::File) {
        WriteBytes(directory / L"fw.ffu", PatternBytes(1024));
    } else if (run.package == Package::Directory) {
        ASSERT_TRUE(CreateDirectoryW((directory / L"fw.ffu").c_str(), nullptr));
    }

    const RunResult result = RunProgram({BuiltProgram(L"quillon.exe"), run.arguments, directory.Path(), {}});

    EXPECT_EQ(result.exitCode, run.exitCode);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), TextMode(BANNER + run.log));
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "");
}

INSTANTIATE_TEST_SUITE_P(Runs, QuillonEarlyEnd,
                         testing::Values(EarlyEnd{"NoArguments", L"", Package::File, USAGE, 8},
                                         EarlyEnd{"DriveWithoutPackage", L"/T:1", Package::File, USAGE, 8},
                                         EarlyEnd{"MissingPackage", L"/T:1 /D:missing.ffu", Package::None,
                                                  "Quillon: could not open file 'missing.ffu'\n", 8},
                                         EarlyEnd{"MissingPackageInQuotes", L"/T:1 \"/D:no such\\fw.ffu\"",
                                                  Package::None,
                                                  "Quillon: could not open file 'no such\\fw.ffu'\n", 8},
                                         EarlyEnd{"DirectoryAsPackage", L"/T:1 /D:fw.ffu", Package::Directory,
                                                  "Quillon: could not read file 'fw.ffu'\n", 8},
                                         EarlyEnd{"DriveThatDoesNotOpen", L"/T:9 /D:fw.ffu", Package::File,
                                                  OpenDeviceError(2), 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A copy of the program that Wine presents with Windows 8.1, under a name of its own.
class OlderWindows : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileW(BuiltProgram(L"quillon.exe").c_str(), (directory / name).c_str(), TRUE));
        version = std::make_unique<WineAppDefault>(name, L"", L"Version", L"win81");
    }

    TempDirectory directory;
    const std::wstring name = L"quillon-win81-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount()) + L".exe";
    std::unique_ptr<WineAppDefault> version;
    const std::string log = TextMode(BANNER) + "Quillon: not supported on this Windows version!";
};

TEST_F(OlderWindows, IsRefusedWithNine) {
    const RunResult result = RunProgram({directory / name, L"/T:1 /D:fw.ffu", directory.Path(), {}});
    EXPECT_EQ(result.exitCode, 9u);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), log);
    EXPECT_EQ(result.output, "");
}

TEST_F(OlderWindows, CreatesNoInstanceGuard) {
    LaunchOptions options{
        directory / name, L"/T:1 /D:fw.ffu", directory.Path(), {{L"ZELT_QUILLON_DEBUG", L"1"}}};
    options.input.reset();
    ChildProcess child(options);
    ASSERT_TRUE(child.WaitForOutput(ENTER_PROMPT)) << child.Account();

    SetLastError(ERROR_SUCCESS);
    const Win32::UniqueHandle guard(OpenMutexW(SYNCHRONIZE, FALSE, INSTANCE_MUTEX_NAME));
    const DWORD error = GetLastError();
    EXPECT_FALSE(guard.IsValid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    child.WriteInput("\n");
    EXPECT_EQ(child.Wait(), 9u);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), log);
    EXPECT_EQ(child.Output(), log + ENTER_PROMPT);
}

// The 8-bit output cannot hold characters above 255: each becomes "?", and nothing else of the run is
// lost on either destination.
struct WidePath {
    const char* name;
    bool debug;
    bool directory;
    std::string log;
};

void PrintTo(const WidePath& param, std::ostream* out) {
    *out << param.name;
}

class PackagePathAbove255 : public testing::TestWithParam<WidePath> {};

TEST_P(PackagePathAbove255, IsWrittenWithQuestionMarks) {
    const WidePath& run = GetParam();
    TempDirectory directory;
    const std::wstring package = L"\u4E2D\u00E9.ffu";
    if (run.directory) {
        ASSERT_TRUE(CreateDirectoryW((directory / package).c_str(), nullptr));
    }
    std::map<std::wstring, std::wstring> environment;
    if (run.debug) {
        environment[L"ZELT_QUILLON_DEBUG"] = L"1";
    }

    const RunResult result = RunProgram({BuiltProgram(L"quillon.exe"), L"/T:1 /D:" + package,
                                         directory.Path(), environment, std::string("\n")});

    const std::string log = TextMode(BANNER + run.log);
    EXPECT_EQ(result.exitCode, 8u);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), log);
    EXPECT_EQ(result.output, run.debug ? log + ENTER_PROMPT : "");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PackagePathAbove255,
    testing::Values(WidePath{"Missing", false, false, "Quillon: could not open file '?\xE9.ffu'\n"},
                    WidePath{"MissingInDebugMode", true, false, "Quillon: could not open file '?\xE9.ffu'\n"},
                    WidePath{"DirectoryInDebugMode", true, true,
                             "Quillon: could not read file '?\xE9.ffu'\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
