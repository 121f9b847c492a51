#pragma once

#include "tests/support/child_process.h"
#include "tests/support/files.h"

#include <windows.h>

#include <iosfwd>
#include <map>
#include <optional>
#include <string>

namespace TestSupport {

// What serves the device of a run: quillon-sim.exe with the simulated device in process, or the real
// quillon.exe whose requests reach the same simulated device through Windows and the stand-in storage
// driver (which the test build installs into its Wine prefix). The driver serves drives 1 to 8 only.
enum class Target { Simulator, Driver };

std::string TargetName(Target target);
void PrintTo(Target target, std::ostream* out);

// One start of quillon.exe or quillon-sim.exe in a working directory of the test's own. Every member has a
// default, so that a launch names only what it needs: {L"/T:0 /D:fw.ffu"} is a full run on the built-in
// simulated device.
struct ToolLaunch {
    // Everything after the program name, exactly as it goes on the command line.
    std::wstring arguments{};
    // The simulated machine's description; the built-in device when empty.
    std::string description{};
    std::map<std::wstring, std::wstring> environment{};
    // Standard input: these bytes, or, when absent, a pipe that the test holds.
    std::optional<std::string> input = std::string();
    // A full path; the simulated device unless a test names another program.
    std::wstring program = BuiltProgram(L"quillon-sim.exe");
    // For RunTool only: the driver target replaces the program by its real build, quillon-probe.exe for
    // quillon-probe-sim.exe and quillon.exe for any other.
    Target target = Target::Simulator;
    // Whether the machine keeps its state from run to run, in "state.txt" of the directory.
    bool keepsState = false;
};

// The launch with `directory` as its working directory. The description goes to "device.txt" there, and the
// simulated machine traces its requests to "trace.txt" there (the real driver build ignores that).
LaunchOptions LaunchIn(const TempDirectory& directory, const ToolLaunch& launch);

// What one finished run left behind.
struct ToolRun {
    DWORD exitCode = 0;
    std::string log;
    std::string console;
    std::string errors;
    // Whether the simulated device created its request trace, and what the trace holds.
    bool traceWritten = false;
    std::string trace;
};

// Starts the launch in `directory` and waits for its end. On the driver target the description and the
// trace are the driver's parameters for the run, and the run ends when the driver has closed the trace; a
// description that the driver refuses stands in `errors`, as quillon-sim.exe's refusal does.
ToolRun RunTool(const TempDirectory& directory, const ToolLaunch& launch);

// Restarts the machine that runs in `directory` with its state (as a launch with keepsState leaves it),
// with quillon-sim-restart.exe; gives what the program wrote, and fails the test when it fails.
std::string RestartMachine(const TempDirectory& directory);

} // namespace TestSupport
