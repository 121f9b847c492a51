// The storage driver boundary served by a simulated machine, for quillon-sim.exe and the tests.
//
// The machine comes from the description file named by QUILLON_SIM_DEVICE (the built-in device without
// it); QUILLON_SIM_TRACE names a file that receives one line for every request, and QUILLON_SIM_STATE the
// file that keeps what happened to the machine from one run to the next. All are settled before the tool
// itself starts: a description or state that cannot be used ends the process with exit code 2 before the
// banner and before the log file is touched.

#include "device/storage_driver.h"

#include "sim/description_file.h"
#include "sim/simulated_machine.h"
#include "win32/environment.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Messages name the program that writes them, quillon-sim or quillon-probe-sim, as its file is named.
std::string ProgramName() {
    std::array<wchar_t, 32768> path{};
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring name(path.data(), length);
    name.erase(0, name.find_last_of(L"\\/") + 1);
    if (const std::size_t dot = name.rfind(L'.'); dot != std::wstring::npos && dot != 0) {
        name.erase(dot);
    }
    return NarrowPath(name);
}

[[noreturn]] void Refuse(const std::string& message) {
    // The exit code says the description was refused even when standard error is gone.
    static_cast<void>(std::fputs((ProgramName() + ": " + message + "\n").c_str(), stderr));
    static_cast<void>(std::fflush(stderr));
    std::exit(2);
}

MachineDescription ReadDescription(const std::wstring& path) {
    try {
        return DescriptionFile::Read(path);
    } catch (const DescriptionFileError& error) {
        Refuse(error.what());
    }
}

struct ProcessMachine {
    ProcessMachine() {
        // The trace is started before the description is judged: a refused run leaves an empty trace
        // behind, never the requests of an earlier run.
        RequestTrace trace;
        if (const auto tracePath = Win32::EnvironmentVariable(L"QUILLON_SIM_TRACE")) {
            try {
                trace = RequestTrace(*tracePath);
            } catch (const std::runtime_error&) {
                Refuse("cannot create the request trace '" + NarrowPath(*tracePath) + "'");
            }
        }
        const auto descriptionPath = Win32::EnvironmentVariable(L"QUILLON_SIM_DEVICE");
        MachineDescription description =
            descriptionPath ? ReadDescription(*descriptionPath) : MachineDescription(DeviceDescription{});
        try {
            SimulatedMachine::Install(
                std::move(description), std::move(trace),
                Win32::EnvironmentVariable(L"QUILLON_SIM_STATE").value_or(std::wstring()));
        } catch (const MachineStateError& error) {
            Refuse(error.what());
        }
    }
};

// A drive handle that the tool never closed is reported on standard error when the process ends.
void ReportOpenDrives() {
    const std::size_t open = SimulatedMachine::Current().OpenDriveCount();
    if (open != 0) {
        // A report that standard error cannot take is lost; the exit code stays the tool's either way.
        static_cast<void>(std::fprintf(stderr, "%s: the tool left %u drive handle(s) open\n",
                                       ProgramName().c_str(), static_cast<unsigned>(open)));
        static_cast<void>(std::fflush(stderr));
    }
}

// Set up ahead of the program's other static objects, the Logger among them.
ProcessMachine processMachine __attribute__((init_priority(1000)));

} // namespace

namespace StorageDriver {

HANDLE OpenDrive(const wchar_t* drivePath) {
    // Registered after every static object exists, so it runs at exit before any of them goes.
    static const int reportAtExit = std::atexit(ReportOpenDrives);
    static_cast<void>(reportAtExit);
    return SimulatedMachine::Current().Open(drivePath);
}

void CloseDrive(HANDLE drive) {
    SimulatedMachine::Current().Close(drive);
}

BOOL ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength) {
    return SimulatedMachine::Current().ReadExtCsd(drive, extCsd, extCsdLength);
}

BOOL GetFirmwareInfo(HANDLE drive, void* query, DWORD queryLength, void* info, DWORD infoLength) {
    return SimulatedMachine::Current().GetFirmwareInfo(drive, query, queryLength, info, infoLength);
}

BOOL DownloadFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength) {
    return SimulatedMachine::Current().DownloadFirmware(drive, request, requestLength, reply, replyLength);
}

BOOL ActivateFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength) {
    return SimulatedMachine::Current().ActivateFirmware(drive, request, requestLength, reply, replyLength);
}

BOOL QueryProperty(HANDLE drive, void* query, DWORD queryLength, void* descriptor, DWORD descriptorLength,
                   DWORD* returned) {
    return SimulatedMachine::Current().QueryProperty(drive, query, queryLength, descriptor, descriptorLength,
                                                     returned);
}

} // namespace StorageDriver
