#include "tests/support/tool_run.h"

namespace TestSupport {

LaunchOptions LaunchIn(const TempDirectory& directory, const ToolLaunch& launch) {
    LaunchOptions options{launch.program, launch.arguments, directory.Path(), launch.environment,
                          launch.input};
    options.environment[L"QUILLON_SIM_TRACE"] = directory / L"trace.txt";
    if (!launch.description.empty()) {
        WriteBytes(directory / L"device.txt", launch.description);
        options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
    }
    return options;
}

ToolRun RunTool(const TempDirectory& directory, const ToolLaunch& launch) {
    const RunResult result = RunProgram(LaunchIn(directory, launch));
    ToolRun run;
    run.exitCode = result.exitCode;
    run.console = result.output;
    run.errors = result.errors;
    run.log = ReadBytes(directory / L"quillon.log");
    run.traceWritten = FileExists(directory / L"trace.txt");
    run.trace = ReadBytes(directory / L"trace.txt");
    return run;
}

} // namespace TestSupport
