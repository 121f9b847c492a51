// quillon-deploy: one firmware release on one machine, for deployment systems. It installs a package that
// its manifest describes, once, on the drive that the package is for, by running quillon.exe; and it tells
// a detection script whether the package is installed. docs/deployment.md documents the whole program.

#include "cli/command_line.h"
#include "cli/instance_guard.h"
#include "cli/instance_mutex.h"
#include "cli/tool_guard.h"
#include "cli/trusted_principals.h"
#include "cli/utf8.h"
#include "cli/windows_version.h"
#include "deploy/deployment.h"
#include "deploy/machine_facts.h"
#include "deploy/tool_process.h"
#include "win32/dll_search.h"
#include "win32/environment.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// Beside the package-independent codes of Deployment, for a Windows version that Quillon does not run on.
constexpr int UNSUPPORTED_WINDOWS = 32;

void WriteLine(std::FILE* stream, const std::string& line) {
    // A line that the stream cannot take is lost; the exit code still tells the outcome.
    static_cast<void>(std::fputs((line + "\n").c_str(), stream));
    static_cast<void>(std::fflush(stream));
}

void WriteUsage() {
    WriteLine(stderr, "Usage:\n"
                      "    quillon-deploy /M:<manifest> /L:<log folder> [/T:<drive number>]\n"
                      "    quillon-deploy /V /P:<package id>");
}

struct Options {
    bool verify = false;
    std::wstring manifest;
    std::wstring logFolder;
    std::optional<unsigned> drive;
    std::string packageId;
};

// Every switch at most once, each of one run's kind, nothing else; a /T: value is one digit.
std::optional<Options> ReadOptions() {
    const auto arguments = CommandLine::Split(GetCommandLineW());
    if (!arguments) {
        return std::nullopt;
    }
    Options options;
    std::optional<std::wstring> manifest, logs, drive, package;
    bool verify = false;
    for (std::size_t i = 1; i < arguments->size(); ++i) {
        const std::wstring& argument = (*arguments)[i];
        bool known = false;
        for (auto [letter, value] : {std::pair{L'M', &manifest}, std::pair{L'L', &logs},
                                     std::pair{L'T', &drive}, std::pair{L'P', &package}}) {
            if (const auto text = CommandLine::SwitchValue(argument, letter)) {
                if (*value || text->empty()) {
                    return std::nullopt;
                }
                *value = std::wstring(*text);
                known = true;
            }
        }
        if (!known) {
            if ((argument != L"/V" && argument != L"-V") || verify) {
                return std::nullopt;
            }
            verify = true;
        }
    }
    if (verify) {
        if (!package || manifest || logs || drive) {
            return std::nullopt;
        }
        options.verify = true;
        options.packageId = Utf8::FromWide(*package);
        return options;
    }
    if (!manifest || !logs || package) {
        return std::nullopt;
    }
    options.manifest = *manifest;
    options.logFolder = *logs;
    if (drive) {
        if (drive->size() != 1 || (*drive)[0] < L'0' || (*drive)[0] > L'9') {
            return std::nullopt;
        }
        options.drive = static_cast<unsigned>((*drive)[0] - L'0');
    }
    return options;
}

std::wstring ComputerName() {
    std::vector<wchar_t> name(MAX_COMPUTERNAME_LENGTH + 1);
    DWORD length = static_cast<DWORD>(name.size());
    return GetComputerNameW(name.data(), &length) ? std::wstring(name.data(), length) : L"unknown";
}

Deployment::Host WindowsHost(const std::wstring& programData) {
    Deployment::Host host;
    host.machine = ComputerName();
    host.keptRoot = programData + L"\\Quillon";
    host.stateRoot = host.keptRoot + L"\\" + MachineFacts::StateFolder();
    host.trusted = TrustedPrincipals::OfThisProcess();
    host.clock = [] {
        SYSTEMTIME now{};
        GetSystemTime(&now);
        return now;
    };
    host.boot = MachineFacts::BootIdentity;
    host.power = MachineFacts::PowerStatus;
    host.tool = ToolProcess::BesideThisProgram(MachineFacts::ToolProgram());
    host.runTool = ToolProcess::Run;
    host.whileToolGuarded = [](const std::function<void()>& askDrives) {
        const ToolGuard guard;
        if (!guard.IsOwned()) {
            return Deployment::Guarded{false, guard.UntrustedOwner()};
        }
        askDrives();
        return Deployment::Guarded{true, std::nullopt};
    };
    return host;
}

int Run() {
    const auto options = ReadOptions();
    if (!options) {
        WriteUsage();
        return Deployment::BadCommandLine;
    }
    if (!IsWindowsVersionSupported()) {
        WriteLine(stderr, "quillon-deploy: not supported on this Windows version");
        return UNSUPPORTED_WINDOWS;
    }
    const auto programData = Win32::EnvironmentVariable(L"ProgramData");
    if (!programData) {
        WriteLine(stderr, "quillon-deploy: ProgramData names no folder for the deployments' state");
        return Deployment::FolderRefused;
    }
    const Deployment::Host host = WindowsHost(*programData);
    if (options->verify) {
        const Deployment::Result result = Deployment::Verify(host, options->packageId);
        if (!result.message.empty()) {
            WriteLine(result.error ? stderr : stdout, result.message);
        }
        return result.exitCode;
    }
    // A run as SYSTEM and an administrator's run in another session must not both decide on one machine.
    const InstanceGuard guard(DEPLOY_INSTANCE_MUTEX_NAME);
    if (!guard.IsOwned()) {
        if (const auto owner = guard.UntrustedOwner()) {
            WriteLine(stderr, "quillon-deploy: " + *owner);
            return Deployment::GuardUntrusted;
        }
        WriteLine(stderr, "quillon-deploy: another run of quillon-deploy is in progress");
        return Deployment::AnotherRun;
    }
    const Deployment::Result result =
        Deployment::Install(host, options->manifest, options->logFolder, options->drive);
    WriteLine(result.error ? stderr : stdout, result.message);
    return result.exitCode;
}

} // namespace

int main(int, char**) {
    Win32::RestrictDllSearch();
    return Run();
}
