#pragma once

#include "tests/support/files.h"

#include <windows.h>

#include <map>
#include <string>

namespace Hardening {

// One finished run of a program of the build, started in a directory of its own.
struct ToolRun {
    DWORD exitCode = 0;
    std::string log;
    std::string console;
    std::string errors;
    // The simulated device's request trace; absent when the program never created it.
    bool traceWritten = false;
    std::string trace;
};

struct ToolLaunch {
    // A full path; the simulated device unless a test says otherwise.
    std::wstring program = TestSupport::BuiltProgram(L"quillon-sim.exe");
    std::wstring arguments;
    std::map<std::wstring, std::wstring> environment;
    std::string input;
};

// Runs the program with `directory` as its working directory. The simulated device traces its requests
// to a file outside that directory, so that the directory holds only what the test put there.
ToolRun RunTool(const TestSupport::TempDirectory& directory, const ToolLaunch& launch);

// The Windows path of the canary version.dll that the build puts beside bin/.
std::wstring CanaryLibrary();

} // namespace Hardening
