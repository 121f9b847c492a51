// quillon-probe: what a device is and what Quillon would do with it, learned with the three read requests
// of an update and the two storage property queries that say what the disk is, and nothing else.

#include "cli/command_line.h"
#include "cli/package.h"
#include "cli/program_version.h"
#include "cli/tool_guard.h"
#include "cli/windows_version.h"
#include "device/device_inventory.h"
#include "device/drive_discovery.h"
#include "diag/log_file.h"
#include "diag/win32_error.h"
#include "probe/json_report.h"
#include "probe/manifest_draft.h"
#include "probe/new_file.h"
#include "probe/report_fields.h"
#include "probe/text_report.h"
#include "probe/twin_description.h"
#include "win32/dll_search.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

enum ExitCode : int {
    WouldUpdate = 0,
    WouldNotUpdate = 1,
    AlreadyRunning = 5,
    BadArguments = 8,
    UnsupportedWindows = 9,
};

struct Options {
    // Empty with /T:*, which asks every drive.
    std::wstring drivePath;
    bool discovery = false;
    std::wstring packagePath;
    std::wstring twinPath;
    std::wstring draftPath;
    bool json = false;
};

// Quillon's switch rules, with /J and /S: beside /T: and /D:; only /T: is required. /T:* takes neither /D:
// nor /S:, which are for one device.
std::optional<Options> ParseOptions() {
    const auto arguments = CommandLine::Split(GetCommandLineW());
    if (!arguments) {
        return std::nullopt;
    }
    Options options;
    for (const std::wstring& argument : *arguments) {
        if (const auto drive = CommandLine::SwitchValue(argument, L'T')) {
            const auto path = CommandLine::DrivePath(*drive);
            if (options.drivePath.empty() && !options.discovery) {
                if (path) {
                    options.drivePath = *path;
                } else if (*drive == L"*") {
                    options.discovery = true;
                }
            }
        } else if (const auto package = CommandLine::SwitchValue(argument, L'D')) {
            if (options.packagePath.empty()) {
                options.packagePath = *package;
            }
        } else if (const auto twin = CommandLine::SwitchValue(argument, L'S')) {
            if (options.twinPath.empty()) {
                options.twinPath = *twin;
            }
        } else if (const auto draft = CommandLine::SwitchValue(argument, L'M')) {
            if (options.draftPath.empty()) {
                options.draftPath = *draft;
            }
        } else if (argument == L"/J" || argument == L"-J") {
            options.json = true;
        }
    }
    // A manifest draft is made of a device and a package; discovery makes neither a twin nor a draft.
    if (options.discovery
            ? !options.packagePath.empty() || !options.twinPath.empty() || !options.draftPath.empty()
            : options.drivePath.empty() || (!options.draftPath.empty() && options.packagePath.empty())) {
        return std::nullopt;
    }
    return options;
}

// A message that standard error cannot take is lost; the exit code still tells the outcome.
void WriteError(const std::string& message) {
    static_cast<void>(std::fputs(("quillon-probe: " + message + "\n").c_str(), stderr));
    static_cast<void>(std::fflush(stderr));
}

void WriteUsage() {
    static_cast<void>(std::fputs(
        "Usage:\n"
        "\n"
        "    quillon-probe /T:<drive number> [/D:<FFU data file> [/M:<manifest draft>]] [/J]\n"
        "                  [/S:<description file>]\n"
        "    quillon-probe /T:* [/J]\n"
        "\n"
        "  where:\n"
        "    <drive number>      - drive number to be probed (0 is first drive)\n"
        "    *                   - every drive from 0 to 9, with the eMMC candidates marked\n"
        "    <FFU data file>     - package whose download is planned, loaded as Quillon loads it\n"
        "    /J                  - the report as JSON\n"
        "    <description file>  - new file for a simulated-device description of this device\n"
        "    <manifest draft>    - new file for a draft of a deployment manifest: this device, the package\n"
        "\n",
        stderr));
    static_cast<void>(std::fflush(stderr));
}

// Creates the file of this kind when a path is given; false, with the message written, when it cannot be
// created.
bool CreateNew(const std::wstring& path, const std::string& kind, std::optional<NewFile>& file) {
    if (path.empty()) {
        return true;
    }
    file.emplace(path);
    if (file->IsOpen()) {
        return true;
    }
    const DWORD error = file->Error();
    WriteError(error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                   ? "'" + NarrowText(path) + "' exists already; a " + kind + " is only written to a new file"
                   : "could not create the " + kind + " '" + NarrowText(path) +
                         "': " + Windows::SystemText(error));
    file.reset();
    return false;
}

// Writes the report of discovery: 0 when Quillon would update one of the eMMC candidates, 1 when it would
// update none (or there is none).
// An inventory script must not take a report that did not arrive whole for one that did.
bool WriteReport(const std::string& report) {
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        WriteError("could not write the report");
        return false;
    }
    return true;
}

ExitCode Discovered(const std::string& report, const std::vector<DiscoveredDrive>& drives) {
    if (!WriteReport(report)) {
        return BadArguments;
    }
    for (const DiscoveredDrive& drive : drives) {
        if (drive.emmcCandidate && drive.inventory.verdict.refusal.empty()) {
            return WouldUpdate;
        }
    }
    return WouldNotUpdate;
}

ExitCode Run() {
    if (!IsWindowsVersionSupported()) {
        WriteError("not supported on this Windows version");
        return UnsupportedWindows;
    }
    const auto options = ParseOptions();
    if (!options) {
        WriteUsage();
        return BadArguments;
    }

    std::optional<PackageReport> package;
    std::vector<std::uint8_t> image;
    if (!options->packagePath.empty()) {
        switch (LoadPackage(options->packagePath, image)) {
        case PackageLoad::Loaded:
            package = PackageReport{options->packagePath, {}};
            break;
        case PackageLoad::Missing:
            WriteError("could not open file '" + NarrowText(options->packagePath) + "'");
            return BadArguments;
        case PackageLoad::Unreadable:
            WriteError("could not read file '" + NarrowText(options->packagePath) + "'");
            return BadArguments;
        }
    }

    std::optional<NewFile> twin;
    std::optional<NewFile> draft;
    const auto discardFiles = [&] {
        for (std::optional<NewFile>* file : {&twin, &draft}) {
            if (*file) {
                (*file)->Discard();
            }
        }
    };
    if (!CreateNew(options->twinPath, "device description", twin) ||
        !CreateNew(options->draftPath, "manifest draft", draft)) {
        discardFiles();
        return BadArguments;
    }

    DeviceInventory inventory;
    std::vector<DiscoveredDrive> drives;
    {
        const ToolGuard guard;
        if (!guard.IsOwned()) {
            discardFiles();
            WriteError(guard.UntrustedOwner().value_or("Quillon or another probe is running"));
            return AlreadyRunning;
        }
        if (options->discovery) {
            drives = DiscoverDrives();
        } else {
            inventory = TakeInventory(options->drivePath);
        }
    }
    const std::wstring version = GetProgramVersion();
    if (options->discovery) {
        return Discovered(options->json ? DiscoveryJsonReport(version, drives)
                                        : DiscoveryTextReport(version, drives),
                          drives);
    }

    if (package) {
        package->plan = PlanPackage(inventory, static_cast<std::uint32_t>(image.size()));
    }
    const std::string report =
        options->json ? JsonReport(version, inventory, package) : TextReport(version, inventory, package);
    if (!WriteReport(report)) {
        discardFiles();
        return BadArguments;
    }

    if (twin && !twin->Write(TwinDescription(inventory))) {
        discardFiles();
        WriteError("could not write the device description '" + NarrowText(options->twinPath) + "'");
        return BadArguments;
    }
    if (draft) {
        const auto text = ManifestDraft(inventory, options->packagePath, image);
        if (!text) {
            draft->Discard();
            WriteError("no manifest draft: the drive gave no identity or no EXT_CSD");
            return BadArguments;
        }
        if (!draft->Write(*text)) {
            WriteError("could not write the manifest draft '" + NarrowText(options->draftPath) + "'");
            return BadArguments;
        }
    }
    const bool packageFails = package && package->plan.failure;
    return inventory.verdict.refusal.empty() && !packageFails ? WouldUpdate : WouldNotUpdate;
}

} // namespace

int main(int, char**) {
    Win32::RestrictDllSearch();
    return Run();
}
