// Random fleets against the deployment program, in process over the simulated storage driver: each case
// draws a machine (its drives, their identities, registers of real parts and firmware versions, now and then
// a drive that cannot be read, its power), a package for it (an image that installs or fails at the restart,
// one whose bytes may differ from the manifest's hash or go on past its length, under a name that may be the
// tool's log's), a tool that may find another of itself running or leave its folder held a moment after its
// end, and a sequence of installs, restarts and verifies, among them records that a lost machine left
// half-written or that cannot be read, and folders that earlier runs could not remove. An oracle written from
// the deployment rules predicts every exit code; the promises that hold whatever the case are checked against
// the devices and the package's folders themselves.
//
//   quillon_deploy_fleet_tests.exe [--cases=N] [--seed=N]   N machines from a base seed (400 from 1)
//   quillon_deploy_fleet_tests.exe --case=SEED              the one machine a failure names

#include "cli/hex.h"
#include "cli/package.h"
#include "cli/sha256.h"
#include "cli/trusted_principals.h"
#include "deploy/deploy_record.h"
#include "deploy/deployment.h"
#include "device/emmc.h"
#include "device/ext_csd.h"
#include "diag/logger.h"
#include "sim/machine_state.h"
#include "sim/simulated_machine.h"
#include "tests/support/files.h"
#include "tests/support/number_argument.h"
#include "tests/support/trace_lines.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace TestSupport;

// The tool's device phase writes its messages here; the fleet keeps none of them.
Logger* const logger = new Logger(LogFile(), false);

namespace {

using Version = std::array<std::uint8_t, 8>;

// What the package replaces, a version it does not replace, and what it installs.
const Version REPLACED = {'F', 'W', '-', '0', '5', '.', '0', '1'};
const Version OTHER = {'F', 'W', '-', '0', '4', '.', '0', '9'};
const Version TARGET = {'F', 'W', '-', '0', '5', '.', '0', '2'};
constexpr std::uint32_t DEVICE_VERSION_OF_THE_PART = 0x5051;
constexpr unsigned CAP = 3;
const std::string PACKAGE_ID = "zelt-e64-0502";
constexpr std::uint32_t MIB = 1024 * 1024;
// quillon.exe's exit code when another of it runs.
constexpr DWORD TOOL_ALREADY_RUNNING = 5;
// How long a tool's folder stays held after its end, when it does.
constexpr DWORD LATE_RELEASE_MS = 200;

const wchar_t* const REGISTERS[] = {
    L"sandisk-da4064-64g-emmc51-pinebook-pro", L"samsung-8g-emmc51-uboot",
    L"unknown-16g-emmc50-oznotes-extcsd",      L"unknown-4g-emmc441-oznotes-extcsd1",
    L"unknown-64g-emmc51-aaru-test",           L"unknown-8g-emmc50-oznotes-extcsd-on",
};

// What keeps a drive from being read, now and then: Windows says that there is no such drive (2 or 3),
// another program holds it (32, or 5), its identity query fails, or its EXT_CSD read fails.
enum class Fault { None, NoSuchDrive, Held, NoIdentity, NoRegister };
const std::pair<Fault, const char*> FAULTS[] = {
    {Fault::NoSuchDrive, "open_error = 2"},
    {Fault::NoSuchDrive, "open_error = 3"},
    {Fault::Held, "open_error = 32"},
    {Fault::Held, "open_error = 5"},
    {Fault::NoIdentity, "device_property_error = 1"},
    {Fault::NoRegister, "ext_csd_error = 31"},
};

struct Drive {
    unsigned number;
    std::uint32_t busType;
    std::string vendor;
    std::string product;
    std::vector<std::uint8_t> extCsd;
    Fault fault = Fault::None;
    // The description's line that gives the fault.
    std::string faultLine;
};

// A damaged record is one that a machine which lost its power left half-written, or one that cannot be read;
// a leftover is a working folder, named as the next run's, that an earlier run could not remove, and that
// Windows may still hold during the next run.
enum class Step { Install, Restart, Verify, DamagedRecord, Leftover };

// The image beside the manifest: the one it describes, one with a byte changed, or one that goes on past
// the manifest's length.
enum class Image { AsManifest, ChangedByte, Longer };

// One machine and everything that happens to it, drawn from the seed.
struct FleetCase {
    std::vector<Drive> drives;
    bool installsAtRestart = true;
    // Every drive fails the first download request of each run: the tool ends with a failed download.
    bool downloadFails = false;
    Image image = Image::AsManifest;
    std::uint32_t imageLength = 0;
    // The bytes of a longer image past the manifest's length.
    std::uint32_t extraLength = 0;
    std::string imageName = "fw.ffu";
    // How many of the tool's first runs find another quillon.exe running, and end with 5 at once.
    unsigned busyToolRuns = 0;
    // Whether the tool's folder stays held a moment after its end, as Wine holds a process's current folder.
    bool lateRelease = false;
    bool manifestAsksDeviceVersion = false;
    std::optional<unsigned> minimumBattery;
    MachineFacts::Power power;
    std::vector<Step> steps;

    static FleetCase FromSeed(std::uint64_t seed) {
        std::mt19937_64 random(seed);
        const auto chance = [&](double p) {
            return std::bernoulli_distribution(p)(random);
        };
        const auto pick = [&](std::size_t count) {
            return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
        };
        FleetCase drawn;
        std::vector<unsigned> numbers = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        std::shuffle(numbers.begin(), numbers.end(), random);
        numbers.resize(1 + pick(3));
        for (const unsigned number : numbers) {
            Drive drive{number,
                        chance(0.8) ? 0x0Du : (chance(0.5) ? 0x0Cu : 0x11u),
                        chance(0.85) ? "ZELT" : "OTHER",
                        chance(0.85) ? "E64" : "E32",
                        {},
                        Fault::None,
                        {}};
            drive.extCsd = *Hex::Bytes(RealExtCsd(REGISTERS[chance(0.6) ? 0 : pick(std::size(REGISTERS))]));
            const Version& version = chance(0.7) ? REPLACED : (chance(0.5) ? TARGET : OTHER);
            std::copy(version.begin(), version.end(), drive.extCsd.begin() + ExtCsd::FIRMWARE_VERSION);
            if (chance(0.12)) {
                const auto& [fault, line] = FAULTS[pick(std::size(FAULTS))];
                drive.fault = fault;
                drive.faultLine = std::string(line) + "\n";
            }
            drawn.drives.push_back(std::move(drive));
        }
        drawn.installsAtRestart = chance(0.5);
        drawn.downloadFails = chance(0.15);
        drawn.image = chance(0.85) ? Image::AsManifest : (chance(0.4) ? Image::ChangedByte : Image::Longer);
        drawn.imageLength = 512 * static_cast<std::uint32_t>(1 + pick(300)) + (chance(0.1) ? 100 : 0);
        if (drawn.image == Image::Longer) {
            // A length of whole blocks of the copy, whose last block may end exactly at the length.
            if (chance(0.6)) {
                drawn.imageLength = MIB * static_cast<std::uint32_t>(1 + pick(2));
            }
            drawn.extraLength = static_cast<std::uint32_t>(1 + pick(chance(0.5) ? 4 : 70000));
        }
        if (chance(0.15)) {
            const char* const names[] = {"quillon.log", "QUILLON.LOG", "Quillon.Log"};
            drawn.imageName = names[pick(std::size(names))];
        }
        if (chance(0.2)) {
            drawn.busyToolRuns = static_cast<unsigned>(1 + pick(4));
        }
        drawn.lateRelease = chance(0.08);
        drawn.manifestAsksDeviceVersion = chance(0.3);
        if (chance(0.5)) {
            drawn.minimumBattery = static_cast<unsigned>(pick(101));
        }
        if (chance(0.3)) {
            drawn.power.onAcPower = false;
            if (chance(0.8)) {
                drawn.power.batteryPercent = static_cast<unsigned>(pick(101));
            }
        }
        // Long enough to use up the attempts of an image that fails at every restart.
        const std::size_t steps = 6 + pick(11);
        const bool damages = chance(0.25);
        for (std::size_t i = 0; i < steps; ++i) {
            const std::size_t kind = pick(damages ? 8 : 6);
            const Step drawnSteps[] = {Step::Install,       Step::Install,      Step::Restart,
                                       Step::Restart,       Step::Verify,       Step::Leftover,
                                       Step::DamagedRecord, Step::DamagedRecord};
            drawn.steps.push_back(drawnSteps[kind]);
        }
        return drawn;
    }
};

std::uint32_t DeviceVersionOf(const std::vector<std::uint8_t>& extCsd) {
    return extCsd[ExtCsd::DEVICE_VERSION] | extCsd[ExtCsd::DEVICE_VERSION + 1] << 8;
}

// The deployment rules, from their documentation: what each run does to the model of the machine, and the
// exit code it ends with.
class Oracle {
public:
    explicit Oracle(const FleetCase& fleet) : fleet(fleet) {
        for (const Drive& drive : fleet.drives) {
            Version version{};
            std::copy_n(drive.extCsd.begin() + ExtCsd::FIRMWARE_VERSION, 8, version.begin());
            versions[drive.number] = version;
        }
    }

    // Whether the manifest names the drive; none when it might and the drive cannot be read.
    std::optional<bool> Names(const Drive& drive) const {
        if (drive.fault == Fault::NoSuchDrive) {
            return false;
        }
        if (drive.fault == Fault::Held || drive.fault == Fault::NoIdentity) {
            return std::nullopt;
        }
        if (drive.busType != 0x0D || drive.vendor != "ZELT" || drive.product != "E64") {
            return false;
        }
        if (!fleet.manifestAsksDeviceVersion) {
            return true;
        }
        if (drive.fault == Fault::NoRegister) {
            return std::nullopt;
        }
        return DeviceVersionOf(drive.extCsd) == DEVICE_VERSION_OF_THE_PART;
    }
    std::vector<const Drive*> Named() const {
        std::vector<const Drive*> named;
        for (const Drive& drive : fleet.drives) {
            if (Names(drive) == true) {
                named.push_back(&drive);
            }
        }
        return named;
    }
    bool Unknown() const {
        return std::any_of(fleet.drives.begin(), fleet.drives.end(),
                           [this](const Drive& drive) { return !Names(drive); });
    }

    struct Run {
        int exitCode;
        // The drive that the tool is run on, and whether the image is then pending there.
        std::optional<unsigned> receiver = std::nullopt;
        bool updated = false;
        // The outcome's line, where the case tells it.
        std::string message = std::string();
    };

    Run Install() {
        installRan = true;
        const auto named = Named();
        if (named.size() > 1) {
            return {Deployment::Ambiguous, std::nullopt};
        }
        if (Unknown()) {
            return {Deployment::DriveUnreadable, std::nullopt};
        }
        if (named.empty()) {
            return {Deployment::Done, std::nullopt};
        }
        const Drive& drive = *named.front();
        if (drive.fault == Fault::NoRegister) {
            return {Deployment::DeviceRefused, std::nullopt};
        }
        const std::vector<std::uint8_t>& extCsd = drive.extCsd;
        const Version& version = versions.at(drive.number);
        const bool onBatteryBelowMinimum = !fleet.power.onAcPower && fleet.power.batteryPercent.value_or(0) <
                                                                         fleet.minimumBattery.value_or(40);
        if (version == TARGET) {
            return {Deployment::Done, std::nullopt};
        }
        if (updatedInBoot == boot) {
            return {Deployment::RestartRequired, std::nullopt};
        }
        if (version != REPLACED) {
            return {Deployment::NotReplaceable, std::nullopt};
        }
        if (extCsd[ExtCsd::EXT_CSD_REV] < 7 || (extCsd[ExtCsd::SUPPORTED_MODES] & 1) == 0 ||
            (extCsd[ExtCsd::FW_CONFIG] & 1) != 0) {
            return {Deployment::DeviceRefused, std::nullopt};
        }
        if (fleet.imageLength % 512 != 0) {
            return {Deployment::PackageRefused, std::nullopt};
        }
        if (onBatteryBelowMinimum) {
            return {Deployment::BatteryLow, std::nullopt};
        }
        if (attempts >= CAP) {
            return {Deployment::AttemptsExhausted, std::nullopt};
        }
        if (fleet.image == Image::ChangedByte) {
            return {Deployment::ImageRefused, std::nullopt};
        }
        if (fleet.image == Image::Longer) {
            return {Deployment::ImageRefused, std::nullopt, false,
                    "quillon-deploy: refused: the image is " +
                        std::to_string(std::uint64_t{fleet.imageLength} + fleet.extraLength) +
                        " bytes long, the manifest says " + std::to_string(fleet.imageLength)};
        }
        if (busyToolRuns < fleet.busyToolRuns) {
            ++busyToolRuns;
            return {Deployment::AnotherRun, std::nullopt, false,
                    "quillon-deploy: not updated: quillon.exe was running already"};
        }
        ++attempts;
        ++sent;
        if (fleet.downloadFails) {
            return {Deployment::ToolFailed, drive.number, false};
        }
        updatedInBoot = boot;
        pending = drive.number;
        return {Deployment::RestartRequired, drive.number, true};
    }

    void Restart() {
        ++boot;
        if (pending && fleet.installsAtRestart) {
            versions[*pending] = TARGET;
        }
        pending.reset();
    }

    // A record that cannot be read counts as an attempt whose end nobody saw; there is one once an install
    // run has made the package's records folder.
    void DamagedRecord() {
        if (installRan) {
            ++attempts;
        }
    }

    // Verify knows a package from the manifest that its last install run kept.
    bool Verify() const {
        const auto named = Named();
        if (!installRan || named.size() > 1 || Unknown()) {
            return false;
        }
        if (named.empty()) {
            return true;
        }
        return (named.front()->fault != Fault::NoRegister && versions.at(named.front()->number) == TARGET) ||
               updatedInBoot == boot;
    }

    // The runs whose tool went past its guard and sent the image.
    unsigned Sent() const { return sent; }

private:
    const FleetCase& fleet;
    std::map<unsigned, Version> versions;
    unsigned boot = 1;
    std::optional<unsigned> updatedInBoot;
    std::optional<unsigned> pending;
    unsigned attempts = 0;
    unsigned sent = 0;
    unsigned busyToolRuns = 0;
    bool installRan = false;
};

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return Hex::Text(bytes.data(), bytes.size());
}

std::string Text(const Version& version) {
    return Hex::Text(version.data(), version.size());
}

// The last lines of the tool's log, by its exit code.
std::string ClosingLine(DWORD exitCode) {
    return exitCode == 0 ? "eMMC::UpdateFirmware - success"
                         : (exitCode == TOOL_ALREADY_RUNNING ? "another quillon.exe is running" : "failed");
}

// The machine, the package and the program's host in a folder of their own.
class FleetMachine {
public:
    explicit FleetMachine(const FleetCase& fleet) : fleet(fleet) {
        const std::string image = PatternBytes(fleet.imageLength, fleet.imageLength);
        std::string description;
        for (const Drive& drive : fleet.drives) {
            description += "[drive " + std::to_string(drive.number) + "]\next_csd = " + Text(drive.extCsd) +
                           "\nbus_type = " + std::to_string(drive.busType) + "\nvendor = \"" + drive.vendor +
                           "\"\nproduct = \"" + drive.product + "\"\nimages = " + Trace::Crc(image) + ":" +
                           (fleet.installsAtRestart ? Text(TARGET) : "fail") + "\n" +
                           (fleet.downloadFails ? "download_error = 1:31\n" : "") + drive.faultLine;
        }
        machine = MachineDescription::Parse(description);
        SimulatedMachine::Install(machine, RequestTrace::InMemory(), StatePath());

        Sha256 hash;
        hash.Update(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
        std::string sent = image;
        if (fleet.image == Image::ChangedByte) {
            sent[sent.size() / 2] ^= 1;
        } else if (fleet.image == Image::Longer) {
            sent += PatternBytes(fleet.extraLength, 7);
        }
        WriteBytes(directory / std::wstring(fleet.imageName.begin(), fleet.imageName.end()), sent);
        std::string devices = "{\"bus_type\": 13, \"vendor\": \"ZELT\", \"product\": \"E64\"";
        if (fleet.manifestAsksDeviceVersion) {
            devices +=
                ", \"ext_csd\": {\"device_version\": " + std::to_string(DEVICE_VERSION_OF_THE_PART) + "}";
        }
        WriteBytes(directory / L"manifest.json",
                   "{\"schema_version\": 1, \"package_id\": \"" + PACKAGE_ID +
                       "\", \"image\": {\"file\": \"" + fleet.imageName +
                       "\", \"length\": " + std::to_string(image.size()) + ", \"sha256\": \"" +
                       Sha256::Hex(hash.Finish()) + "\"}, \"firmware_version\": \"" + Text(TARGET) +
                       "\", \"replaces\": [\"" + Text(REPLACED) + "\"], \"devices\": [" + devices + "}]" +
                       (fleet.minimumBattery
                            ? ", \"minimum_battery_percent\": " + std::to_string(*fleet.minimumBattery)
                            : std::string()) +
                       "}");

        host.machine = L"FLEET-PC";
        host.keptRoot = directory / L"ProgramData\\Quillon";
        host.stateRoot = host.keptRoot + L"\\Deployments";
        host.trusted = TrustedPrincipals::OfThisProcess();
        host.clock = [this] {
            return TimeOfRun(runs++);
        };
        host.boot = [] {
            return std::to_string(SimulatedMachine::Current().Boot());
        };
        host.power = [this] {
            return this->fleet.power;
        };
        // The built tool, where the checks of its place look; its device phase runs in process, the same eMMC
        // object over the same boundary.
        host.tool = BuiltProgram(L"quillon.exe");
        host.runTool = [this](const std::wstring&, unsigned drive, const std::wstring& image,
                              const std::wstring& folder) {
            if (this->fleet.lateRelease) {
                Win32::UniqueHandle held(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
                EXPECT_TRUE(held.IsValid());
                releases.emplace_back([held = std::move(held)]() mutable {
                    Sleep(LATE_RELEASE_MS);
                    held.Reset();
                });
            }
            DWORD exitCode = TOOL_ALREADY_RUNNING;
            if (busyToolRuns < this->fleet.busyToolRuns) {
                ++busyToolRuns;
            } else {
                std::vector<std::uint8_t> bytes;
                bool updated = false;
                if (LoadPackage(image, bytes) == PackageLoad::Loaded) {
                    eMMC device(L"\\\\.\\PhysicalDrive" + std::to_wstring(drive));
                    updated = device.CanUpdateFirmware() && device.UpdateFirmware(bytes);
                }
                exitCode = updated ? 0 : 1;
            }
            WriteBytes(folder + L"\\quillon.log", ClosingLine(exitCode) + "\r\n");
            return Deployment::ToolExit{exitCode, 0};
        };
        host.whileToolGuarded = [](const std::function<void()>& askDrives) {
            askDrives();
            return Deployment::Guarded{true, std::nullopt};
        };
    }

    ~FleetMachine() { Released(); }

    Deployment::Result Install() {
        Deployment::Result result =
            Deployment::Install(host, directory / L"manifest.json", directory / L"logs", std::nullopt);
        Released();
        heldDuringInstall.clear();
        for (auto& [name, handle] : heldLeftovers) {
            heldDuringInstall.push_back(name);
            handle.Reset();
        }
        heldLeftovers.clear();
        return result;
    }
    // The leftovers that were held through the last install, which it could not remove.
    const std::vector<std::wstring>& HeldDuringInstall() const { return heldDuringInstall; }
    Deployment::Result Verify() { return Deployment::Verify(host, PACKAGE_ID); }
    void Restart() {
        MachineState state = MachineState::Load(StatePath(), machine);
        state.Restart(machine);
        state.Save(StatePath());
    }
    MachineState State() const { return MachineState::Load(StatePath(), machine); }

    // A record in the package's records folder, once there is one, that a lost machine left empty or
    // half-written, or that cannot be read.
    void DamageRecord(std::size_t kind) {
        const std::wstring records = PackageFolder() + L"\\records";
        if (!FileExists(records)) {
            return;
        }
        const std::wstring path = records + L"\\damaged-" + std::to_wstring(++damaged) + L".json";
        const std::string text =
            R"({"record_version": 1, "outcome": "attempt under way", "exit_code": null})";
        WriteBytes(path,
                   kind == 0 ? std::string() : text.substr(0, kind == 1 ? text.size() / 2 : text.size()));
        if (kind == 2) {
            unreadable.emplace_back(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
            EXPECT_TRUE(unreadable.back().IsValid());
        }
    }

    // The working folder, with the tool's log and the image's copy, of a run of the next run's second that
    // could not remove it; held, when `held`, until the end of the next install.
    void LeaveFolder(bool held) {
        if (!FileExists(PackageFolder())) {
            return;
        }
        const std::wstring name = DeployRecord::FileStem(host.machine, PACKAGE_ID, TimeOfRun(runs));
        const std::wstring folder = PackageFolder() + L"\\" + name;
        CreateDirectoryW(folder.c_str(), nullptr);
        CreateDirectoryW((folder + L"\\image").c_str(), nullptr);
        WriteBytes(folder + L"\\quillon.log", ClosingLine(0) + "\r\n");
        WriteBytes(folder + L"\\image\\fw.ffu", "image");
        if (held) {
            heldLeftovers.emplace_back(
                name, Win32::UniqueHandle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
            EXPECT_TRUE(heldLeftovers.back().second.IsValid());
        }
    }

    // The folders in the package's state folder besides its records.
    std::vector<std::wstring> Folders() const {
        std::vector<std::wstring> folders;
        for (const FolderEntry& entry : FolderEntries(PackageFolder() + L"\\*")) {
            if (entry.directory && entry.name != L"records") {
                folders.push_back(entry.name);
            }
        }
        return folders;
    }

private:
    std::wstring StatePath() const { return directory / L"state.txt"; }
    std::wstring PackageFolder() const {
        return host.stateRoot + L"\\" + std::wstring(PACKAGE_ID.begin(), PACKAGE_ID.end());
    }

    // A run a minute: every run's files have names of their own.
    static SYSTEMTIME TimeOfRun(unsigned run) {
        SYSTEMTIME time{2026, 12, 2, 8, 0, 0, 0, 0};
        time.wHour = static_cast<WORD>(run / 60);
        time.wMinute = static_cast<WORD>(run % 60);
        return time;
    }

    // Waits for the tool's folders to be let go.
    void Released() {
        for (std::thread& release : releases) {
            release.join();
        }
        releases.clear();
    }

    const FleetCase& fleet;
    TempDirectory directory;
    MachineDescription machine;
    Deployment::Host host;
    unsigned runs = 0;
    unsigned busyToolRuns = 0;
    unsigned damaged = 0;
    std::vector<Win32::UniqueHandle> unreadable;
    std::vector<std::thread> releases;
    std::vector<std::pair<std::wstring, Win32::UniqueHandle>> heldLeftovers;
    std::vector<std::wstring> heldDuringInstall;
};

bool SameDevice(const MachineState::Device& a, const MachineState::Device& b) {
    return a.activeSlot == b.activeSlot && a.pendingSlot == b.pendingSlot &&
           a.firmwareVersion == b.firmwareVersion && a.ffuStatus == b.ffuStatus &&
           a.sectorsProgrammed == b.sectorsProgrammed;
}

void RunCase(std::uint64_t seed) {
    SCOPED_TRACE("case " + std::to_string(seed) + " (--case=" + std::to_string(seed) + ")");
    const FleetCase fleet = FleetCase::FromSeed(seed);
    FleetMachine machine(fleet);
    Oracle oracle(fleet);
    unsigned sent = 0;
    for (std::size_t step = 0; step < fleet.steps.size(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step + 1));
        const MachineState before = machine.State();
        switch (fleet.steps[step]) {
        case Step::Install: {
            const Oracle::Run expected = oracle.Install();
            const Deployment::Result result = machine.Install();
            EXPECT_EQ(result.exitCode, expected.exitCode) << result.message;
            // Only the drive that the oracle names received anything, and only then.
            const MachineState after = machine.State();
            for (const auto& [number, device] : after.drives) {
                const bool changed = !SameDevice(device, before.drives.at(number));
                EXPECT_TRUE(!changed || expected.receiver == number)
                    << "drive " << number << ": " << result.message;
                if (expected.receiver == number && expected.updated) {
                    EXPECT_TRUE(changed && device.pendingSlot != 0xFF) << "drive " << number;
                }
            }
            if (!expected.message.empty()) {
                EXPECT_EQ(result.message, expected.message);
            }
            if (result.record && result.record->toolExitCode) {
                // The kept log is the tool's, whatever the image's name.
                EXPECT_EQ(result.record->toolClosingLine, ClosingLine(*result.record->toolExitCode));
                sent += *result.record->toolExitCode != TOOL_ALREADY_RUNNING ? 1 : 0;
            }
            // No run leaves its working folder, nor lets one of an earlier run stay unless it is held.
            std::vector<std::wstring> held = machine.HeldDuringInstall();
            std::sort(held.begin(), held.end());
            held.erase(std::unique(held.begin(), held.end()), held.end());
            EXPECT_EQ(machine.Folders(), held);
            break;
        }
        case Step::Restart:
            machine.Restart();
            oracle.Restart();
            break;
        case Step::Verify: {
            const Deployment::Result result = machine.Verify();
            const bool installed = oracle.Verify();
            EXPECT_EQ(result.exitCode, installed ? Deployment::Done : Deployment::NotInstalled)
                << result.message;
            EXPECT_EQ(result.message.empty(), !installed);
            // What verify says of a drive after its restart is what the drive runs.
            const auto named = oracle.Named();
            if (result.exitCode == Deployment::Done && named.size() == 1 &&
                before.drives.at(named.front()->number).pendingSlot == 0xFF) {
                EXPECT_EQ(result.exitCode == Deployment::Done,
                          before.drives.at(named.front()->number).firmwareVersion == TARGET);
            }
            break;
        }
        case Step::DamagedRecord:
            machine.DamageRecord(step % 3);
            oracle.DamagedRecord();
            break;
        case Step::Leftover:
            machine.LeaveFolder(step % 2 == 0);
            break;
        }
    }
    EXPECT_LE(sent, CAP);
    EXPECT_EQ(sent, oracle.Sent());
}

std::uint64_t baseSeed = 1;
std::uint64_t caseCount = 400;
std::optional<std::uint64_t> singleCase;

TEST(DeployFleet, EveryRunDoesWhatTheRulesSay) {
    if (singleCase) {
        RunCase(*singleCase);
        return;
    }
    for (std::uint64_t seed = baseSeed; seed < baseSeed + caseCount && !HasFailure(); ++seed) {
        RunCase(seed);
    }
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (const auto value = NumberArgument(argv[i], "--cases=")) {
            caseCount = *value;
        } else if (const auto seed = NumberArgument(argv[i], "--seed=")) {
            baseSeed = *seed;
        } else if (const auto one = NumberArgument(argv[i], "--case=")) {
            singleCase = *one;
        }
    }
    return RUN_ALL_TESTS();
}
