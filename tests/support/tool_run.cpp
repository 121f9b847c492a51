#include "tests/support/tool_run.h"

#include "tests/support/driver_parameters.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>

namespace TestSupport {

namespace {

const std::string REFUSED = "refused: ";

} // namespace

std::string TargetName(Target target) {
    return target == Target::Simulator ? "Simulator" : "Driver";
}

void PrintTo(Target target, std::ostream* out) {
    *out << TargetName(target);
}

LaunchOptions LaunchIn(const TempDirectory& directory, const ToolLaunch& launch) {
    LaunchOptions options{launch.program, launch.arguments, directory.Path(), launch.environment,
                          launch.input};
    options.environment[L"QUILLON_SIM_TRACE"] = directory / L"trace.txt";
    if (!launch.description.empty()) {
        WriteBytes(directory / L"device.txt", launch.description);
        options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
    }
    if (launch.keepsState) {
        options.environment[L"QUILLON_SIM_STATE"] = directory / L"state.txt";
    }
    return options;
}

ToolRun RunTool(const TempDirectory& directory, const ToolLaunch& launch) {
    RunResult result{};
    if (launch.target == Target::Simulator) {
        result = RunProgram(LaunchIn(directory, launch));
    } else {
        // Under Wine as root, drive 0 is the machine's own disk: the real program is never pointed at it.
        if (launch.arguments.find(L"T:0") != std::wstring::npos) {
            throw std::invalid_argument("quillon.exe must never be run on drive 0");
        }
        const std::wstring program = launch.program == BuiltProgram(L"quillon-probe-sim.exe")
                                         ? BuiltProgram(L"quillon-probe.exe")
                                         : BuiltProgram(L"quillon.exe");
        WriteBytes(directory / L"device.txt", launch.description);
        const DriverParameters parameters(directory / L"device.txt", directory / L"trace.txt",
                                          launch.keepsState ? directory / L"state.txt" : std::wstring());
        result = RunProgram({program, launch.arguments, directory.Path(), launch.environment, launch.input});
        WaitForDriverTrace(directory / L"trace.txt");
    }
    ToolRun run;
    run.exitCode = result.exitCode;
    run.console = result.output;
    run.errors = result.errors;
    run.log = ReadBytes(directory / L"quillon.log");
    run.traceWritten = FileExists(directory / L"trace.txt");
    run.trace = ReadBytes(directory / L"trace.txt");
    if (launch.target == Target::Driver && run.trace.compare(0, REFUSED.size(), REFUSED) == 0) {
        run.errors += run.trace;
        run.trace.clear();
    }
    return run;
}

std::string RestartMachine(const TempDirectory& directory) {
    LaunchOptions options{BuiltProgram(L"quillon-sim-restart.exe"),
                          L"",
                          directory.Path(),
                          {{L"QUILLON_SIM_STATE", directory / L"state.txt"}},
                          std::string()};
    if (FileExists(directory / L"device.txt")) {
        options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
    }
    const RunResult result = RunProgram(options);
    EXPECT_EQ(result.exitCode, 0u) << result.errors;
    return result.output;
}

} // namespace TestSupport
