// The deployment program's decision, in its order, on simulated machines with the register of a real part:
// each row differs from an updatable machine in the one fact that its outcome turns on.

#include "deploy/deploy_decision.h"
#include "device/drive_discovery.h"
#include "device/ext_csd.h"
#include "sim/simulated_machine.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

namespace {

using Outcome = DeployDecision::Outcome;

const std::string RUNNING = "3536323330613137";
const std::string TARGET = "3536323330613138";

std::string Manifest(std::uint32_t imageLength, unsigned battery) {
    return R"({"schema_version": 1, "package_id": "sandisk-da4064-56230a18",
      "image": {"file": "fw.ffu", "length": )" +
           std::to_string(imageLength) + R"(,
                "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      "firmware_version": ")" +
           TARGET + R"(", "replaces": [")" + RUNNING + R"("],
      "devices": [{"bus_type": 13, "product": "DA4064"}],
      "minimum_battery_percent": )" +
           std::to_string(battery) + "}";
}

// The SanDisk part's register with its FIRMWARE_VERSION and FW_CONFIG replaced.
std::string Emmc(const std::string& version = RUNNING, bool updateDisabled = false) {
    std::string hex = TestSupport::RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro");
    hex.replace(2 * ExtCsd::FIRMWARE_VERSION, 2 * ExtCsd::FIRMWARE_VERSION_LENGTH, version);
    hex.replace(2 * ExtCsd::FW_CONFIG, 2, updateDisabled ? "01" : "00");
    return "bus_type = 13\nproduct = DA4064\next_csd = " + hex + "\n";
}

struct Row {
    const char* name;
    std::string machine;
    Outcome outcome;
    std::optional<unsigned> drive;
    std::uint32_t imageLength = 150016;
    // What the records and the power supply say.
    std::uint32_t attempts = 0;
    bool installedThisBoot = false;
    bool onAcPower = true;
    std::optional<unsigned> battery = std::nullopt;
};

TEST(DeployDecision, TakesTheFirstRuleThatApplies) {
    const std::string nvme =
        "[drive 0]\nbus_type = 0x11\nproduct = NVMe\next_csd_error = 1\ninfo_error = 1\n";
    const Row rows[] = {
        {"updatable", nvme + "[drive 1]\n" + Emmc(), Outcome::Install, 1},
        {"no such part", nvme + "[drive 1]\n" + Emmc().replace(Emmc().find("DA4064"), 6, "DA4032"),
         Outcome::NotApplicable, std::nullopt},
        {"two such parts", "[drive 1]\n" + Emmc() + "[drive 2]\n" + Emmc(), Outcome::Ambiguous, std::nullopt},
        {"two such parts and a busy drive",
         "[drive 0]\nopen_error = 32\n[drive 1]\n" + Emmc() + "[drive 2]\n" + Emmc(), Outcome::Ambiguous,
         std::nullopt},
        {"a drive held by another program", "[drive 1]\n" + Emmc() + "[drive 3]\nopen_error = 32\n",
         Outcome::Unknown, 3},
        {"a drive without its identity",
         nvme + "[drive 1]\n" + Emmc() + "[drive 2]\ndevice_property_error = 1\n", Outcome::Unknown, 2},
        {"a drive that has gone", "[drive 1]\n" + Emmc() + "[drive 3]\nopen_error = 3\n", Outcome::Install,
         1},
        {"already current", "[drive 1]\n" + Emmc(TARGET), Outcome::AlreadyCurrent, 1, 150016, 3, true, false},
        {"pending", "[drive 1]\n" + Emmc(), Outcome::PendingRestart, 1, 150016, 1, true},
        {"an older version", "[drive 1]\n" + Emmc("3536323330613136"), Outcome::NotReplaceable, 1},
        {"updates disabled", "[drive 1]\n" + Emmc(RUNNING, true), Outcome::DeviceRefused, 1},
        {"register unreadable", "[drive 1]\nbus_type = 13\nproduct = DA4064\next_csd_error = 1\n",
         Outcome::DeviceRefused, 1},
        {"unaligned image", "[drive 1]\n" + Emmc(), Outcome::PackageRefused, 1, 150000},
        {"battery low", "[drive 1]\n" + Emmc(), Outcome::BatteryLow, 1, 150016, 0, false, false, 39},
        {"battery unknown", "[drive 1]\n" + Emmc(), Outcome::BatteryLow, 1, 150016, 0, false, false},
        {"battery enough", "[drive 1]\n" + Emmc(), Outcome::Install, 1, 150016, 2, false, false, 40},
        {"attempts used up", "[drive 1]\n" + Emmc(), Outcome::AttemptsExhausted, 1, 150016, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimulatedMachine::Install(MachineDescription::Parse(row.machine));
        DeploySituation situation;
        situation.drives = DiscoverDrives();
        situation.attempts = row.attempts;
        situation.boot = "7";
        situation.installedInBoot = row.installedThisBoot ? "7" : "6";
        situation.onAcPower = row.onAcPower;
        situation.batteryPercent = row.battery;
        const DeployDecision decision = DeployDecision::Decide(
            PackageManifest::Parse(Manifest(row.imageLength, 40), L"C:\\rollout\\m.json"), situation);
        EXPECT_EQ(decision.outcome, row.outcome);
        // An unknown outcome names the drive that cannot be read, and chooses none.
        EXPECT_EQ(row.outcome == Outcome::Unknown ? decision.unreadable : decision.drive, row.drive);
        EXPECT_FALSE(row.outcome == Outcome::Unknown && decision.drive);
    }
}

} // namespace
