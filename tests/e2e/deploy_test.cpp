// quillon-deploy.exe as deployment systems run it, on a simulated machine of two eMMC drives with the
// registers of real parts: the rehearsal build with quillon-sim.exe, and the real programs whose requests
// reach the machine through Windows and the stand-in storage driver. Between runs the machine restarts as
// quillon-sim-restart.exe restarts it; for the real program, the test counts Windows' boots as Windows does.
// Deployment systems run the programs in session 0: so do some of the runs here.

#include "cli/hex.h"
#include "cli/sha256.h"
#include "deploy/deploy_record.h"
#include "deploy/deployment.h"
#include "tests/support/driver_parameters.h"
#include "tests/support/files.h"
#include "tests/support/polling.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

using namespace TestSupport;

namespace {

const std::string PACKAGE_ID = "sandisk-da4064-0a18";
const std::string RUNNING = "3536323330613137";
const std::string RELEASED = "3536323330613138";
// Large enough for the tool to be caught in the middle of its downloads.
constexpr std::size_t IMAGE_LENGTH = std::size_t{2048} * 512;

const std::string UPDATED = "quillon-deploy: updated: the new firmware runs after the restart\n";
const std::string PENDING = "quillon-deploy: pending: this package updated the drive in this boot; the new "
                            "firmware runs after the restart\n";
const std::string AWAITS =
    PACKAGE_ID + ": installed: drive 1 was updated in this boot; the new firmware runs after the restart\n";

void SetBootCounter(DWORD boot) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management\\"
                              L"PrefetchParameters",
                              L"BootId", REG_DWORD, &boot, sizeof(boot)),
              ERROR_SUCCESS);
}

struct Deploy {
    DWORD exitCode;
    std::string output;
    std::string errors;
};

// The machine, a package in a folder whose path has blanks and parentheses, and the deployment program.
class DeployedMachine {
public:
    explicit DeployedMachine(Target target) : target(target) {
        const std::string image = PatternBytes(IMAGE_LENGTH, 18);
        WriteBytes(
            directory / L"device.txt",
            "[drive 1]\next_csd = " + RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro") +
                "\nbus_type = 13\nvendor = \"SanDisk\"\nproduct = \"DA4064\"\nimages = " + Trace::Crc(image) +
                ":" + RELEASED + "\n[drive 2]\next_csd = " + RealExtCsd(L"samsung-8g-emmc51-uboot") +
                "\nbus_type = 13\nvendor = \"Samsung\"\nproduct = \"8GTF4R\"\n");
        CreateDirectoryW((directory / L"Program Files (x86)").c_str(), nullptr);
        CreateDirectoryW(Package().c_str(), nullptr);
        WriteBytes(Package() + L"\\fw 0a18.ffu", image);
        Sha256 hash;
        hash.Update(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
        WriteBytes(
            Package() + L"\\manifest.json",
            "{\"schema_version\": 1, \"package_id\": \"" + PACKAGE_ID +
                "\", \"image\": {\"file\": \"fw 0a18.ffu\", \"length\": " + std::to_string(image.size()) +
                ", \"sha256\": \"" + Sha256::Hex(hash.Finish()) + "\"}, \"firmware_version\": \"" + RELEASED +
                "\", \"replaces\": [\"" + RUNNING +
                "\"], \"devices\": [{\"bus_type\": 13, \"vendor\": \"SanDisk\", \"product\": \"DA4064\"}]}");
        if (target == Target::Driver) {
            driver.emplace(directory / L"device.txt", directory / L"trace.txt", directory / L"state.txt");
            SetBootCounter(boot);
        }
    }

    // quillon-deploy.exe, quillon.exe or quillon-probe.exe; on the simulated machine their rehearsal builds.
    LaunchOptions Launch(const std::wstring& arguments,
                         const std::wstring& program = L"quillon-deploy") const {
        const std::wstring file = ProgramFile(program);
        LaunchOptions options{programs.empty() ? BuiltProgram(file) : programs + L"\\" + file,
                              arguments,
                              directory.Path(),
                              {{L"ProgramData", directory / L"ProgramData"}},
                              std::string()};
        if (target == Target::Simulator) {
            options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
            options.environment[L"QUILLON_SIM_STATE"] = directory / L"state.txt";
        }
        options.inSessionZero = inSessionZero;
        return options;
    }
    Deploy Run(const std::wstring& arguments, const std::wstring& program = L"quillon-deploy") {
        const RunResult result = RunProgram(Launch(arguments, program));
        Settle();
        return {result.exitCode, result.output, result.errors};
    }
    Deploy Install() { return Run(L"/M:\"" + Package() + L"\\manifest.json\" /L:Logs"); }
    Deploy Verify() { return Run(L"/V /P:" + std::wstring(PACKAGE_ID.begin(), PACKAGE_ID.end())); }
    // The driver has saved the machine's state once it has closed the run's trace.
    void Settle() const {
        if (target == Target::Driver) {
            WaitForDriverTrace(directory / L"trace.txt");
        }
    }
    void Restart() {
        RestartMachine(directory);
        if (target == Target::Driver) {
            SetBootCounter(++boot);
        }
    }

    // From now on the deployment program and its tool run from copies in a folder of the test's own.
    std::wstring CopyPrograms() {
        programs = directory / L"programs";
        CreateDirectoryW(programs.c_str(), nullptr);
        for (const std::wstring& program : {ProgramFile(L"quillon-deploy"), Tool()}) {
            EXPECT_TRUE(CopyFileW(BuiltProgram(program).c_str(), (programs + L"\\" + program).c_str(), TRUE));
        }
        return programs;
    }
    std::wstring Tool() const { return ProgramFile(L"quillon"); }
    std::wstring Package() const { return directory / L"Program Files (x86)\\bundle (1)"; }
    std::string State() const { return ReadBytes(directory / L"state.txt"); }
    std::wstring StateFolder() const {
        return directory / (std::wstring(L"ProgramData\\Quillon\\") +
                            (target == Target::Driver ? L"Deployments\\" : L"Rehearsals\\") +
                            std::wstring(PACKAGE_ID.begin(), PACKAGE_ID.end()));
    }
    std::wstring Records() const { return StateFolder() + L"\\records"; }
    // The names in the package's state folder, in order.
    std::vector<std::wstring> StateEntries() const {
        std::vector<std::wstring> names;
        for (const FolderEntry& entry : FolderEntries(StateFolder() + L"\\*")) {
            names.push_back(entry.name);
        }
        return names;
    }
    const TempDirectory& Directory() const { return directory; }

    // Whether the programs run from now on start in session 0, as deployment systems run them.
    bool inSessionZero = false;

private:
    std::wstring ProgramFile(const std::wstring& program) const {
        return program + (target == Target::Driver ? L".exe" : L"-sim.exe");
    }

    Target target;
    TempDirectory directory;
    std::wstring programs;
    std::optional<DriverParameters> driver;
    DWORD boot = 1;
};

// The records of a folder, in the order of their names.
std::vector<DeployRecord> RecordsIn(const std::wstring& folder) {
    std::vector<DeployRecord> records;
    for (const FolderEntry& entry : FolderEntries(folder + L"\\*.json")) {
        const auto record = DeployRecord::FromJson(ReadBytes(folder + L"\\" + entry.name));
        EXPECT_TRUE(record) << "not a record: " << std::string(entry.name.begin(), entry.name.end());
        if (record) {
            records.push_back(*record);
        }
    }
    return records;
}

class Deployments : public testing::TestWithParam<Target> {};

TEST_P(Deployments, InstallOnceRestartVerifyAndNothingMore) {
    DeployedMachine machine(GetParam());
    Deploy run = machine.Verify();
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.output, "");

    const std::string untouched = machine.State();
    run = machine.Install();
    EXPECT_EQ(run.exitCode, 3010u) << run.errors;
    EXPECT_EQ(run.output, TextMode(UPDATED));
    const std::string updated = machine.State();
    EXPECT_NE(updated, untouched);
    const std::vector<DeployRecord> kept = RecordsIn(machine.Directory() / L"Logs");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].drive, 1u);
    EXPECT_EQ(kept[0].exitCode, 3010);
    EXPECT_EQ(kept[0].toolExitCode, 0u);
    EXPECT_EQ(kept[0].toolClosingLine,
              "Please restart the platform in order to complete the firmware installation.");
    EXPECT_EQ(kept[0].pendingSlot, 1u);
    EXPECT_EQ(kept[0].sectorsProgrammed, IMAGE_LENGTH / 512);
    EXPECT_EQ(kept[0].ToJson(), RecordsIn(machine.Records())[0].ToJson());
    // The run removed its working folder, though Wine holds the tool's current folder a moment after its end.
    const std::vector<std::wstring> state = {Deployment::MANIFEST_FILE, Deployment::RECORDS_FOLDER};
    EXPECT_EQ(machine.StateEntries(), state);

    // Until the restart the device awaits the image: detection says installed, and a second install sends
    // nothing.
    run = machine.Verify();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, TextMode(AWAITS));
    run = machine.Install();
    EXPECT_EQ(run.exitCode, 3010u);
    EXPECT_EQ(run.output, TextMode(PENDING));
    EXPECT_EQ(machine.State(), updated);

    machine.Restart();
    run = machine.Verify();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, TextMode(PACKAGE_ID + ": installed: drive 1 runs " + RELEASED + "\n"));
    const std::string restarted = machine.State();
    run = machine.Install();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, TextMode("quillon-deploy: already current: the drive runs " + RELEASED + "\n"));
    EXPECT_EQ(machine.State(), restarted);
    // The update's record learned what the restart brought.
    const std::vector<DeployRecord> records = RecordsIn(machine.Records());
    const auto update = std::find_if(records.begin(), records.end(),
                                     [](const DeployRecord& record) { return record.toolExitCode == 0u; });
    ASSERT_NE(update, records.end());
    ASSERT_TRUE(update->versionAfterRestart);
    EXPECT_EQ(Hex::Text(update->versionAfterRestart->data(), 8), RELEASED);
}

TEST_P(Deployments, AKilledRunIsKnownToTheNext) {
    DeployedMachine machine(GetParam());
    const std::string untouched = machine.State();
    {
        ChildProcess killed(machine.Launch(L"/M:\"" + machine.Package() + L"\\manifest.json\" /L:Logs"));
        // Killed once the tool has begun to send the image.
        ASSERT_TRUE(PollUntil([&] { return machine.State() != untouched; })) << killed.Account();
        killed.Terminate();
    }
    // The tool goes on to its end, which its guard tells.
    const HANDLE guard = OpenMutexW(SYNCHRONIZE, FALSE, MACHINE_WIDE_INSTANCE_MUTEX_NAME);
    if (guard != nullptr) {
        const DWORD waited = WaitForSingleObject(guard, 120000);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            ReleaseMutex(guard);
        }
        CloseHandle(guard);
    }
    machine.Settle();
    const std::vector<DeployRecord> killed = RecordsIn(machine.Records());
    ASSERT_EQ(killed.size(), 1u);
    EXPECT_EQ(killed[0].outcome, "attempt under way");
    EXPECT_EQ(killed[0].exitCode, std::nullopt);

    // The image that the killed run's tool sent awaits the restart: nothing is sent again.
    const std::string sent = machine.State();
    Deploy run = machine.Install();
    EXPECT_EQ(run.exitCode, 3010u) << run.errors;
    EXPECT_EQ(run.output, TextMode(PENDING));
    EXPECT_EQ(machine.State(), sent);
    run = machine.Verify();
    EXPECT_EQ(run.output, TextMode(AWAITS));

    machine.Restart();
    run = machine.Verify();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, TextMode(PACKAGE_ID + ": installed: drive 1 runs " + RELEASED + "\n"));
}

// The tool runs with the deployment program's rights, as SYSTEM: one that others could replace, or that lies
// in a folder where they could put another, is refused before anything is sent, and is no attempt.
TEST_P(Deployments, RefusesAToolThatOthersCouldReplace) {
    for (const bool folder : {false, true}) {
        DeployedMachine machine(GetParam());
        const std::wstring programs = machine.CopyPrograms();
        const std::wstring opened = folder ? programs : programs + L"\\" + machine.Tool();
        if (!LetEveryoneWrite(opened)) {
            GTEST_SKIP() << "Unix modes give no DACL here";
        }
        const std::string untouched = machine.State();
        const Deploy run = machine.Install();
        EXPECT_EQ(run.exitCode, 22u) << run.output << run.errors;
        const std::wstring name = machine.Tool();
        const std::string tool(name.begin(), name.end());
        EXPECT_EQ(run.output, TextMode("quillon-deploy: refused: " + tool + " is not in a protected place: " +
                                       std::string(opened.begin(), opened.end()) +
                                       (folder ? ": lets S-1-1-0 write to it, or to what is created in it\n"
                                               : ": lets S-1-1-0 change, replace or delete it\n")));
        EXPECT_EQ(machine.State(), untouched);
        const std::vector<DeployRecord> records = RecordsIn(machine.Records());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].exitCode, 22);
        EXPECT_EQ(records[0].toolExitCode, std::nullopt);
    }
}

// Each switch once, each of one run's kind, a one-digit drive: any other command line gives the usage text
// and 20, and nothing runs, though the package would install.
TEST(DeployCommandLine, AnyOtherGivesTheUsageAndNothingRuns) {
    DeployedMachine machine(Target::Simulator);
    const std::wstring manifest = L"/M:\"" + machine.Package() + L"\\manifest.json\"";
    const std::wstring package = L"/P:" + std::wstring(PACKAGE_ID.begin(), PACKAGE_ID.end());
    const std::wstring lines[] = {
        manifest + L" /L:Logs /T:12",
        manifest + L" " + manifest + L" /L:Logs",
        manifest + L" /L:Logs /L:Logs",
        manifest + L" /L:Logs /T:1 /T:1",
        L"/V /V " + package,
        L"/V " + package + L" " + package,
    };
    const std::string untouched = machine.State();
    for (const std::wstring& line : lines) {
        SCOPED_TRACE(Narrow(line));
        const Deploy run = machine.Run(line);
        EXPECT_EQ(run.exitCode, 20u);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.errors,
                  TextMode("Usage:\n"
                           "    quillon-deploy /M:<manifest> /L:<log folder> [/T:<drive number>]\n"
                           "    quillon-deploy /V /P:<package id>\n"));
    }
    EXPECT_EQ(machine.State(), untouched);
    EXPECT_FALSE(FileExists(machine.Directory() / L"ProgramData"));
}

INSTANTIATE_TEST_SUITE_P(Machines, Deployments, testing::Values(Target::Simulator, Target::Driver),
                         [](const testing::TestParamInfo<Target>& info) { return TargetName(info.param); });

// Anyone may create a guard's name before a run does. A guard that a trusted principal owns is another run's:
// retry later (1618). One that someone else owns, or whose owner cannot even be read, is no run of Quillon's
// programs: the line names the guard and its owner (33), and detection still reads not installed.
TEST(GuardOwner, TellsAnotherRunFromAnUntrustedOwner) {
    const wchar_t* const administrators = L"O:BAD:(A;;GA;;;WD)";
    const std::string deployGuardOwner = "quillon-deploy: the guard Global\\com.zelt.quillon.deploy ";
    const std::string toolGuardOwner = "quillon-deploy: the guard Global\\com.zelt.quillon is owned by "
                                       "S-1-5-21-1-2-3-1001, not by a trusted principal\n";
    // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): the fields follow the table's columns
    const struct {
        const char* name;
        bool verify;
        const wchar_t* guard;
        const wchar_t* sddl;
        DWORD exitCode;
        std::string errors;
    } cases[] = {
        {"DeployGuardOfAnUntrustedOwner", false, DEPLOY_INSTANCE_MUTEX_NAME, UNTRUSTED_OWNER_SDDL, 33,
         deployGuardOwner + "is owned by S-1-5-21-1-2-3-1001, not by a trusted principal\n"},
        {"DeployGuardThatNobodyMayRead", false, DEPLOY_INSTANCE_MUTEX_NAME,
         L"O:S-1-5-21-1-2-3-1001D:(D;;GA;;;WD)", 33,
         deployGuardOwner + "exists, but its owner cannot be read (Windows error 5)\n"},
        {"DeployGuardOfAdministrators", false, DEPLOY_INSTANCE_MUTEX_NAME, administrators, 1618,
         "quillon-deploy: another run of quillon-deploy is in progress\n"},
        {"ToolGuardOfAnUntrustedOwner", false, MACHINE_WIDE_INSTANCE_MUTEX_NAME, UNTRUSTED_OWNER_SDDL, 33,
         toolGuardOwner},
        {"ToolGuardOfAdministrators", false, INSTANCE_MUTEX_NAME, administrators, 1618,
         "quillon-deploy: Quillon or another program that asks its devices is running\n"},
        {"DetectionWithAToolGuardOfAnUntrustedOwner", true, MACHINE_WIDE_INSTANCE_MUTEX_NAME,
         UNTRUSTED_OWNER_SDDL, 1, toolGuardOwner},
    };
    for (const auto& [name, verify, guard, sddl, exitCode, errors] : cases) {
        SCOPED_TRACE(name);
        DeployedMachine machine(Target::Simulator);
        // Detection asks the drives only for a package that an install has seen.
        if (verify) {
            ASSERT_EQ(machine.Install().exitCode, 3010u);
        }
        const std::string state = machine.State();
        const std::size_t records = RecordsIn(machine.Records()).size();
        const Win32::UniqueHandle held = MutexWithSecurity(guard, sddl);
        ASSERT_TRUE(held.IsValid());

        const Deploy run = verify ? machine.Verify() : machine.Install();
        EXPECT_EQ(run.exitCode, exitCode);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.errors, TextMode(errors));
        EXPECT_EQ(machine.State(), state);
        EXPECT_EQ(RecordsIn(machine.Records()).size(), records);
    }
}

// Intune and Configuration Manager run programs as SYSTEM in session 0, where a name without prefix lives in
// the machine's namespace already: there the session's guard and the machine-wide guard are one mutex, and
// the second must not pass for another run. Each program runs there alone.
enum class InSessionZero { Tool, Probe, Install, Verify };

std::string Name(InSessionZero run) {
    switch (run) {
    case InSessionZero::Tool:
        return "Tool";
    case InSessionZero::Probe:
        return "Probe";
    case InSessionZero::Install:
        return "Install";
    case InSessionZero::Verify:
        return "Verify";
    }
    return "";
}

void PrintTo(InSessionZero run, std::ostream* out) {
    *out << Name(run);
}

class SessionZero : public testing::TestWithParam<std::tuple<Target, InSessionZero>> {};

TEST_P(SessionZero, RunsAsInAnySession) {
    const auto [target, run] = GetParam();
    DeployedMachine machine(target);
    const std::string untouched = machine.State();
    if (run == InSessionZero::Verify) {
        ASSERT_EQ(machine.Install().exitCode, 3010u);
    }
    machine.inSessionZero = true;
    switch (run) {
    case InSessionZero::Tool: {
        const Deploy tool = machine.Run(L"/T:1 /D:\"" + machine.Package() + L"\\fw 0a18.ffu\"", L"quillon");
        const std::string log = ReadBytes(machine.Directory() / L"quillon.log");
        EXPECT_EQ(tool.exitCode, 0u) << log;
        const std::string closing = TextMode(TestSupport::UPDATED + RESTART);
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), closing.size())), closing);
        EXPECT_NE(machine.State(), untouched);
        break;
    }
    case InSessionZero::Probe: {
        const Deploy probe = machine.Run(L"/T:1", L"quillon-probe");
        EXPECT_EQ(probe.exitCode, 0u) << probe.errors;
        EXPECT_EQ(probe.errors, "");
        EXPECT_NE(probe.output, "");
        break;
    }
    case InSessionZero::Install: {
        const Deploy install = machine.Install();
        EXPECT_EQ(install.exitCode, 3010u) << install.errors;
        EXPECT_EQ(install.output, TextMode(UPDATED));
        EXPECT_NE(machine.State(), untouched);
        break;
    }
    case InSessionZero::Verify: {
        const Deploy verify = machine.Verify();
        EXPECT_EQ(verify.exitCode, 0u) << verify.errors;
        EXPECT_EQ(verify.output, TextMode(AWAITS));
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, SessionZero,
                         testing::Combine(testing::Values(Target::Simulator, Target::Driver),
                                          testing::Values(InSessionZero::Tool, InSessionZero::Probe,
                                                          InSessionZero::Install, InSessionZero::Verify)),
                         [](const auto& info) {
                             return TargetName(std::get<0>(info.param)) + Name(std::get<1>(info.param));
                         });

} // namespace
