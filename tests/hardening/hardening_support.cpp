#include "tests/hardening/hardening_support.h"

#include "tests/support/child_process.h"

#include <array>

namespace Hardening {

const std::string BANNER = "Quillon v1.0.3\r\nCopyright (c) 2026 ZELT. All rights reserved.\r\n\r\n";
const std::string USAGE = "Usage:\r\n"
                          "\r\n"
                          "    Quillon /T:<drive number> /D:<FFU data file>\r\n"
                          "\r\n"
                          "  where:\r\n"
                          "    <drive number>      - drive number to be updated (0 is first drive)\r\n"
                          "    <FFU data file>     - path to data file containing the FFU package\r\n"
                          "\r\n";
const std::string UPDATED_END =
    "eMMC::UpdateFirmware - success\r\n"
    "Please restart the platform in order to complete the firmware installation.\r\n"
    "\r\n";
const std::string ENTER_PROMPT = "\r\nPress the ENTER key to continue...";

ToolRun RunTool(const TestSupport::TempDirectory& directory, const ToolLaunch& launch) {
    const TestSupport::TempDirectory traceDirectory;
    const std::wstring tracePath = traceDirectory / L"trace.txt";
    auto environment = launch.environment;
    environment.emplace(L"QUILLON_SIM_TRACE", tracePath);
    const TestSupport::RunResult result = TestSupport::RunProgram(
        {launch.program, launch.arguments, directory.Path(), environment, launch.input});
    ToolRun run;
    run.exitCode = result.exitCode;
    run.console = result.output;
    run.errors = result.errors;
    run.log = TestSupport::ReadBytes(directory / L"quillon.log");
    run.traceWritten = TestSupport::FileExists(tracePath);
    run.trace = TestSupport::ReadBytes(tracePath);
    return run;
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                        nullptr);
    return utf8;
}

std::wstring CanaryLibrary() {
    const std::wstring relative = TestSupport::BuiltProgram(L"..\\canary\\version.dll");
    std::array<wchar_t, 32768> full{};
    const DWORD length =
        GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return length == 0 || length >= full.size() ? relative : std::wstring(full.data(), length);
}

} // namespace Hardening
