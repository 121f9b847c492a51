#include "device/emmc.h"
#include "diag/win32_error.h"
#include "sim/simulated_device.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"
#include "tests/unit/unit_logger.h"

#include <gtest/gtest.h>

#include <utility>

using namespace TestSupport;

namespace {

const std::wstring DRIVE = L"\\\\.\\PhysicalDrive0";

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Each request of the trace as its name, followed by the error it failed with.
std::vector<std::string> Requests(const std::vector<std::string>& trace) {
    std::vector<std::string> requests;
    for (const std::string& line : trace) {
        const auto error = line.rfind(" error ");
        requests.push_back(line.substr(0, line.find(' ')) +
                           (error == std::string::npos ? "" : line.substr(error)));
    }
    return requests;
}

struct Outcome {
    bool result = false;
    std::string log;
    std::vector<std::string> trace;
};

// What the driver does with a device that it opened: ask, and update only after a yes.
Outcome Update(const std::string& description, const std::string& image) {
    SimulatedDevice::Install(DeviceDescription::Parse(description));
    const LogCapture capture;
    Outcome outcome;
    {
        const eMMC device(DRIVE);
        outcome.result = device.CanUpdateFirmware() && device.UpdateFirmware(Bytes(image));
    }
    EXPECT_EQ(SimulatedDevice::Current().OpenDriveCount(), 0u)
        << "the drive handle is closed with the object";
    outcome.log = capture.Text();
    outcome.trace = SimulatedDevice::Current().Trace().Lines();
    return outcome;
}

TEST(eMMCOpen, FailureThrowsTheSystemReasonAndLogsNothing) {
    ASSERT_NE(SystemMessage(2), "");
    ASSERT_NE(SystemMessage(5), "");
    const std::pair<const char*, std::string> cases[] = {
        {"drive = 3", OpenDeviceError(2)},
        {"open_error = 5", OpenDeviceError(5)},
        {"open_error = 0xE0001234",
         "eMMC::eMMC - could not open device: Unknown Windows error No. 3758101044."},
    };
    for (const auto& [description, text] : cases) {
        SCOPED_TRACE(description);
        SimulatedDevice::Install(DeviceDescription::Parse(description));
        const LogCapture capture;
        try {
            eMMC device(DRIVE);
            ADD_FAILURE() << "the drive opened";
        } catch (const Windows::Win32Error& error) {
            EXPECT_EQ(error.what(), text);
        }
        EXPECT_EQ(capture.Text(), "");
        EXPECT_EQ(SimulatedDevice::Current().OpenDriveCount(), 0u);
    }
}

TEST(eMMCOpen, NamesTheOpenedDriveAndClosesItWhenDestroyed) {
    SimulatedDevice::Install({});
    const LogCapture capture;
    {
        // cppcheck-suppress unreadVariable ; the object's lifetime is what this test looks at
        const eMMC device(DRIVE);
        EXPECT_EQ(SimulatedDevice::Current().OpenDriveCount(), 1u);
    }
    EXPECT_EQ(SimulatedDevice::Current().OpenDriveCount(), 0u);
    EXPECT_EQ(capture.Text(), TextMode(OpenedDevice('0')));
}

TEST(eMMCCanUpdateFirmware, JudgesRevisionFfuModeAndUpdateDisable) {
    const struct {
        const char* description;
        std::string message; // empty for a yes
    } cases[] = {
        {"ext_csd_rev = 6", VERSION_TOO_OLD},
        {"ext_csd_rev = 0", VERSION_TOO_OLD},
        {"ext_csd_rev = 7", ""},
        {"ext_csd_rev = 8", ""},
        {"ext_csd_rev = 255", ""},
        {"ext_csd_rev = 5\nsupported_modes = 0\nfw_config = 1", VERSION_TOO_OLD},
        {"ext_csd_rev = 7\nsupported_modes = 0\nfw_config = 1", MODE_UNSUPPORTED},
        {"supported_modes = 0x02", MODE_UNSUPPORTED},
        {"supported_modes = 0xFE", MODE_UNSUPPORTED},
        {"supported_modes = 0x03", ""},
        {"supported_modes = 0xFF", ""},
        {"fw_config = 0xFE", ""},
        {"fw_config = 0x01", FFU_DISABLED},
        {"fw_config = 0xFF", FFU_DISABLED},
        {"ext_csd_error = 5", GENERAL_FAILURE},
        {"ext_csd_error = 0x80030209\next_csd_rev = 6", GENERAL_FAILURE},
        // Bytes the driver leaves unfilled read as zero.
        {"ext_csd_filled = 0", VERSION_TOO_OLD},
        {"ext_csd_filled = 192", VERSION_TOO_OLD},
        {"ext_csd_filled = 193", MODE_UNSUPPORTED},
        {"ext_csd_filled = 256", MODE_UNSUPPORTED},
        {"ext_csd_filled = 493", MODE_UNSUPPORTED},
        {"ext_csd_filled = 494\nfw_config = 1", FFU_DISABLED},
        {"ext_csd_filled = 494", ""},
    };
    for (const auto& [description, message] : cases) {
        SCOPED_TRACE(description);
        SimulatedDevice::Install(DeviceDescription::Parse(description));
        const eMMC device(DRIVE);
        const LogCapture capture;
        // The register is read anew at every call.
        EXPECT_EQ(device.CanUpdateFirmware(), message.empty());
        EXPECT_EQ(device.CanUpdateFirmware(), message.empty());
        EXPECT_EQ(capture.Text(), TextMode(message + message));
        const auto requests = Requests(SimulatedDevice::Current().Trace().Lines());
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[1].substr(0, 7), "ext_csd");
        EXPECT_EQ(requests[2], requests[1]);
    }
}

TEST(eMMCUpdateFirmware, SendsTheImageInSegmentsOfTheReportedSize) {
    const struct {
        std::uint32_t maxPayload;
        std::uint32_t alignment;
        std::uint32_t imageLength;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> segments; // offset and length
    } cases[] = {
        {65536, 512, 0, {{0, 0}}},
        {65536, 512, 1, {{0, 1}}},
        {65536, 512, 65024, {{0, 65024}}},
        {65536, 512, 65025, {{0, 65024}, {65024, 1}}},
        {65536, 512, 130048, {{0, 65024}, {65024, 65024}}},
        {65536, 512, 100000, {{0, 65024}, {65024, 34976}}},
        {65536, 4096, 61441, {{0, 61440}, {61440, 1}}},
        {131072, 512, 65025, {{0, 65024}, {65024, 1}}},
        {8192, 512, 16000, {{0, 7680}, {7680, 7680}, {15360, 640}}},
        {65536, 1, 65505, {{0, 65504}, {65504, 1}}},
    };
    for (const auto& [maxPayload, alignment, imageLength, segments] : cases) {
        SCOPED_TRACE(std::to_string(maxPayload) + " / " + std::to_string(alignment) + ", image " +
                     std::to_string(imageLength));
        const std::string image = PatternBytes(imageLength, maxPayload + imageLength);
        const Outcome outcome = Update("max_payload = " + std::to_string(maxPayload) +
                                           "\nalignment = " + std::to_string(alignment),
                                       image);
        std::string log = OpenedDevice('0') + UPDATING;
        log += DOWNLOADING;
        std::vector<std::string> trace = {Trace::Open("0"), Trace::ExtCsd(), Trace::GetInfo()};
        for (std::size_t i = 0; i < segments.size(); ++i) {
            log += Progress(segments[i].first);
            trace.push_back(
                Trace::Download(image, segments[i].first, segments[i].second, i + 1 == segments.size(), 1));
        }
        trace.push_back(Trace::Activate(1));
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.log, TextMode(log + UPDATED));
        EXPECT_EQ(outcome.trace, trace);
    }
}

TEST(eMMCUpdateFirmware, WritesTheFirstWritableSlotIntoEveryRequest) {
    const std::pair<const char*, std::string> cases[] = {
        {"slots = 0 ro, 1, 2", "1"},         {"slots = 2, 1", "2"}, {"slots = 7 ro, 9, 4", "9"},
        {"slots = 3\nactive_slot = 3", "3"}, {"slots = 0", "0"},
    };
    for (const auto& [description, slot] : cases) {
        SCOPED_TRACE(description);
        const Outcome outcome = Update(description, PatternBytes(70000));
        EXPECT_TRUE(outcome.result);
        ASSERT_EQ(outcome.trace.size(), 6u);
        for (std::size_t i = 3; i < 6; ++i) {
            EXPECT_NE(outcome.trace[i].find(" slot=" + slot + " "), std::string::npos) << outcome.trace[i];
        }
    }
}

TEST(eMMCUpdateFirmware, EndsEveryOutcomeWithOneClosingMessage) {
    // Three segments: 65024, 65024 and 1 bytes.
    const std::string image = PatternBytes(2 * 65024 + 1);
    const std::vector<std::string> three = {"get_info", "download", "download", "download"};
    const auto with = [](std::vector<std::string> requests, const std::string& last) {
        requests.push_back(last);
        return requests;
    };
    const struct {
        const char* description;
        bool result;
        std::vector<std::string> requests; // after the open and the EXT_CSD read
        std::string closing;
    } cases[] = {
        {"", true, with(three, "activate"), UPDATED},
        {"activate_error = 0x00030207", true, with(three, "activate error 0x00030207"),
         UPDATED_REBOOT_REQUIRED},
        {"activate_error = 0x80030209", false, with(three, "activate error 0x80030209"), BAD_IMAGE},
        {"activate_error = 87", false, with(three, "activate error 0x00000057"), BAD_SLOT},
        {"activate_error = 0", false, with(three, "activate error 0x00000000"), BAD_SLOT},
        {"download_error = 1:0x80030209", false, {"get_info", "download error 0x80030209"}, BAD_IMAGE},
        {"download_error = 2:0x00030207",
         false,
         {"get_info", "download", "download error 0x00030207"},
         DOWNLOAD_FAILED},
        {"download_error = 3:5", false,
         with({"get_info", "download", "download"}, "download error 0x00000005"), DOWNLOAD_FAILED},
        {"info_error = 0x00030207", false, {"get_info error 0x00030207"}, UNKNOWN_ERROR},
        {"support_upgrade = 0", false, {"get_info"}, NO_UPGRADE},
        {"slots =", false, {"get_info"}, NO_FREE_SLOT},
        {"slots = 1 ro, 2 ro", false, {"get_info"}, NO_FREE_SLOT},
        {"slots = 255, 2", false, {"get_info"}, NO_FREE_SLOT},
        {"alignment = 0", false, {"get_info"}, UNUSABLE_PAYLOAD},
        {"max_payload = 31", false, {"get_info"}, UNUSABLE_PAYLOAD},
        {"max_payload = 543", false, {"get_info"}, UNUSABLE_PAYLOAD},
    };
    for (const auto& [description, result, requests, closing] : cases) {
        SCOPED_TRACE(description);
        const Outcome outcome = Update(description, image);
        EXPECT_EQ(outcome.result, result);
        std::vector<std::string> expectedRequests = {"open", "ext_csd"};
        expectedRequests.insert(expectedRequests.end(), requests.begin(), requests.end());
        EXPECT_EQ(Requests(outcome.trace), expectedRequests);

        std::string log = OpenedDevice('0') + UPDATING;
        std::uint32_t offset = 0;
        for (std::size_t i = 1; i < requests.size(); ++i, offset += 65024) {
            if (requests[i].substr(0, 8) == "download") {
                log += (offset == 0 ? DOWNLOADING : "") + Progress(offset);
            }
        }
        EXPECT_EQ(outcome.log, TextMode(log + closing));
    }
}

} // namespace
