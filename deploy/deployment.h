#pragma once

#include "deploy/deploy_record.h"
#include "deploy/machine_facts.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the deployment program does, install or verify, with what the machine gives it through a Host: the
// programs pass the machine's own, the tests a simulated one. The exit codes, outcomes and files are
// documented in docs/deployment.md.
class Deployment {
public:
    // None is 1707, 1641 or another code that deployment systems read as success or as a restart.
    enum ExitCode : int {
        // Install: already current, or not applicable. Verify: installed.
        Done = 0,
        // Verify: not installed.
        NotInstalled = 1,
        BadCommandLine = 20,
        ManifestRefused = 21,
        FolderRefused = 22,
        ImageRefused = 23,
        Ambiguous = 24,
        NotReplaceable = 25,
        DeviceRefused = 26,
        PackageRefused = 27,
        BatteryLow = 28,
        AttemptsExhausted = 29,
        ToolFailed = 30,
        BootUnknown = 31,
        // A guard is owned by someone who is not a trusted principal, or its owner cannot be read: no run of
        // Quillon's programs holds it, and retrying does not help.
        GuardUntrusted = 33,
        // A drive that might be the package's cannot be read: the outcome is unknown, nothing was sent, and
        // the deployment system tries again.
        DriveUnreadable = 34,
        AnotherRun = 1618,
        // Updated, or updated earlier in this boot: the new firmware runs after the restart.
        RestartRequired = 3010,
    };

    // What the tool's run came to: its exit code, or the Windows error that kept it from starting.
    struct ToolExit {
        std::optional<DWORD> exitCode;
        DWORD startError = 0;
    };

    // How a run fared with Quillon's guards while it asked the drives itself.
    struct Guarded {
        bool held = false;
        // Not held, and no run of Quillon's programs holds them: the line that names the guard and its owner.
        std::optional<std::string> untrustedOwner;
    };

    struct Host {
        // The computer's name, as the kept files' names carry it.
        std::wstring machine;
        // The folder of everything that the program keeps, %ProgramData%\Quillon: it and every folder below
        // it must be the program's own.
        std::wstring keptRoot;
        // The folder that holds each package's state in a folder named by its id, inside keptRoot.
        std::wstring stateRoot;
        // Who may own and write the state and log folders and the tool, as SID texts.
        std::vector<std::wstring> trusted;
        std::function<SYSTEMTIME()> clock;
        std::function<std::optional<std::string>()> boot;
        std::function<MachineFacts::Power()> power;
        // The tool's path; the outcomes name it by its file name.
        std::wstring tool;
        // Runs the tool on \\.\PhysicalDrive<drive> with the image, in the working folder, and waits for it.
        // The tool leaves its quillon.log in the working folder.
        std::function<ToolExit(const std::wstring& tool, unsigned drive, const std::wstring& image,
                               const std::wstring& workingFolder)>
            runTool;
        // Holds Quillon's guards while the program asks the drives itself; not held when Quillon or another
        // program that asks devices holds them, or someone who is not a trusted principal.
        std::function<Guarded(const std::function<void()>& askDrives)> whileToolGuarded;
    };

    struct Result {
        int exitCode = Done;
        // One line for standard output, or for standard error when `error`; none for an uninstalled verify.
        std::string message;
        bool error = false;
        // The record that the run kept; none when it kept none.
        std::optional<DeployRecord> record;
    };

    // quillon-deploy /M:<manifest> /L:<log folder> [/T:<digit>]
    static Result Install(const Host& host, const std::wstring& manifestPath, const std::wstring& logFolder,
                          std::optional<unsigned> drive);
    // quillon-deploy /V /P:<package id>
    static Result Verify(const Host& host, const std::string& packageId);

    static constexpr const char* ATTEMPT_UNDER_WAY = "attempt under way";
    static constexpr const wchar_t* MANIFEST_FILE = L"manifest.json";
    static constexpr const wchar_t* RECORDS_FOLDER = L"records";
};
