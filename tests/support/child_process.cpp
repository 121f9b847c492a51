#include "tests/support/child_process.h"

#include "tests/support/files.h"

#include <winternl.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace TestSupport {

namespace {

// How long a terminated process may take to be gone.
const auto TERMINATION_DEADLINE =
    static_cast<DWORD>(std::chrono::milliseconds(LOADED_MACHINE_DEADLINE).count());

// What every Windows program needs to start, whatever the test asks for.
const wchar_t* const BASE_VARIABLES[] = {L"SystemRoot", L"SystemDrive", L"windir", L"TEMP", L"TMP", L"PATH"};

std::wstring Variable(const wchar_t* name) {
    std::array<wchar_t, 32768> value{};
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    return length == 0 || length >= value.size() ? std::wstring() : std::wstring(value.data(), length);
}

// A sorted, double-NUL-terminated environment block.
std::vector<wchar_t> EnvironmentBlock(const std::map<std::wstring, std::wstring>& requested) {
    std::map<std::wstring, std::wstring> variables;
    for (const wchar_t* name : BASE_VARIABLES) {
        const std::wstring value = Variable(name);
        if (!value.empty()) {
            variables[name] = value;
        }
    }
    for (const auto& [name, value] : requested) {
        variables[name] = value;
    }
    std::vector<wchar_t> block;
    for (const auto& [name, value] : variables) {
        block.insert(block.end(), name.begin(), name.end());
        block.push_back(L'=');
        block.insert(block.end(), value.begin(), value.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

Win32::UniqueHandle InheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Win32::UniqueHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        throw std::runtime_error("cannot open a standard stream file of a child process");
    }
    return file;
}

std::wstring StreamPath(const wchar_t* kind) {
    static std::atomic<unsigned> counter{0};
    std::array<wchar_t, MAX_PATH + 1> temp{};
    GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    return std::wstring(temp.data()) + L"quillon-child-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++) + L"." + kind;
}

// The session number in the process environment block of a process of this program's own bitness. The
// x86_64 suites start 64-bit programs and the 32-bit suites 32-bit ones, whose PEB a 32-bit caller is given
// under wow64.
static_assert(offsetof(PEB, SessionId) == (sizeof(void*) == 8 ? 0x2C0 : 0x1D4));

void EnterSessionZero(HANDLE process) {
    PROCESS_BASIC_INFORMATION basic{};
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0) {
        throw std::runtime_error("cannot find a child's process environment block");
    }
    const ULONG session = 0;
    SIZE_T written = 0;
    if (!WriteProcessMemory(process,
                            reinterpret_cast<std::uint8_t*>(basic.PebBaseAddress) + offsetof(PEB, SessionId),
                            &session, sizeof(session), &written) ||
        written != sizeof(session)) {
        throw std::runtime_error("cannot move a child into session 0");
    }
}

} // namespace

ChildProcess::ChildProcess(const LaunchOptions& options)
    : outputPath(StreamPath(L"out")), errorPath(StreamPath(L"err")) {
    const Win32::UniqueHandle output =
        InheritableFile(outputPath, options.outputRefused ? GENERIC_READ : GENERIC_WRITE, CREATE_ALWAYS);
    const Win32::UniqueHandle errors = InheritableFile(errorPath, GENERIC_WRITE, CREATE_ALWAYS);
    Win32::UniqueHandle input;
    if (options.input) {
        const std::wstring inputPath = StreamPath(L"in");
        WriteBytes(inputPath, *options.input);
        input = InheritableFile(inputPath, GENERIC_READ, OPEN_EXISTING);
        DeleteFileW(inputPath.c_str());
    } else {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE reader = nullptr;
        HANDLE writer = nullptr;
        if (!CreatePipe(&reader, &writer, &inherit, 0)) {
            throw std::runtime_error("cannot create an input pipe");
        }
        input = Win32::UniqueHandle(reader);
        inputWriter = Win32::UniqueHandle(writer);
        SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = errors.Get();
    std::wstring commandLine = L"\"" + options.program + L"\"";
    if (!options.arguments.empty()) {
        commandLine += L" " + options.arguments;
    }
    std::vector<wchar_t> environment = EnvironmentBlock(options.environment);
    PROCESS_INFORMATION information{};
    // Wine 8 now and then fails to bring up a new process under load, with ERROR_INTERNAL_ERROR before
    // any of the program runs (about once in every few full test runs). Such a start is tried again;
    // every other failure, and a program that keeps failing to start, ends the test.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(options.program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT |
                               (options.suspended || options.inSessionZero ? CREATE_SUSPENDED : 0),
                           environment.data(),
                           options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                           &startup, &information)) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
            throw std::runtime_error("cannot start " + std::to_string(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    mainThread = Win32::UniqueHandle(information.hThread);
    process = Win32::UniqueHandle(information.hProcess);
    if (options.inSessionZero) {
        EnterSessionZero(process.Get());
        if (!options.suspended) {
            Resume();
        }
    }
}

ChildProcess::~ChildProcess() {
    if (WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.Get(), 255);
        WaitForSingleObject(process.Get(), TERMINATION_DEADLINE);
    }
    process.Reset();
    DeleteFileW(outputPath.c_str());
    DeleteFileW(errorPath.c_str());
}

void ChildProcess::Resume() {
    if (ResumeThread(mainThread.Get()) == static_cast<DWORD>(-1)) {
        throw std::runtime_error("cannot resume a child process");
    }
}

void ChildProcess::WriteInput(const std::string& bytes) {
    DWORD written = 0;
    if (!inputWriter.IsValid() ||
        !WriteFile(inputWriter.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        throw std::runtime_error("cannot write to a child's input");
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto written = [&] {
        return Output().find(text) != std::string::npos;
    };
    // A process that has ended writes no more: what its output holds then is final.
    PollUntil([&] { return written() || WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT; }, timeout);
    return written();
}

bool ChildProcess::EndsWithin(std::chrono::milliseconds timeout) {
    return WaitForSingleObject(process.Get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

DWORD ChildProcess::Wait(std::chrono::milliseconds timeout) {
    inputWriter.Reset();
    if (WaitForSingleObject(process.Get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        throw std::runtime_error("the child process did not end in time");
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    return exitCode;
}

bool ChildProcess::Terminate() {
    const bool running = TerminateProcess(process.Get(), 255) != 0;
    if (WaitForSingleObject(process.Get(), TERMINATION_DEADLINE) != WAIT_OBJECT_0) {
        throw std::runtime_error("the child process did not end after its termination");
    }
    return running;
}

std::string ChildProcess::Output() const {
    return ReadBytes(outputPath);
}

std::string ChildProcess::Errors() const {
    return ReadBytes(errorPath);
}

std::string ChildProcess::Account() const {
    DWORD exitCode = 0;
    const bool ended = WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process.Get(), &exitCode);
    return (ended ? "the process ended with " + std::to_string(exitCode) : std::string("the process runs")) +
           "; standard output:\n" + Output() + "\nstandard error:\n" + Errors();
}

RunResult RunProgram(const LaunchOptions& options) {
    ChildProcess child(options);
    const DWORD exitCode = child.Wait();
    return {exitCode, child.Output(), child.Errors()};
}

} // namespace TestSupport
