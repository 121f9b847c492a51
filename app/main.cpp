// The program driver: the one place that decides the order of a run, from the banner to the exit code.

#include "cli/command_line.h"
#include "cli/instance_guard.h"
#include "cli/instance_mutex.h"
#include "cli/package.h"
#include "cli/program_version.h"
#include "cli/windows_version.h"
#include "device/emmc.h"
#include "diag/logger.h"
#include "win32/dll_search.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

namespace {

enum ExitCode : int {
    Success = 0,
    DeviceFailure = 1,
    AlreadyRunning = 5,
    BadArguments = 8,
    UnsupportedWindows = 9,
};

// The single-instance guard, held until the exit path.
HANDLE instanceMutex = nullptr;
bool instanceMutexOwned = false;
// The machine-wide guard beside it, taken after it and held as long.
std::optional<InstanceGuard> machineWideGuard;

// Set when quillon.log in the current directory is the log of a run that still goes on. Such a run is this
// one's first instance whatever the guard says: that run may be past its exit path already, and a device
// phase without a log must never happen.
bool logHeldByRunningInstance = false;

Logger* CreateLogger() {
    LogFile logFile(L"quillon.log");
    logHeldByRunningInstance = logFile.IsHeldByAnotherRun();
    auto* created = new Logger(std::move(logFile), IsDebugModeRequested());
    // Registration cannot fail this early: the C runtime keeps room for at least 32 handlers.
    static_cast<void>(std::atexit([] { delete logger; }));
    return created;
}

void WriteBanner() {
    const std::wstring version = GetProgramVersion();
    if (!version.empty()) {
        *logger << L"Quillon v" << version << L"\n";
    } else {
        *logger << L"Quillon (unknown version)\n";
    }
    *logger << L"Copyright (c) 2026 ZELT. All rights reserved.\n";
    *logger << L"\n";
}

void WriteUsage() {
    *logger << L"Usage:\n";
    *logger << L"\n";
    *logger << L"    Quillon /T:<drive number> /D:<FFU data file>\n";
    *logger << L"\n";
    *logger << L"  where:\n";
    *logger << L"    <drive number>      - drive number to be updated (0 is first drive)\n";
    *logger << L"    <FFU data file>     - path to data file containing the FFU package\n";
    *logger << L"\n";
}

ExitCode RunDevicePhase(const std::wstring& drivePath, const std::vector<std::uint8_t>& image) {
    bool updated = false;
    try {
        const auto device = std::make_unique<eMMC>(drivePath);
        if (device->CanUpdateFirmware()) {
            updated = device->UpdateFirmware(image);
            if (updated) {
                *logger << L"Please restart the platform in order to complete the firmware installation.\n\n";
            }
        }
    } catch (const std::exception& error) {
        *logger << error.what();
    }
    return updated ? Success : DeviceFailure;
}

ExitCode Run() {
    WriteBanner();

    if (!IsWindowsVersionSupported()) {
        *logger << L"Quillon: not supported on this Windows version!";
        return UnsupportedWindows;
    }

    if (logHeldByRunningInstance) {
        *logger << L"Quillon: already running!";
        return AlreadyRunning;
    }
    instanceMutex = CreateMutexW(nullptr, TRUE, INSTANCE_MUTEX_NAME);
    if (instanceMutex == nullptr) {
        return AlreadyRunning;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        *logger << L"Quillon: already running!";
        return AlreadyRunning;
    }
    instanceMutexOwned = true;
    machineWideGuard.emplace(MACHINE_WIDE_INSTANCE_MUTEX_NAME);
    // A name that cannot be created or opened is mostly another session's guard that this run may not
    // open; it ends the run as the session's guard does when it cannot be created.
    if (!machineWideGuard->Exists()) {
        return AlreadyRunning;
    }
    if (!machineWideGuard->IsOwned()) {
        *logger << L"Quillon: already running!";
        return AlreadyRunning;
    }

    std::wstring drivePath;
    std::wstring packagePath;
    if (!ParseCommandLine(drivePath, packagePath)) {
        WriteUsage();
        return BadArguments;
    }

    std::vector<std::uint8_t> image;
    switch (LoadPackage(packagePath, image)) {
    case PackageLoad::Loaded:
        break;
    case PackageLoad::Missing:
        *logger << L"Quillon: could not open file '" << packagePath << L"'\n";
        return BadArguments;
    case PackageLoad::Unreadable:
        *logger << L"Quillon: could not read file '" << packagePath << L"'\n";
        return BadArguments;
    }

    return RunDevicePhase(drivePath, image);
}

void WaitForEnter() {
    // The prompt is for the operator at the console and never part of the log.
    std::wcout << L"\nPress the ENTER key to continue...";
    std::wcout.flush();
    // Whatever ends the wait, a key or the end of the input, the run ends.
    static_cast<void>(std::getchar());
}

} // namespace

Logger* const logger = CreateLogger();

int main(int, char**) {
    Win32::RestrictDllSearch();
    const ExitCode exitCode = Run();
    if (logger->debugMode) {
        WaitForEnter();
    }
    if (instanceMutex != nullptr) {
        if (instanceMutexOwned) {
            ReleaseMutex(instanceMutex);
        }
        CloseHandle(instanceMutex);
    }
    machineWideGuard.reset();
    return exitCode;
}
