#include "device/emmc.h"
#include "diag/win32_error.h"
#include "sim/simulated_machine.h"
#include "tests/support/files.h"
#include "tests/support/tool_texts.h"
#include "tests/unit/unit_logger.h"

#include <gtest/gtest.h>

#include <utility>

using namespace TestSupport;

namespace {

const std::wstring DRIVE = L"\\\\.\\PhysicalDrive0";

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
        SimulatedMachine::Install(DeviceDescription::Parse(description));
        const LogCapture capture;
        try {
            eMMC device(DRIVE);
            ADD_FAILURE() << "the drive opened";
        } catch (const Windows::Win32Error& error) {
            EXPECT_EQ(error.what(), text);
        }
        EXPECT_EQ(capture.Text(), "");
        EXPECT_EQ(SimulatedMachine::Current().OpenDriveCount(), 0u);
    }
}

TEST(eMMCOpen, NamesTheOpenedDriveAndClosesItWhenDestroyed) {
    SimulatedMachine::Install(DeviceDescription{});
    const LogCapture capture;
    {
        // cppcheck-suppress unreadVariable ; the object's lifetime is what this test looks at
        const eMMC device(DRIVE);
        EXPECT_EQ(SimulatedMachine::Current().OpenDriveCount(), 1u);
    }
    EXPECT_EQ(SimulatedMachine::Current().OpenDriveCount(), 0u);
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
        SimulatedMachine::Install(DeviceDescription::Parse(description));
        const eMMC device(DRIVE);
        const LogCapture capture;
        // The register is read anew at every call.
        EXPECT_EQ(device.CanUpdateFirmware(), message.empty());
        EXPECT_EQ(device.CanUpdateFirmware(), message.empty());
        EXPECT_EQ(capture.Text(), TextMode(message + message));
        const auto requests = Requests(SimulatedMachine::Current().Trace().Lines());
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[1].substr(0, 7), "ext_csd");
        EXPECT_EQ(requests[2], requests[1]);
    }
}

} // namespace
