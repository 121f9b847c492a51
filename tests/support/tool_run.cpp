#include "tests/support/tool_run.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace TestSupport {

namespace {

const wchar_t DRIVER_PARAMETERS[] = L"System\\CurrentControlSet\\Services\\QuillonSim\\Parameters";
const std::string REFUSED = "refused: ";

// The stand-in driver's description and trace for as long as the object lives; without them the driver
// serves no device.
class DriverParameters {
public:
    DriverParameters(const std::wstring& description, const std::wstring& trace) {
        HKEY created = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DRIVER_PARAMETERS, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &created, nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot create the driver's parameters");
        }
        key.reset(created);
        Set(L"Device", description);
        Set(L"Trace", trace);
    }
    DriverParameters(const DriverParameters&) = delete;
    DriverParameters& operator=(const DriverParameters&) = delete;
    ~DriverParameters() {
        RegDeleteValueW(key.get(), L"Device");
        RegDeleteValueW(key.get(), L"Trace");
    }

private:
    void Set(const wchar_t* name, const std::wstring& value) {
        const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        if (RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) !=
            ERROR_SUCCESS) {
            throw std::runtime_error("cannot set the driver's parameters");
        }
    }

    std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key{nullptr, &RegCloseKey};
};

// The driver closes the trace when the drive's last handle has gone, which Wine tells it after the
// program's end. Until then the file cannot be opened without sharing.
void WaitForTraceClosed(const std::wstring& path) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.IsValid() || GetLastError() == ERROR_FILE_NOT_FOUND) {
            return;
        }
        if (std::chrono::steady_clock::now() > end) {
            throw std::runtime_error("the stand-in driver keeps the trace open");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

std::string TargetName(Target target) {
    return target == Target::Simulator ? "Simulator" : "Driver";
}

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
    RunResult result{};
    if (launch.target == Target::Simulator) {
        result = RunProgram(LaunchIn(directory, launch));
    } else {
        WriteBytes(directory / L"device.txt", launch.description);
        const DriverParameters parameters(directory / L"device.txt", directory / L"trace.txt");
        result = RunProgram({BuiltProgram(L"quillon.exe"), launch.arguments, directory.Path(),
                             launch.environment, launch.input});
        WaitForTraceClosed(directory / L"trace.txt");
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

} // namespace TestSupport
