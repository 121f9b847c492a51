// "quillon.log" left in the working directory as a link to another user's file: the elevated tool must
// neither empty nor write that file, and the run must end as it would with an ordinary log.

#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace TestSupport;

namespace {

const std::string VICTIM_BYTES = "administrator's settings\r\nkeep=me\r\n";

enum class LinkKind { HardLink, SymbolicLink };

// Makes "quillon.log" in the folder a link of the given kind to the victim file. False when the system
// cannot make such a link here (Wine 8 answers CreateSymbolicLinkW with success and makes nothing).
bool LinkLog(LinkKind kind, const std::wstring& log, const std::wstring& victim) {
    if (kind == LinkKind::HardLink) {
        return CreateHardLinkW(log.c_str(), victim.c_str(), nullptr) != FALSE;
    }
    if (!CreateSymbolicLinkW(log.c_str(), victim.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(log.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

struct LinkCase {
    const char* name;
    LinkKind kind;
    const wchar_t* program;
    const wchar_t* arguments;
    DWORD exitCode;
};

void PrintTo(const LinkCase& given, std::ostream* out) {
    *out << given.name;
}

class LogLink : public testing::TestWithParam<LinkCase> {};

TEST_P(LogLink, VictimStaysUnchangedAndRunEndsAsWithOrdinaryLog) {
    const LinkCase& given = GetParam();
    ToolLaunch launch;
    launch.program = BuiltProgram(given.program);
    launch.arguments = given.arguments;

    TempDirectory ordinary;
    WriteBytes(ordinary / L"fw.ffu", PatternBytes(70144));
    const ToolRun expected = RunTool(ordinary, launch);
    ASSERT_EQ(expected.exitCode, given.exitCode);
    const std::string banner = TextMode(BANNER);
    ASSERT_EQ(expected.log.substr(0, banner.size()), banner);

    TempDirectory linked;
    WriteBytes(linked / L"fw.ffu", PatternBytes(70144));
    // The victim lives elsewhere, as an administrator's file would.
    TempDirectory elsewhere;
    const std::wstring victim = elsewhere / L"settings.ini";
    WriteBytes(victim, VICTIM_BYTES);
    if (!LinkLog(given.kind, linked / L"quillon.log", victim)) {
        GTEST_SKIP() << "this system cannot make that kind of link";
    }

    const ToolRun run = RunTool(linked, launch);

    EXPECT_EQ(ReadBytes(victim), VICTIM_BYTES);
    EXPECT_EQ(run.exitCode, expected.exitCode);
    EXPECT_EQ(run.trace, expected.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LogLink,
    testing::Values(LinkCase{"HardLinkTool", LinkKind::HardLink, L"quillon.exe", L"", 8},
                    LinkCase{"HardLinkFullRun", LinkKind::HardLink, L"quillon-sim.exe", L"/T:0 /D:fw.ffu", 0},
                    LinkCase{"SymbolicLinkTool", LinkKind::SymbolicLink, L"quillon.exe", L"", 8},
                    LinkCase{"SymbolicLinkFullRun", LinkKind::SymbolicLink, L"quillon-sim.exe",
                             L"/T:0 /D:fw.ffu", 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
