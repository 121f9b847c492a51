// quillon-sim.exe before the device phase: a device description it refuses (quillon-probe-sim.exe too),
// its request trace, and a package that cannot be read whole.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

enum class Description { Text, Directory, Missing };

struct Refusal {
    const char* name;
    Description kind;
    std::string text;
    // What standard error must name besides the file: the line and the problem.
    std::string problem;
};

void PrintTo(const Refusal& param, std::ostream* out) {
    *out << param.name;
}

class RefusedDescription : public testing::TestWithParam<Refusal> {
protected:
    // Runs the tool on the description in the directory; quillon.log may hold an earlier run's text.
    RunResult Start(const TempDirectory& directory) {
        WriteBytes(directory / L"fw.ffu", PatternBytes(1024));
        const std::wstring path = directory / L"device.txt";
        if (GetParam().kind == Description::Text) {
            WriteBytes(path, GetParam().text);
        } else if (GetParam().kind == Description::Directory) {
            CreateDirectoryW(path.c_str(), nullptr);
        }
        return RunProgram({BuiltProgram(L"quillon-sim.exe"),
                           L"/T:0 /D:fw.ffu",
                           directory.Path(),
                           {{L"QUILLON_SIM_DEVICE", path}, {L"ZELT_QUILLON_DEBUG", L"1"}}});
    }

    void ExpectRefusal(const RunResult& result, const TempDirectory& directory) {
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.output, "");
        const std::string& errors = result.errors;
        EXPECT_EQ(errors.rfind("quillon-sim: ", 0), 0u) << errors;
        EXPECT_NE(errors.find("'" + Narrow(directory / L"device.txt") + "'"), std::string::npos) << errors;
        EXPECT_NE(errors.find(GetParam().problem), std::string::npos) << errors;
        EXPECT_EQ(errors.find('\n'), errors.size() - 1) << "one line: " << errors;
    }
};

TEST_P(RefusedDescription, EndsWithTwoBeforeTheLogIsCreated) {
    TempDirectory directory;
    const RunResult result = Start(directory);
    ExpectRefusal(result, directory);
    EXPECT_FALSE(FileExists(directory / L"quillon.log"));
}

TEST_P(RefusedDescription, LeavesAnEarlierLogAlone) {
    TempDirectory directory;
    const std::string earlier = TextMode(BANNER + USAGE);
    WriteBytes(directory / L"quillon.log", earlier);
    const RunResult result = Start(directory);
    ExpectRefusal(result, directory);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), earlier);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, RefusedDescription,
    testing::Values(
        Refusal{"UnknownKey", Description::Text, "ext_csd_rev = 7\n# a comment\n\nfirmware = 2\n",
                "line 4: unknown key 'firmware'"},
        Refusal{"NumberTooLarge", Description::Text, "ext_csd_rev = 0x100\n", "line 1: bad value '0x100'"},
        Refusal{"NotANumber", Description::Text, "fw_config = 0\nalignment = 512k\n",
                "line 2: bad value '512k'"},
        Refusal{"NegativeNumber", Description::Text, "open_error = -1\n", "line 1: bad value '-1'"},
        Refusal{"DriveBeyondNine", Description::Text, "drive = 10\n", "line 1: bad value '10'"},
        Refusal{"BadSlotFlag", Description::Text, "slots = 1 rw\n", "line 1: bad slot '1 rw'"},
        Refusal{"BadSlotRevision", Description::Text, "slots = 1 rev:0g\n", "line 1: bad value '0g'"},
        Refusal{"ShortRegister", Description::Text, "ext_csd = 0800\n", "line 1: bad value '0800'"},
        Refusal{"RegisterAndItsByte", Description::Text,
                "ext_csd = " + std::string(1024, '0') + "\nfw_config = 1\n",
                "line 2: 'ext_csd' and the keys of its single bytes exclude each other"},
        Refusal{"DownloadRequestZero", Description::Text, "download_error = 0:5\n",
                "line 1: bad value '0:5'"},
        Refusal{"NotKeyValue", Description::Text, "\n\nactivate_error 5\n", "line 3: expected 'key = value'"},
        Refusal{"Directory", Description::Directory, "", "cannot read the device description"},
        Refusal{"Missing", Description::Missing, "", "cannot read the device description"}),
    [](const auto& info) { return std::string(info.param.name); });

// The probe over the simulated device refuses a description the same way, in its own name.
TEST(ProbeSimulator, RefusesADescriptionInItsOwnName) {
    TempDirectory directory;
    const std::wstring path = directory / L"device.txt";
    WriteBytes(path, "drive = 1\nfirmware = 2\n");
    const RunResult result = RunProgram({BuiltProgram(L"quillon-probe-sim.exe"),
                                         L"/T:1 /J",
                                         directory.Path(),
                                         {{L"QUILLON_SIM_DEVICE", path}}});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors.rfind("quillon-probe-sim: ", 0), 0u) << result.errors;
    EXPECT_NE(result.errors.find("line 2: unknown key 'firmware'"), std::string::npos) << result.errors;
}

TEST(RequestTrace, IsCreatedAfreshAtEveryStart) {
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(1024));
    WriteBytes(directory / L"trace.txt", "stale line\n");

    const ToolRun update = RunTool(directory, {L"/T:0 /D:fw.ffu"});
    ASSERT_EQ(update.exitCode, 0u);
    const std::string image = PatternBytes(1024);
    EXPECT_EQ(update.trace, Trace::File({Trace::Open("0"), Trace::ExtCsd(), Trace::GetInfo(),
                                         Trace::Download(image, 0, 1024, true, 1), Trace::Activate(1)}));

    // A run that ends before the device leaves an empty trace, not the previous run's requests.
    const ToolRun usage = RunTool(directory, {L""});
    EXPECT_EQ(usage.exitCode, 8u);
    EXPECT_TRUE(usage.traceWritten);
    EXPECT_EQ(usage.trace, "");
}

// A rehearsal script that reads the trace after a refused description must not find an earlier run's
// requests there.
TEST(RequestTrace, IsCreatedAfreshWhenTheDescriptionIsRefused) {
    TempDirectory directory;
    WriteBytes(directory / L"fw.ffu", PatternBytes(1024));
    const ToolRun update = RunTool(directory, {L"/T:0 /D:fw.ffu"});
    ASSERT_EQ(update.exitCode, 0u);
    ASSERT_NE(update.trace, "");

    const ToolRun refused = RunTool(directory, {L"/T:0 /D:fw.ffu", "firmware = 2\n"});
    EXPECT_EQ(refused.exitCode, 2u);
    EXPECT_TRUE(refused.traceWritten);
    EXPECT_EQ(refused.trace, "");
}

// A Linux kernel file seen through Wine's drive Z: reports a length of a page but delivers a few bytes.
TEST(ShortRead, RefusesThePackageBeforeAnyRequest) {
    const std::wstring package = L"Z:\\sys\\kernel\\mm\\transparent_hugepage\\enabled";
    {
        const Win32::UniqueHandle file(CreateFileW(package.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size)) {
            GTEST_SKIP() << "no such file here";
        }
        if (static_cast<std::size_t>(size.QuadPart) <= ReadBytes(package).size()) {
            GTEST_SKIP() << "the file delivers its whole reported length here";
        }
    }
    TempDirectory directory;

    const ToolRun run = RunTool(directory, {L"/T:0 /D:" + package});

    EXPECT_EQ(run.exitCode, 8u);
    EXPECT_EQ(run.log, TextMode(BANNER + "Quillon: could not read file '" + Narrow(package) + "'\n"));
    EXPECT_TRUE(run.traceWritten);
    EXPECT_EQ(run.trace, "");
}

} // namespace
