#pragma once

#include "tests/support/polling.h"
#include "win32/unique_handle.h"

#include <windows.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace TestSupport {

// How a program under test is started: with exactly the given environment (plus what Windows needs to
// run a program at all), in the given working directory, with standard output and standard error to
// files and standard input from a file or from a pipe that the test holds.
struct LaunchOptions {
    std::wstring program;
    // Everything after the program name, exactly as it goes on the command line.
    std::wstring arguments;
    std::wstring workingDirectory;
    std::map<std::wstring, std::wstring> environment;
    // Standard input: these bytes from a file, or, when absent, a pipe that stays open until the test
    // writes to it or the process is waited for.
    std::optional<std::string> input = std::string();
    // Created with its main thread suspended, so that several programs can be let go in the same instant.
    bool suspended = false;
    // Standard output on a file opened for reading only, so that every write to it fails.
    bool outputRefused = false;
    // Started as if in session 0, where services and deployment systems run programs as SYSTEM: Windows
    // places a process's unprefixed object names by the session number in its process environment block,
    // which is 0 before the program's first instruction.
    bool inSessionZero = false;
};

class ChildProcess {
public:
    explicit ChildProcess(const LaunchOptions& options);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills the process if it still runs.
    ~ChildProcess();

    // Lets a process that was started suspended run.
    void Resume();
    // Bytes to the process's standard input pipe (only when it was started without input).
    void WriteInput(const std::string& bytes);
    // Waits until standard output holds text, or the process ends or the time is up; true when it does.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = LOADED_MACHINE_DEADLINE);
    // Waits for the process's end with its input pipe left open, as an operator who never presses a key;
    // true when it ended.
    bool EndsWithin(std::chrono::milliseconds timeout);
    // Waits for the process's end (closing its input pipe first) and returns its exit code.
    DWORD Wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));

    // Ends the process at once, wherever it is, and waits until it is gone; false when it had ended already.
    bool Terminate();

    std::string Output() const;
    std::string Errors() const;
    // For a failure message: whether the process still runs or how it ended, and what it wrote so far.
    std::string Account() const;

private:
    std::wstring outputPath;
    std::wstring errorPath;
    Win32::UniqueHandle process;
    Win32::UniqueHandle mainThread;
    Win32::UniqueHandle inputWriter;
};

struct RunResult {
    DWORD exitCode;
    std::string output;
    std::string errors;
};

// Starts a program and waits for its end.
RunResult RunProgram(const LaunchOptions& options);

} // namespace TestSupport
