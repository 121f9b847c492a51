#include "diag/logger.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_texts.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

using TestSupport::Narrow;
using TestSupport::ReadBytes;
using TestSupport::TempDirectory;
using TestSupport::TextMode;
using TestSupport::WriteBytes;

namespace {

struct Written {
    std::string file;
    std::wstring console;
};

// Runs a Logger of its own over a fresh log file, with the console stream captured.
Written Log(bool debugMode, const std::function<void(Logger&)>& write) {
    const TempDirectory directory;
    const std::wstring path = directory / L"quillon.log";
    std::wostringstream console;
    std::wstreambuf* const previous = std::wcout.rdbuf(console.rdbuf());
    {
        Logger out(LogFile(path), debugMode);
        write(out);
    }
    std::wcout.rdbuf(previous);
    return {ReadBytes(path), console.str()};
}

// The console side sees the text before the C runtime turns each line feed into CR LF.
std::wstring ConsoleText(const std::string& file) {
    std::wstring text;
    for (std::size_t i = 0; i < file.size(); ++i) {
        if (file.compare(i, 2, "\r\n") != 0) {
            text += static_cast<wchar_t>(static_cast<unsigned char>(file[i]));
        }
    }
    return text;
}

// A line of `bytes` bytes in the log file, its CR LF included, and the text after it.
std::string LineOf(std::size_t bytes) {
    return std::string(bytes - 2, 'b') + "\n";
}

TEST(Logger, WritesEveryKindOfPieceAsEightBitText) {
    // The log file writes its text in blocks of this many bytes.
    constexpr std::size_t block = 4096;
    std::string narrow;
    std::wstring wide;
    for (int i = 0; i < 2000; ++i) {
        narrow += static_cast<char>(1 + i % 255);
        wide += static_cast<wchar_t>(1 + i % 0x1FF);
    }

    const struct {
        const char* name;
        std::function<void(Logger&)> write;
        std::string file;
    } cases[] = {
        {"nothing", [](Logger&) {}, ""},
        {"line feed", [](Logger& out) { out << L"a\n"; }, "a\r\n"},
        {"CR LF in a text", [](Logger& out) { out << "x\r\n"; }, "x\r\r\n"},
        {"no line end added", [](Logger& out) { out << L"Quillon: already running!"; },
         "Quillon: already running!"},
        {"string", [](Logger& out) { out << std::wstring(L"C:\\fw\\image.ffu"); }, "C:\\fw\\image.ffu"},
        {"zero", [](Logger& out) { out << std::uint32_t{0}; }, "0"},
        {"offset", [](Logger& out) { out << std::uint32_t{65024}; }, "65024"},
        {"largest number", [](Logger& out) { out << std::uint32_t{4294967295u}; }, "4294967295"},
        {"narrow E9", [](Logger& out) { out << "caf\xE9"; }, "caf\xE9"},
        {"wide FF", [](Logger& out) { out << L"\u00FF"; }, "\xFF"},
        {"above 255", [](Logger& out) { out << L"a\u4E2Db\n"
                                            << std::wstring(L"\u0100") << L"c"; },
         "a?b\r\n?c"},
        {"one message of pieces",
         [](Logger& out) {
             out << L"eMMC::UpdateFirmware - downloading offset " << std::uint32_t{65024} << "...\n";
         },
         "eMMC::UpdateFirmware - downloading offset 65024...\r\n"},
        {"long narrow", [&](Logger& out) { out << narrow.c_str(); }, TextMode(narrow)},
        {"long wide", [&](Logger& out) { out << wide; }, TextMode(Narrow(wide))},
        {"line one byte short of the block",
         [&](Logger& out) { out << LineOf(block - 1).c_str() << L"next"; },
         TextMode(LineOf(block - 1)) + "next"},
        {"line that fills the block", [&](Logger& out) { out << LineOf(block).c_str() << L"next"; },
         TextMode(LineOf(block)) + "next"},
        {"line one byte over the block", [&](Logger& out) { out << LineOf(block + 1).c_str() << L"next"; },
         TextMode(LineOf(block + 1)) + "next"},
    };
    for (const auto& [name, write, file] : cases) {
        SCOPED_TRACE(name);
        const Written quiet = Log(false, write);
        EXPECT_EQ(quiet.file, file);
        EXPECT_EQ(quiet.console, L"");
        const Written debug = Log(true, write);
        EXPECT_EQ(debug.file, file);
        EXPECT_EQ(debug.console, ConsoleText(file));
    }
}

TEST(LogFile, EmptiesAnEarlierLogAndWritesEachFinishedLineAtOnce) {
    const TempDirectory directory;
    const std::wstring path = directory / L"quillon.log";
    WriteBytes(path, "the log of an earlier run\r\n");
    {
        LogFile log(path);
        ASSERT_TRUE(log.IsOpen());
        EXPECT_EQ(ReadBytes(path), "");
        // A run that waits for ENTER or is killed leaves every finished line on disk.
        log.Write(L"eMMC::UpdateFirmware - downloading offset ");
        log.Write(L"65024");
        log.Write(L"...\n");
        EXPECT_EQ(ReadBytes(path), "eMMC::UpdateFirmware - downloading offset 65024...\r\n");
        log.Write(L"Quillon: already running!");
    }
    EXPECT_EQ(ReadBytes(path),
              "eMMC::UpdateFirmware - downloading offset 65024...\r\nQuillon: already running!");
}

TEST(LogFile, LeavesTheLogOfARunThatGoesOnWhole) {
    const TempDirectory directory;
    const std::wstring path = directory / L"quillon.log";
    auto first = std::make_unique<LogFile>(path);
    first->Write(L"the first run\n");
    {
        LogFile second(path);
        EXPECT_FALSE(second.IsOpen());
        EXPECT_TRUE(second.IsHeldByAnotherRun());
        second.Write(L"the second run\n");
    }
    EXPECT_EQ(ReadBytes(path), "the first run\r\n");

    first.reset();
    const LogFile next(path);
    EXPECT_TRUE(next.IsOpen());
    EXPECT_FALSE(next.IsHeldByAnotherRun());
    EXPECT_EQ(ReadBytes(path), "");
}

TEST(LogFile, LeavesANameItMustNotWriteUntouched) {
    const TempDirectory directory;
    const std::wstring victim = directory / L"victim.txt";
    const std::wstring hardLink = directory / L"hard.log";
    const std::wstring folder = directory / L"folder.log";
    WriteBytes(victim, "precious");
    ASSERT_TRUE(CreateHardLinkW(hardLink.c_str(), victim.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));

    for (const std::optional<std::wstring>& path :
         {std::optional<std::wstring>(), std::optional(hardLink), std::optional(folder)}) {
        SCOPED_TRACE(path ? Narrow(*path) : "no name");
        LogFile log = path ? LogFile(*path) : LogFile();
        EXPECT_FALSE(log.IsOpen());
        EXPECT_FALSE(log.IsHeldByAnotherRun());
        log.Write(L"text\n");
        Logger(std::move(log), false) << L"more text\n";
    }
    EXPECT_EQ(ReadBytes(victim), "precious");
    EXPECT_EQ(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
}

TEST(DebugMode, OnOnlyForExactlyOne) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {nullptr, false},
        {L"", false},
        {L"1", true},
        {L"0", false},
        {L"true", false},
        {L"01", false},
        {L"1 ", false},
        {L" 1", false},
        {L"11", false},
        {L"\u00B9", false},
        {L"1\t", false},
        {L"1111111111111111111111", false},
        {L"1               ", false},
    };
    for (const auto& [value, on] : cases) {
        SCOPED_TRACE(value == nullptr ? std::string("unset")
                                      : "'" + std::string(value, value + std::wcslen(value)) + "'");
        ASSERT_TRUE(SetEnvironmentVariableW(L"ZELT_QUILLON_DEBUG", value));
        EXPECT_EQ(IsDebugModeRequested(), on);
    }
    SetEnvironmentVariableW(L"ZELT_QUILLON_DEBUG", nullptr);
}

} // namespace
