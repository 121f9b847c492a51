// quillon-deploy.exe as deployment systems run it, on a simulated machine of two eMMC drives with the
// registers of real parts: the rehearsal build with quillon-sim.exe, and the real programs whose requests
// reach the machine through Windows and the stand-in storage driver. Between runs the machine restarts as
// quillon-sim-restart.exe restarts it; for the real program, the test counts Windows' boots as Windows does.

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
#include <string>
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

    LaunchOptions Launch(const std::wstring& arguments) const {
        LaunchOptions options{
            BuiltProgram(target == Target::Driver ? L"quillon-deploy.exe" : L"quillon-deploy-sim.exe"),
            arguments,
            directory.Path(),
            {{L"ProgramData", directory / L"ProgramData"}},
            std::string()};
        if (target == Target::Simulator) {
            options.environment[L"QUILLON_SIM_DEVICE"] = directory / L"device.txt";
            options.environment[L"QUILLON_SIM_STATE"] = directory / L"state.txt";
        }
        return options;
    }
    Deploy Run(const std::wstring& arguments) {
        const RunResult result = RunProgram(Launch(arguments));
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
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileW((StateFolder() + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..") {
                    names.push_back(found.cFileName);
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    const TempDirectory& Directory() const { return directory; }

private:
    Target target;
    TempDirectory directory;
    std::optional<DriverParameters> driver;
    DWORD boot = 1;
};

// The records of a folder, in the order of their names.
std::vector<DeployRecord> RecordsIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\*.json").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::vector<DeployRecord> records;
    for (const std::wstring& name : names) {
        std::wstring path = folder;
        path += L"\\";
        path += name;
        const auto record = DeployRecord::FromJson(ReadBytes(path));
        EXPECT_TRUE(record) << "not a record: " << std::string(name.begin(), name.end());
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

} // namespace
