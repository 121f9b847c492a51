// The simulated machine across runs, on both targets: quillon.exe updates a drive of a machine with several
// drives, the probe sees the activation pending and the old firmware running, quillon-sim-restart.exe
// restarts the machine, and the probe then sees what the image installs, or the failed install.

#include "cli/hex.h"
#include "cli/sha256.h"
#include "deploy/package_manifest.h"
#include "diag/log_file.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <tuple>

using namespace TestSupport;
using Json = nlohmann::json;

namespace {

// 293 units of 512 bytes: three download requests.
constexpr std::size_t PACKAGE_LENGTH = 150016;
// The versions as the register's eight bytes: the SanDisk part's own ("56230a17"), and the one of its
// next release ("56230a18").
const std::string RUNNING = "3536323330613137";
const std::string RELEASED = "3536323330613138";
const std::string SAMSUNG = "0600000000000000";
const std::string TARGET = RELEASED;
// The slot's revision as the part reports it: its version, then 8 bytes that the install clears.
const std::string REVISION = RUNNING + "0102030405060708";

PackageManifest::FirmwareVersion Version(const std::string& hex) {
    PackageManifest::FirmwareVersion version{};
    const auto bytes = *Hex::Bytes(hex);
    std::copy(bytes.begin(), bytes.end(), version.begin());
    return version;
}

struct Restart {
    const char* name;
    // What the description says of the package's image, with its CRC-32 before it; nothing when unknown.
    const char* image;
    bool installs;
};

void PrintTo(const Restart& restart, std::ostream* out) {
    *out << restart.name;
}

class MachineAcrossRuns : public testing::TestWithParam<std::tuple<Restart, Target>> {};

Json Probe(const TempDirectory& directory, Target target, char drive) {
    ToolLaunch launch{std::wstring(L"/T:") + wchar_t(drive) + L" /J", ReadBytes(directory / L"device.txt")};
    launch.program = BuiltProgram(L"quillon-probe-sim.exe");
    launch.target = target;
    launch.keepsState = true;
    const ToolRun run = RunTool(directory, launch);
    EXPECT_EQ(run.errors, "");
    return Json::parse(run.console);
}

// The fields of the report that a restart changes, and the slot revision.
Json Firmware(const Json& report) {
    return {report["ext_csd"]["firmware_version"],
            report["ext_csd"]["ffu_status"],
            report["ext_csd"]["number_of_fw_sectors_correctly_programmed"],
            report["firmware_info"]["active_slot"],
            report["firmware_info"]["pending_activate_slot"],
            report["firmware_info"]["slots"][0]["revision"]};
}

Json Firmware(const std::string& version, int ffuStatus, int sectors, int pendingSlot,
              const std::string& revision) {
    return {version, ffuStatus, sectors, 1, pendingSlot, revision};
}

TEST_P(MachineAcrossRuns, RunsTheImageAfterTheRestartOrTheOldFirmware) {
    const auto& [restart, target] = GetParam();
    TempDirectory directory;
    const std::string image = PatternBytes(PACKAGE_LENGTH, 7);
    WriteBytes(directory / L"fw.ffu", image);
    const std::string images =
        restart.image == nullptr ? "" : "images = " + Trace::Crc(image) + ":" + restart.image + "\n";
    const std::string description =
        "[drive 1]\next_csd = " + RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro") +
        "\nslots = 1 rev:" + REVISION + "\n" + images +
        "[drive 2]\next_csd = " + RealExtCsd(L"samsung-8g-emmc51-uboot") + "\nslots = 1 rev:" + SAMSUNG +
        "\n";
    ToolLaunch update{L"/T:1 /D:fw.ffu", description};
    update.target = target;
    update.keepsState = true;
    const ToolRun run = RunTool(directory, update);
    ASSERT_EQ(run.exitCode, 0u) << run.log;

    // Taken and activated: pending until the restart, the old firmware still running.
    const int sectors = PACKAGE_LENGTH / 512;
    EXPECT_EQ(Firmware(Probe(directory, target, '1')), Firmware(RUNNING, 0, sectors, 1, REVISION));

    const std::string restarted = RestartMachine(directory);
    const Json after = Firmware(Probe(directory, target, '1'));
    if (restart.installs) {
        EXPECT_EQ(restarted,
                  TextMode("quillon-sim-restart: the machine restarted, boot 2\ndrive 1: installed, runs " +
                           RELEASED + " in slot 1\n"));
        EXPECT_EQ(after, Firmware(RELEASED, 0, sectors, 255, RELEASED + std::string(16, '0')));
    } else {
        EXPECT_EQ(restarted,
                  TextMode("quillon-sim-restart: the machine restarted, boot 2\ndrive 1: the install failed "
                           "(FFU_STATUS 0x11), still runs " +
                           RUNNING + "\n"));
        EXPECT_EQ(after, Firmware(RUNNING, 0x11, sectors, 255, REVISION));
    }
    // The other drive of the machine was neither updated nor changed by the restart.
    EXPECT_EQ(Firmware(Probe(directory, target, '2')),
              Firmware(SAMSUNG, 0, 0, 255, SAMSUNG + std::string(16, '0')));
    // Nothing is pending any more: a second restart changes nothing but the boot.
    EXPECT_EQ(RestartMachine(directory), TextMode("quillon-sim-restart: the machine restarted, boot 3\n"));
}

INSTANTIATE_TEST_SUITE_P(Restarts, MachineAcrossRuns,
                         testing::Combine(testing::Values(Restart{"Installs", "3536323330613138", true},
                                                          Restart{"MarkedToFail", "fail", false},
                                                          Restart{"Unknown", nullptr, false}),
                                          testing::Values(Target::Simulator, Target::Driver)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    TargetName(std::get<1>(info.param));
                         });

} // namespace

namespace {

// What discovery must find on one drive: absent (the open fails with error 2), or its bus type and
// product, the firmware version when EXT_CSD reads, whether it is an eMMC candidate and would be updated.
struct Found {
    unsigned number;
    std::uint32_t busType;
    const char* product;
    std::string firmwareVersion; // empty when EXT_CSD does not read
    bool candidate;
    bool wouldUpdate;
};

struct Discovery {
    const char* name;
    std::string description;
    // The drives that the machine has; every other one must be absent.
    std::vector<Found> found;
    const char* summary;
};

void PrintTo(const Discovery& discovery, std::ostream* out) {
    *out << discovery.name;
}

// The fields of a discovered drive that the table gives.
Json Row(const Json& drive) {
    const bool absent = !drive["open_error"].is_null();
    return {drive["number"],
            absent ? Json(drive["open_error"]["code"]) : Json(nullptr),
            absent ? Json(nullptr) : drive["identity"]["bus_type"],
            absent ? Json(nullptr) : drive["identity"]["product"],
            drive["ext_csd_read"],
            drive["firmware_version"],
            drive["emmc_candidate"],
            drive["verdict"]["would_update"]};
}

Json Row(unsigned number, const std::vector<Found>& found) {
    for (const Found& drive : found) {
        if (drive.number == number) {
            return {number,
                    nullptr,
                    drive.busType,
                    drive.product,
                    !drive.firmwareVersion.empty(),
                    drive.firmwareVersion.empty() ? Json(nullptr) : Json(drive.firmwareVersion),
                    drive.candidate,
                    drive.wouldUpdate};
        }
    }
    return {number, ERROR_FILE_NOT_FOUND, nullptr, nullptr, false, nullptr, false, false};
}

const std::string NVME = "bus_type = 0x11\nproduct = \"NVMe SSD\"\next_csd_error = 1\ninfo_error = 1\n";
const std::string SD_CARD = "bus_type = 0x0C\nproduct = \"SD card\"\next_csd_error = 1\ninfo_error = 50\n";

class Discovers : public testing::TestWithParam<std::tuple<Discovery, Target>> {};

TEST_P(Discovers, EveryDriveWithReadRequestsOnlyAndMarksTheEmmc) {
    const auto& [discovery, target] = GetParam();
    TempDirectory directory;
    ToolLaunch launch{L"/T:* /J", discovery.description};
    launch.program = BuiltProgram(L"quillon-probe-sim.exe");
    launch.target = target;
    const ToolRun json = RunTool(directory, launch);
    const Json report = Json::parse(json.console);
    ASSERT_EQ(report["drives"].size(), 10u);
    Json candidates = Json::array();
    for (unsigned number = 0; number < 10; ++number) {
        SCOPED_TRACE(number);
        EXPECT_EQ(Row(report["drives"][number]), Row(number, discovery.found));
    }
    for (const Found& drive : discovery.found) {
        if (drive.candidate) {
            candidates.push_back(drive.number);
        }
    }
    EXPECT_EQ(report["emmc_candidates"], candidates);
    const bool updatable =
        std::any_of(discovery.found.begin(), discovery.found.end(),
                    [](const Found& drive) { return drive.candidate && drive.wouldUpdate; });
    EXPECT_EQ(json.exitCode, updatable ? 0u : 1u);
    EXPECT_EQ(json.errors, "");
    // Read requests only, and only on the machine's drives: a drive that does not exist never reaches it.
    std::istringstream trace(json.trace);
    for (std::string line; std::getline(trace, line);) {
        EXPECT_TRUE(line.rfind("open ", 0) == 0 || line.rfind("property ", 0) == 0 ||
                    line.rfind("ext_csd ", 0) == 0 || line.rfind("get_info ", 0) == 0)
            << line;
    }

    launch.arguments = L"/T:*";
    const ToolRun text = RunTool(directory, launch);
    EXPECT_EQ(text.exitCode, json.exitCode);
    EXPECT_NE(text.console.find(TextMode(discovery.summary)), std::string::npos) << text.console;
}

INSTANTIATE_TEST_SUITE_P(
    Machines, Discovers,
    testing::Combine(
        testing::Values(Discovery{"EmmcAlone",
                                  "drive = 1\nproduct = DA4064\next_csd = " +
                                      RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro") + "\n",
                                  {{1, 0x0D, "DA4064", RUNNING, true, true}},
                                  "eMMC candidates:                                      drive 1\n"},
                        Discovery{"NvmeEmmcSdCard",
                                  "[drive 0]\n" + NVME + "[drive 1]\nproduct = 8GTF4R\next_csd = " +
                                      RealExtCsd(L"samsung-8g-emmc51-uboot") + "\n[drive 2]\n" + SD_CARD,
                                  {{0, 0x11, "NVMe SSD", "", false, false},
                                   {1, 0x0D, "8GTF4R", SAMSUNG, true, true},
                                   {2, 0x0C, "SD card", "", false, false}},
                                  "eMMC candidates:                                      drive 1\n"},
                        Discovery{
                            "NoEmmc",
                            "[drive 0]\n" + NVME +
                                "[drive 3]\nbus_type = 7\nproduct = \"USB disk\"\next_csd_error = 1\n",
                            {{0, 0x11, "NVMe SSD", "", false, false}, {3, 7, "USB disk", "", false, false}},
                            "eMMC candidates:                                      none\n"}),
        testing::Values(Target::Simulator, Target::Driver)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + TargetName(std::get<1>(info.param));
    });

} // namespace

namespace {

class DraftsAManifest : public testing::TestWithParam<Target> {};

// The draft of a pilot machine's eMMC reads back as a manifest for that very device and package once the
// operator has written in the version the image installs, and not before.
TEST_P(DraftsAManifest, ThatNamesTheProbedDeviceAndPackage) {
    TempDirectory directory;
    const std::string image = PatternBytes(PACKAGE_LENGTH, 11);
    WriteBytes(directory / L"fw 56230a18 (x86).ffu", image);
    ToolLaunch launch{
        L"/T:1 \"/D:fw 56230a18 (x86).ffu\" /M:draft.json",
        "drive = 1\nbus_type = 13\nvendor = \"  \"\nproduct = \"DA4064  \"\nproduct_revision = " + RUNNING +
            "\next_csd = " + RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro") + "\n"};
    launch.program = BuiltProgram(L"quillon-probe-sim.exe");
    launch.target = GetParam();
    const ToolRun run = RunTool(directory, launch);
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    const std::wstring path = directory / L"draft.json";
    const std::string draft = ReadBytes(path);
    try {
        PackageManifest::Parse(draft, path);
        ADD_FAILURE() << "a draft without the target version was read";
    } catch (const PackageManifest::Refused& refusal) {
        EXPECT_EQ(std::string(refusal.what()).find(": /firmware_version: "), NarrowText(path).size());
    }
    const std::string placeholder =
        "the 16 hexadecimal digits of the FIRMWARE_VERSION that the image installs";
    std::string edited = draft;
    edited.replace(edited.find(placeholder), placeholder.size(), TARGET);
    const PackageManifest manifest = PackageManifest::Parse(edited, path);
    EXPECT_EQ(manifest.PackageId(), "fw-56230a18--x86");
    EXPECT_EQ(manifest.ImageLength(), PACKAGE_LENGTH);
    Sha256 hash;
    hash.Update(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
    EXPECT_EQ(manifest.ImageSha256(), hash.Finish());
    EXPECT_TRUE(manifest.MayReplace(Version(RUNNING)));
    const std::vector<std::uint8_t> extCsd =
        *Hex::Bytes(RealExtCsd(L"sandisk-da4064-64g-emmc51-pinebook-pro"));
    EXPECT_EQ(manifest.Names({0x0D, "", "DA4064", RUNNING}, extCsd), PackageManifest::Naming::Yes);
    // A part of another product, or with another DEVICE_VERSION, is not the one the draft was made of.
    EXPECT_EQ(manifest.Names({0x0D, "", "DA4032", RUNNING}, extCsd), PackageManifest::Naming::No);
    std::vector<std::uint8_t> otherRevision = extCsd;
    ++otherRevision[262];
    EXPECT_EQ(manifest.Names({0x0D, "", "DA4064", RUNNING}, otherRevision), PackageManifest::Naming::No);
}

INSTANTIATE_TEST_SUITE_P(Targets, DraftsAManifest, testing::Values(Target::Simulator, Target::Driver),
                         [](const auto& info) { return TargetName(info.param); });

} // namespace
