// Every outcome of the device phase on both targets, quillon-sim.exe and the real quillon.exe through the
// stand-in storage driver: the log, the exit code and every request the simulated device received, the same
// byte for byte on both.

#include "sim/device_description.h"
#include "sim/driver/served_description.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <gtest/gtest.h>

#include <functional>

using namespace TestSupport;

namespace {

constexpr std::size_t SEGMENT = 65024;
// Two full segments and a short last one.
constexpr std::size_t THREE_SEGMENTS = 2 * SEGMENT + 1024;
// Both targets serve the device on drive 1: the stand-in driver never serves drive 0.
const std::string DRIVE = "drive = 1\n";

struct Expected {
    std::string log;
    std::vector<std::string> trace;
};

struct Outcome {
    const char* name;
    std::string description;
    std::wstring arguments;
    std::size_t packageLength;
    DWORD exitCode;
    std::function<Expected(const std::string& image)> expected;
};

void PrintTo(const Outcome& param, std::ostream* out) {
    *out << param.name;
}

// An image sent in segments of the given size: its download requests and the progress lines of the log.
struct Segments {
    std::vector<std::string> requests;
    std::string progress;
};

Segments SegmentsOf(std::string_view image, std::size_t segmentSize, int slot) {
    Segments segments;
    std::size_t offset = 0;
    for (;;) {
        const bool last = image.size() - offset <= segmentSize;
        const std::size_t length = last ? image.size() - offset : segmentSize;
        segments.requests.push_back(Trace::Download(image, offset, length, last, slot));
        segments.progress += Progress(static_cast<std::uint32_t>(offset));
        if (last) {
            return segments;
        }
        offset += length;
    }
}

std::vector<std::string> operator+(std::vector<std::string> lines, const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// A run that stops at the eligibility test with the given closing and the given EXT_CSD answer.
Outcome Ineligible(const char* name, const std::string& description, const std::string& closing,
                   const std::string& extCsd = "ok") {
    return {name, DRIVE + description, L"/T:1 /D:fw.ffu", 1024, 1, [=](const std::string&) {
                return Expected{OpenedDevice('1') + closing, {Trace::Open("1"), Trace::ExtCsd(extCsd)}};
            }};
}

// A run that stops after the firmware information query.
Outcome NoUpdate(const char* name, const std::string& description, const std::string& closing,
                 const std::string& query = "ok") {
    return {name, DRIVE + description, L"/T:1 /D:fw.ffu", 1024, 1, [=](const std::string&) {
                return Expected{OpenedDevice('1') + UPDATING + closing,
                                {Trace::Open("1"), Trace::ExtCsd(), Trace::GetInfo(query)}};
            }};
}

// A run whose K-th download request of a package of this length fails as `result` says.
Outcome DownloadFails(const char* name, const std::string& description, std::size_t packageLength,
                      std::size_t failing, const std::string& result, const std::string& closing) {
    return {name, DRIVE + description, L"/T:1 /D:fw.ffu", packageLength, 1, [=](const std::string& image) {
                Expected expected{OpenedDevice('1') + UPDATING + DOWNLOADING,
                                  {Trace::Open("1"), Trace::ExtCsd(), Trace::GetInfo()}};
                for (std::size_t k = 1; k <= failing; ++k) {
                    const std::size_t offset = (k - 1) * SEGMENT;
                    const bool last = image.size() - offset <= SEGMENT;
                    expected.log += Progress(static_cast<std::uint32_t>(offset));
                    expected.trace.push_back(Trace::Download(image, offset,
                                                             last ? image.size() - offset : SEGMENT, last, 1,
                                                             k == failing ? result : "ok"));
                }
                expected.log += closing;
                return expected;
            }};
}

// The device's own failure of the K-th request.
Outcome DeviceFails(const char* name, std::size_t failing, DWORD code, const std::string& closing) {
    return DownloadFails(name,
                         "download_error = " + std::to_string(failing) + ":" + std::to_string(code) + "\n",
                         THREE_SEGMENTS, failing, Trace::Error(code), closing);
}

// A run that downloads the whole image and whose activation answers as given.
Outcome Activated(const char* name, const std::string& description, const std::string& activation,
                  const std::string& closing, DWORD exitCode) {
    return {name,
            DRIVE + description,
            L"/T:1 /D:fw.ffu",
            THREE_SEGMENTS,
            exitCode,
            [=](const std::string& image) {
                const Segments segments = SegmentsOf(image, SEGMENT, 1);
                return Expected{
                    OpenedDevice('1') + UPDATING + DOWNLOADING + segments.progress + closing,
                    std::vector<std::string>{Trace::Open("1"), Trace::ExtCsd(), Trace::GetInfo()} +
                        segments.requests + std::vector<std::string>{Trace::Activate(1, activation)}};
            }};
}

// A run that ends at the drive open with the given last error; the description names its drive.
Outcome OpenFails(const char* name, const std::string& description, DWORD code) {
    return {name, description, L"/T:1 /D:fw.ffu", 1024, 1, [=](const std::string&) {
                return Expected{OpenDeviceError(code), {Trace::Open("1", Trace::Error(code))}};
            }};
}

TEST(SimulatedUpdate, SendsAThreeSegmentPackageToTheBuiltInDevice) {
    TempDirectory directory;
    const std::string image = PatternBytes(THREE_SEGMENTS, 5);
    WriteBytes(directory / L"fw.ffu", image);

    const ToolRun run = RunTool(directory, {L"/T:0 /D:fw.ffu"});

    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.log, "Quillon v1.0.3\r\n"
                       "Copyright (c) 2026 ZELT. All rights reserved.\r\n"
                       "\r\n"
                       "eMMC::eMMC - opened device \\\\.\\PhysicalDrive0\r\n"
                       "eMMC::UpdateFirmware\r\n"
                       "eMMC::UpdateFirmware - downloading firmware...\r\n"
                       "eMMC::UpdateFirmware - downloading offset 0...\r\n"
                       "eMMC::UpdateFirmware - downloading offset 65024...\r\n"
                       "eMMC::UpdateFirmware - downloading offset 130048...\r\n"
                       "eMMC::UpdateFirmware - success\r\n"
                       "Please restart the platform in order to complete the firmware installation.\r\n"
                       "\r\n");
    const std::string_view bytes = image;
    EXPECT_EQ(
        run.trace,
        Trace::File({
            "open \\\\.\\PhysicalDrive0 ok",
            "ext_csd in=0 out=512 ok",
            "get_info version=16 size=16 flags=0 in=16 out=8216 ok",
            "download version=40 size=65056 flags=0 slot=1 offset=0 length=65024 in=65056 out=65056 crc32=" +
                Trace::Crc(bytes.substr(0, 65024)) + " ok",
            "download version=40 size=65056 flags=0 slot=1 offset=65024 length=65024 in=65056 out=65056 "
            "crc32=" +
                Trace::Crc(bytes.substr(65024, 65024)) + " ok",
            "download version=40 size=1056 flags=2 slot=1 offset=130048 length=1024 in=1056 out=1056 crc32=" +
                Trace::Crc(bytes.substr(130048)) + " ok",
            "activate version=16 size=16 flags=0 slot=1 in=16 out=16 ok",
        }));
    EXPECT_EQ(run.console, "");
}

class SimulatedRun : public testing::TestWithParam<std::tuple<Outcome, Target>> {};

TEST_P(SimulatedRun, LogsTracesAndExitsAsTheDeviceAnswers) {
    const auto& [outcome, target] = GetParam();
    const unsigned drive = static_cast<unsigned>(outcome.arguments[3] - L'0');
    // Under Wine as root, drive 0 is the machine's own disk: the real program is never pointed at it.
    const MachineDescription machine = MachineDescription::Parse(outcome.description);
    const std::string notServed =
        drive == 0 ? "the real program never opens drive 0"
        : machine.Drive(drive) == nullptr
            ? "Windows fails the open of a drive that does not exist before a driver sees it"
            : WhyNotServed(machine);
    if (target == Target::Driver && !notServed.empty()) {
        GTEST_SKIP() << "runs on quillon-sim.exe only: " << notServed;
    }
    TempDirectory directory;
    const std::string image = PatternBytes(outcome.packageLength, 3);
    WriteBytes(directory / L"fw.ffu", image);

    ToolLaunch launch{outcome.arguments, outcome.description};
    launch.target = target;
    const ToolRun run = RunTool(directory, launch);

    const Expected expected = outcome.expected(image);
    EXPECT_EQ(run.exitCode, outcome.exitCode);
    EXPECT_EQ(run.log, TextMode(BANNER + expected.log));
    EXPECT_EQ(run.trace, Trace::File(expected.trace));
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.errors, "");
}

std::string RunName(const testing::TestParamInfo<std::tuple<Outcome, Target>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + TargetName(std::get<1>(info.param));
}

const auto BOTH_TARGETS = testing::Values(Target::Simulator, Target::Driver);

INSTANTIATE_TEST_SUITE_P(
    Failures, SimulatedRun,
    testing::Combine(
        testing::Values(
            Ineligible("RevisionBelow7", "ext_csd_rev = 6\n", VERSION_TOO_OLD),
            Ineligible("VendorModeOnly", "supported_modes = 0x02\n", MODE_UNSUPPORTED),
            Ineligible("FfuDisabled", "fw_config = 0x01\n", FFU_DISABLED),
            Ineligible("ExtCsdReadFails", "ext_csd_error = 0x1F\n", GENERAL_FAILURE, Trace::Error(0x1F)),
            NoUpdate("InformationQueryFails", "info_error = 0x1F\n", UNKNOWN_ERROR, Trace::Error(0x1F)),
            NoUpdate("NoUpgradeSupport", "support_upgrade = 0\n", NO_UPGRADE),
            NoUpdate("OnlyReadOnlySlots", "slots = 1 ro, 2 ro\n", NO_FREE_SLOT),
            DeviceFails("DownloadRejected", 2, 0x80030209, BAD_IMAGE),
            DeviceFails("DownloadFails", 3, 0x1F, DOWNLOAD_FAILED),
            Activated("ActivationRejected", "activate_error = 0x80030209\n", Trace::Error(0x80030209),
                      BAD_IMAGE, 1),
            Activated("ActivationFails", "activate_error = 0x1F\n", Trace::Error(0x1F), BAD_SLOT, 1),
            OpenFails("AccessDenied", DRIVE + "open_error = 5\n", ERROR_ACCESS_DENIED),
            OpenFails("OpenFailsWithoutSystemText", DRIVE + "open_error = 0x80030209\n", 0x80030209),
            OpenFails("NoSuchDrive", "drive = 3\n", ERROR_FILE_NOT_FOUND)),
        BOTH_TARGETS),
    RunName);

INSTANTIATE_TEST_SUITE_P(
    Successes, SimulatedRun,
    testing::Combine(
        testing::Values(
            Activated("PowerCycleRequired", "activate_error = 0x00030207\n", Trace::Error(0x00030207),
                      UPDATED_REBOOT_REQUIRED + RESTART, 0),
            // Drive 3, the first writable slot (4), and segments that fit the device's 8192-byte maximum.
            Outcome{"OtherDriveSlotAndSegmentSize",
                    "drive = 3\nslots = 0 ro, 4, 5\nactive_slot = 5\nalignment = 4096\nmax_payload = 8192\n",
                    L"/T:3 /D:fw.ffu", std::size_t{3} * 4096, 0,
                    [](const std::string& image) {
                        const Segments segments = SegmentsOf(image, 4096, 4);
                        return Expected{
                            OpenedDevice('3') + UPDATING + DOWNLOADING + segments.progress + UPDATED +
                                RESTART,
                            std::vector<std::string>{Trace::Open("3"), Trace::ExtCsd(), Trace::GetInfo()} +
                                segments.requests + std::vector<std::string>{Trace::Activate(4)}};
                    }},
            // The last drive that the stand-in driver serves.
            Outcome{"DriveEight", "drive = 8\n", L"/T:8 /D:fw.ffu", 65536, 0,
                    [](const std::string& image) {
                        const Segments segments = SegmentsOf(image, SEGMENT, 1);
                        return Expected{
                            OpenedDevice('8') + UPDATING + DOWNLOADING + segments.progress + UPDATED +
                                RESTART,
                            std::vector<std::string>{Trace::Open("8"), Trace::ExtCsd(), Trace::GetInfo()} +
                                segments.requests + std::vector<std::string>{Trace::Activate(1)}};
                    }}),
        BOTH_TARGETS),
    RunName);

// What Windows' class driver refuses before the device sees it, with the last error that Windows gives.
INSTANTIATE_TEST_SUITE_P(
    WindowsRefuses, SimulatedRun,
    testing::Combine(
        testing::Values(
            NoUpdate("NoSlots", "slots =\n", UNKNOWN_ERROR, Trace::ClassDriverError(ERROR_GEN_FAILURE)),
            NoUpdate("PayloadAboveTransferLength", "max_payload = 131072\nmax_transfer_length = 131071\n",
                     UNKNOWN_ERROR, Trace::ClassDriverError(ERROR_GEN_FAILURE)),
            DownloadFails("UnalignedLastSegment", "", 2 * SEGMENT + 1000, 3,
                          Trace::ClassDriverError(ERROR_INVALID_PARAMETER), DOWNLOAD_FAILED),
            DownloadFails("EmptyPackage", "", 0, 1, Trace::ClassDriverError(ERROR_BAD_LENGTH),
                          DOWNLOAD_FAILED),
            // The segment at 259 times 65024 is the first whose offset the class driver's command cannot
            // carry.
            DownloadFails("OffsetAbove16MiB", "", 259 * SEGMENT + 512, 260,
                          Trace::ClassDriverError(ERROR_INVALID_PARAMETER), DOWNLOAD_FAILED)),
        BOTH_TARGETS),
    RunName);

} // namespace
