#include "tests/hardening/hardening_support.h"

#include "tests/support/child_process.h"

#include <array>

namespace Hardening {

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

std::wstring CanaryLibrary() {
    const std::wstring relative = TestSupport::BuiltProgram(L"..\\canary\\version.dll");
    std::array<wchar_t, 32768> full{};
    const DWORD length =
        GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return length == 0 || length >= full.size() ? relative : std::wstring(full.data(), length);
}

} // namespace Hardening
