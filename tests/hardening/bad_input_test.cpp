// Inputs that a careless or hostile caller can give the tool: each ends in its own outcome, never in a
// crash, and once the tool refuses an input, the device receives no request at all.

#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <vector>

using namespace TestSupport;

namespace {

std::string LastLine(std::string trace) {
    if (!trace.empty() && trace.back() == '\n') {
        trace.pop_back();
    }
    // Without a line feed, rfind gives npos and npos + 1 is the start.
    return trace.substr(trace.rfind('\n') + 1);
}

// The segments the simulated device received, as "offset+length" separated by blanks.
std::string DownloadedSegments(const std::string& trace) {
    std::istringstream lines(trace);
    std::string segments;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("download ", 0) != 0) {
            continue;
        }
        const auto field = [&line](const std::string& name) {
            const std::size_t start = line.find(" " + name + "=") + name.size() + 2;
            return line.substr(start, line.find(' ', start) - start);
        };
        segments += (segments.empty() ? "" : " ") + field("offset") + "+" + field("length");
    }
    return segments;
}

bool EveryRequestSucceeded(const std::string& trace) {
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 3 || line.compare(line.size() - 3, 3, " ok") != 0) {
            return false;
        }
    }
    return true;
}

// TooShortForWindows: the package is loaded and sent, and Windows refuses its one request as shorter than
// the structure it must hold.
enum class Outcome { Usage, Missing, Unreadable, NoDisk, Updated, TooShortForWindows };

// What a run must end in. `detail` is the package path for Missing and Unreadable, the drive character for
// NoDisk and the expected segments for Updated and TooShortForWindows.
struct Expected {
    Outcome outcome;
    std::wstring detail;
};

void ExpectRefusalWithoutRequests(const ToolRun& run, const std::string& message) {
    EXPECT_EQ(run.exitCode, 8u);
    EXPECT_EQ(run.log, TextMode(BANNER + message));
    EXPECT_TRUE(run.traceWritten) << "the simulated device never started";
    EXPECT_EQ(run.trace, "") << "a request reached the device after a refusal";
}

void ExpectOutcome(const ToolRun& run, const Expected& expected) {
    EXPECT_EQ(run.errors, "");
    switch (expected.outcome) {
    case Outcome::Usage:
        ExpectRefusalWithoutRequests(run, USAGE);
        break;
    case Outcome::Missing:
        ExpectRefusalWithoutRequests(run, "Quillon: could not open file '" + Narrow(expected.detail) + "'\n");
        break;
    case Outcome::Unreadable:
        ExpectRefusalWithoutRequests(run, "Quillon: could not read file '" + Narrow(expected.detail) + "'\n");
        break;
    case Outcome::NoDisk:
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.log, TextMode(BANNER + OpenDeviceError(2)));
        EXPECT_EQ(run.trace, Trace::File({Trace::Open(Utf8(expected.detail), Trace::Error(2))}));
        break;
    case Outcome::Updated: {
        const std::string banner = TextMode(BANNER);
        const std::string end = TextMode(UPDATED + RESTART);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.log.substr(0, banner.size()), banner);
        ASSERT_GE(run.log.size(), end.size());
        EXPECT_EQ(run.log.substr(run.log.size() - end.size()), end);
        EXPECT_EQ(DownloadedSegments(run.trace), Utf8(expected.detail));
        EXPECT_TRUE(EveryRequestSucceeded(run.trace)) << run.trace;
        EXPECT_EQ(LastLine(run.trace).rfind("activate ", 0), 0u) << "the run did not end with the activation";
        break;
    }
    case Outcome::TooShortForWindows: {
        const std::string end = TextMode(DOWNLOAD_FAILED);
        const std::string refused = " " + Trace::ClassDriverError(ERROR_BAD_LENGTH);
        const std::string last = LastLine(run.trace);
        EXPECT_EQ(run.exitCode, 1u);
        ASSERT_GE(run.log.size(), end.size());
        EXPECT_EQ(run.log.substr(run.log.size() - end.size()), end);
        EXPECT_EQ(DownloadedSegments(run.trace), Utf8(expected.detail));
        ASSERT_GE(last.size(), refused.size());
        EXPECT_EQ(last.substr(last.size() - refused.size()), refused) << run.trace;
        break;
    }
    }
}

constexpr std::size_t PACKAGE_SIZE = 1024;
const std::wstring ONE_SEGMENT = L"0+1024";

// Every test folder holds these packages.
void WritePackages(const TempDirectory& folder) {
    for (const wchar_t* name : {L"fw.ffu", L"with blank.ffu"}) {
        WriteBytes(folder / name, PatternBytes(PACKAGE_SIZE));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Command lines

struct CommandLineCase {
    std::string name;
    std::wstring arguments;
    Expected expected;
};

std::wstring Repeated(const std::wstring& piece, std::size_t count) {
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

std::vector<CommandLineCase> CommandLineCases() {
    // A command line holds at most 32767 characters, the program's own path included.
    const std::wstring longPath(30000, L'p');
    return {
        {"QuotedSwitchWithBlank", L"/T:0 \"/D:with blank.ffu\"", {Outcome::Updated, ONE_SEGMENT}},
        {"QuotesInsideSwitch", L"/T:0 /D:\"with blank.ffu\"", {Outcome::Updated, ONE_SEGMENT}},
        {"UnquotedBlankEndsPath", L"/T:0 /D:with blank.ffu", {Outcome::Missing, L"with"}},
        {"UnterminatedQuote", L"/T:0 \"/D:fw.ffu", {Outcome::Updated, ONE_SEGMENT}},
        {"EmptyQuotedPath", L"/T:0 /D:\"\"", {Outcome::Usage, L""}},
        {"EscapedQuotesKeptInPath", L"/T:0 /D:\\\"fw.ffu\\\"", {Outcome::Missing, L"\"fw.ffu\""}},
        {"BlankAfterDriveSwitch", L"/T: 0 /D:fw.ffu", {Outcome::Usage, L""}},
        {"BlankAfterPackageSwitch", L"/T:0 /D: fw.ffu", {Outcome::Usage, L""}},
        {"TabsAndRunsOfBlanks", L"\t  /T:0 \t\t /D:fw.ffu \t ", {Outcome::Updated, ONE_SEGMENT}},
        {"VeryLongPackagePath", L"/T:0 /D:" + longPath, {Outcome::Missing, longPath}},
        {"VeryLongOtherArgument",
         L"/X" + std::wstring(30000, L'x') + L" /T:0 /D:fw.ffu",
         {Outcome::Updated, ONE_SEGMENT}},
        {"VeryLongDriveNumber",
         L"/T:0" + std::wstring(30000, L'9') + L" /D:fw.ffu",
         {Outcome::Updated, ONE_SEGMENT}},
        {"ThousandsOfArguments", Repeated(L"a ", 12000) + L"/T:0 /D:fw.ffu", {Outcome::Updated, ONE_SEGMENT}},
        {"ThousandsOfLaterSwitches",
         L"/T:0 /D:fw.ffu" + Repeated(L" -T:1 -D:n", 2500),
         {Outcome::Updated, ONE_SEGMENT}},
        {"MissingPackageNameAbove255",
         L"/T:0 /D:\u4E2D\u6587-\u0416.ffu",
         {Outcome::Missing, L"\u4E2D\u6587-\u0416.ffu"}},
        {"FullWidthSwitchLetter", L"/\uFF34:0 /D:fw.ffu", {Outcome::Usage, L""}},
        {"FullWidthSwitchCharacter", L"\uFF0FT:0 /D:fw.ffu", {Outcome::Usage, L""}},
        {"SuperscriptTwo", L"/T:\u00B2 /D:fw.ffu", {Outcome::NoDisk, L"\u00B2"}},
        {"SuperscriptThree", L"/T:\u00B3 /D:fw.ffu", {Outcome::NoDisk, L"\u00B3"}},
        {"SuperscriptOne", L"/T:\u00B9 /D:fw.ffu", {Outcome::NoDisk, L"\u00B9"}},
        {"ArabicIndicZero", L"/T:\u0660 /D:fw.ffu", {Outcome::NoDisk, L"\u0660"}},
    };
}

void PrintTo(const CommandLineCase& given, std::ostream* out) {
    *out << given.name;
}

class BadCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(BadCommandLine, EndsInItsOwnOutcome) {
    TempDirectory folder;
    WritePackages(folder);
    ToolLaunch launch;
    launch.arguments = GetParam().arguments;
    ExpectOutcome(RunTool(folder, launch), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadCommandLine, testing::ValuesIn(CommandLineCases()),
                         [](const auto& info) { return info.param.name; });

// The real driver build meets a drive path that names no disk in Windows itself. Drive 0 stays out of
// reach: under Wine it is the machine's own disk.
class DigitBeyondAscii : public testing::TestWithParam<std::wstring> {};

TEST_P(DigitBeyondAscii, RealDriverFindsNoDisk) {
    TempDirectory folder;
    WritePackages(folder);
    ToolLaunch launch;
    launch.program = BuiltProgram(L"quillon.exe");
    launch.arguments = L"/T:" + GetParam() + L" /D:fw.ffu";
    const ToolRun run = RunTool(folder, launch);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.log, TextMode(BANNER + OpenDeviceError(2)));
}

INSTANTIATE_TEST_SUITE_P(Superscripts, DigitBeyondAscii, testing::Values(L"\u00B2", L"\u00B3", L"\u00B9"),
                         [](const auto& info) {
                             return "U" + std::to_string(static_cast<int>(info.param[0]));
                         });

// ---------------------------------------------------------------------------------------------------------
// Package files

// Prepares the package (or what stands in its place) and returns whatever must stay open during the run.
using PreparePackage = std::function<Win32::UniqueHandle(const std::wstring& path)>;

struct PackageCase {
    std::string name;
    std::wstring packageName;
    PreparePackage prepare;
    Expected expected;
};

Win32::UniqueHandle Written(const std::wstring& path, const std::string& bytes) {
    WriteBytes(path, bytes);
    return {};
}

// A file longer than one in-memory buffer of the 32-bit program can hold, made sparse so that it takes no
// disk space.
Win32::UniqueHandle Sparse(const std::wstring& path, LONGLONG size) {
    const Win32::UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.IsValid());
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = size;
    EXPECT_TRUE(SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file.Get()));
    LARGE_INTEGER measured{};
    EXPECT_TRUE(GetFileSizeEx(file.Get(), &measured));
    EXPECT_EQ(measured.QuadPart, size);
    return {};
}

std::vector<PackageCase> PackageCases() {
    return {
        // An empty package still goes to the device, as one empty last segment.
        {"Empty",
         L"empty.ffu",
         [](const std::wstring& path) { return Written(path, ""); },
         {Outcome::TooShortForWindows, L"0+0"}},
        {"OneByte",
         L"one.ffu",
         [](const std::wstring& path) { return Written(path, "\x5A"); },
         {Outcome::TooShortForWindows, L"0+1"}},
        {"Directory",
         L"folder.ffu",
         [](const std::wstring& path) {
             EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
             return Win32::UniqueHandle();
         },
         {Outcome::Unreadable, L"folder.ffu"}},
        {"LockedExclusively",
         L"locked.ffu",
         [](const std::wstring& path) {
             WriteBytes(path, PatternBytes(PACKAGE_SIZE));
             Win32::UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
             EXPECT_TRUE(holder.IsValid());
             return holder;
         },
         {Outcome::Unreadable, L"locked.ffu"}},
        // A copy still in progress would send its unwritten half, zero bytes, to the device.
        {"BeingWritten",
         L"copying.ffu",
         [](const std::wstring& path) { return CopyInProgress(path, PatternBytes(65536)); },
         {Outcome::Unreadable, L"copying.ffu"}},
        {"OpenForReading",
         L"read.ffu",
         [](const std::wstring& path) {
             WriteBytes(path, PatternBytes(65536));
             Win32::UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
             EXPECT_TRUE(reader.IsValid());
             return reader;
         },
         {Outcome::Updated, L"0+65024 65024+512"}},
        {"OneByteOver2GiB",
         L"huge.ffu",
         [](const std::wstring& path) { return Sparse(path, 0x80000000LL); },
         {Outcome::Unreadable, L"huge.ffu"}},
        // Cut to a 32-bit length, this file would look like a one-byte package.
        {"OneByteOver4GiB",
         L"huger.ffu",
         [](const std::wstring& path) { return Sparse(path, 0x100000001LL); },
         {Outcome::Unreadable, L"huger.ffu"}},
        {"NameAbove255",
         L"\u0444\u0430\u0439\u043B-\u2603.ffu",
         [](const std::wstring& path) { return Written(path, PatternBytes(70144)); },
         {Outcome::Updated, L"0+65024 65024+5120"}},
    };
}

void PrintTo(const PackageCase& given, std::ostream* out) {
    *out << given.name;
}

class BadPackage : public testing::TestWithParam<PackageCase> {};

TEST_P(BadPackage, EndsInItsOwnOutcome) {
    const PackageCase& given = GetParam();
    TempDirectory folder;
    const Win32::UniqueHandle held = given.prepare(folder / given.packageName);
    ToolLaunch launch;
    launch.arguments = L"/T:0 \"/D:" + given.packageName + L"\"";
    ExpectOutcome(RunTool(folder, launch), given.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadPackage, testing::ValuesIn(PackageCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------------------
// The debug variable

struct DebugCase {
    std::string name;
    std::wstring variable;
    std::wstring value;
    bool debugMode;
};

std::vector<DebugCase> DebugCases() {
    const std::wstring name = L"ZELT_QUILLON_DEBUG";
    return {
        {"One", name, L"1", true},
        // Windows looks up environment variables without regard to case.
        {"LowerCaseName", L"zelt_quillon_debug", L"1", true},
        {"Empty", name, L"", false},
        {"Zero", name, L"0", false},
        {"LeadingZero", name, L"01", false},
        {"TrailingBlank", name, L"1 ", false},
        {"LeadingBlank", name, L" 1", false},
        {"TrailingTab", name, L"1\t", false},
        {"True", name, L"true", false},
        {"FullWidthOne", name, L"\uFF11", false},
        {"SuperscriptOne", name, L"\u00B9", false},
        {"FifteenCharacters", name, L"1" + std::wstring(14, L' '), false},
        {"SixteenCharacters", name, L"1" + std::wstring(15, L'1'), false},
        {"LongestValue", name, std::wstring(32000, L'1'), false},
        {"OtherVariable", L"ZELT_QUILLON_DEBUG_", L"1", false},
    };
}

void PrintTo(const DebugCase& given, std::ostream* out) {
    *out << given.name;
}

class DebugVariable : public testing::TestWithParam<DebugCase> {};

TEST_P(DebugVariable, SwitchesConsoleOnlyForExactlyOne) {
    const DebugCase& given = GetParam();
    TempDirectory folder;
    ToolLaunch launch;
    launch.program = BuiltProgram(L"quillon.exe");
    launch.environment[given.variable] = given.value;
    launch.input = "\n";
    const ToolRun run = RunTool(folder, launch);
    EXPECT_EQ(run.exitCode, 8u);
    EXPECT_EQ(run.log, TextMode(BANNER + USAGE));
    EXPECT_EQ(run.console, given.debugMode ? TextMode(BANNER + USAGE) + ENTER_PROMPT : "");
}

INSTANTIATE_TEST_SUITE_P(Values, DebugVariable, testing::ValuesIn(DebugCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------------------
// A log that cannot be written

class ReadOnlyFile {
public:
    ReadOnlyFile(const std::wstring& path, const std::string& bytes) : path(path) {
        WriteBytes(path, bytes);
        EXPECT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    // The temporary folder could not be removed around a read-only file.
    ~ReadOnlyFile() { SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); }

private:
    std::wstring path;
};

ToolLaunch DebugFullRun() {
    ToolLaunch launch;
    launch.arguments = L"/T:0 /D:fw.ffu";
    launch.environment[L"ZELT_QUILLON_DEBUG"] = L"1";
    launch.input = "\n";
    return launch;
}

ToolRun OrdinaryRun() {
    TempDirectory folder;
    WritePackages(folder);
    return RunTool(folder, DebugFullRun());
}

TEST(UnwritableLog, DirectoryNamedLikeTheLogChangesNothingOfTheRun) {
    const ToolRun ordinary = OrdinaryRun();
    ASSERT_EQ(ordinary.exitCode, 0u);

    TempDirectory folder;
    WritePackages(folder);
    ASSERT_TRUE(CreateDirectoryW((folder / L"quillon.log").c_str(), nullptr));
    const ToolRun run = RunTool(folder, DebugFullRun());

    EXPECT_EQ(run.exitCode, ordinary.exitCode);
    EXPECT_EQ(run.console, ordinary.console);
    EXPECT_EQ(run.trace, ordinary.trace);
    const std::filesystem::path log(folder / L"quillon.log");
    EXPECT_TRUE(std::filesystem::is_directory(log));
    EXPECT_TRUE(std::filesystem::is_empty(log));
}

TEST(UnwritableLog, ReadOnlyLogStaysUnchangedAndChangesNothingOfTheRun) {
    const ToolRun ordinary = OrdinaryRun();
    ASSERT_EQ(ordinary.exitCode, 0u);

    TempDirectory folder;
    WritePackages(folder);
    const std::string earlier = TextMode(BANNER) + "an earlier run's log\r\n";
    const ReadOnlyFile log(folder / L"quillon.log", earlier);
    const ToolRun run = RunTool(folder, DebugFullRun());

    EXPECT_EQ(run.exitCode, ordinary.exitCode);
    EXPECT_EQ(run.console, ordinary.console);
    EXPECT_EQ(run.trace, ordinary.trace);
    EXPECT_EQ(run.log, earlier);
}

} // namespace
