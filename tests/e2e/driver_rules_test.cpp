// The stand-in storage driver itself, asked directly by this test through Windows on drive 1 (never on
// drive 0): the last errors it gives, the descriptions it refuses, and what it checks that only a driver
// sees of a caller's requests.

#include "device/storage_firmware.h"
#include "sim/driver/last_error_status.h"
#include "tests/support/driver_parameters.h"
#include "tests/support/files.h"
#include "tests/support/polling.h"
#include "tests/support/text_conversion.h"
#include "tests/support/trace_lines.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <optional>
#include <vector>

using namespace TestSupport;

namespace {

const wchar_t DRIVE_PATH[] = L"\\\\.\\PhysicalDrive1";
constexpr DWORD IOCTL_EMMC_READ_EXT_CSD = 0x00071E94;
// The drive open of the tool.
constexpr DWORD TOOL_ACCESS = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD TOOL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD TOOL_FLAGS = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING;

struct Answer {
    DWORD error;
    DWORD returned;
};

// One run of the driver: a description, one handle of drive 1 opened as given, and the trace it leaves.
class DriverRun {
public:
    explicit DriverRun(const std::string& description, DWORD access = TOOL_ACCESS,
                       DWORD sharing = TOOL_SHARING, DWORD flags = TOOL_FLAGS) {
        WriteBytes(directory / L"device.txt", description);
        parameters.emplace(directory / L"device.txt", directory / L"trace.txt");
        drive = Win32::UniqueHandle(
            CreateFileW(DRIVE_PATH, access, sharing, nullptr, OPEN_EXISTING, flags, nullptr));
        // Wine completes the open before the driver has seen it; the driver creates the trace when it does.
        EXPECT_TRUE(PollUntil([&] { return FileExists(directory / L"trace.txt"); }))
            << "the stand-in driver created no trace";
    }

    bool IsOpen() const { return drive.IsValid(); }

    // One buffered control with its own input and output buffers; the error is ERROR_SUCCESS when it
    // succeeds.
    Answer Control(DWORD code, std::vector<std::uint8_t> input, std::vector<std::uint8_t>& output) {
        DWORD returned = 0;
        SetLastError(ERROR_SUCCESS);
        const BOOL ok = DeviceIoControl(
            drive.Get(), code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
            output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()), &returned, nullptr);
        return {ok ? ERROR_SUCCESS : GetLastError(), returned};
    }

    Answer ReadExtCsd(std::vector<std::uint8_t>& extCsd) {
        return Control(IOCTL_EMMC_READ_EXT_CSD, {}, extCsd);
    }

    // Ends the run and gives its trace, with the open flags that Wine passed on left out.
    std::string Trace() {
        drive.Reset();
        WaitForDriverTrace(directory / L"trace.txt");
        std::string trace = ReadBytes(directory / L"trace.txt");
        const std::size_t options = trace.find("options=0x");
        if (options != std::string::npos) {
            trace.replace(options + 8, 10, "*");
        }
        return trace;
    }

    std::wstring DescriptionPath() const { return directory / L"device.txt"; }

private:
    TempDirectory directory;
    std::optional<DriverParameters> parameters;
    Win32::UniqueHandle drive;
};

std::vector<std::uint8_t> Bytes(std::size_t length, std::uint8_t value = 0) {
    return std::vector<std::uint8_t>(length, value);
}

TEST(StandInDriver, GivesEveryLastErrorItPromises) {
    // The firmware codes, the power-cycle warning, Win32 codes up to 0xFFFF, and customer codes.
    const DWORD codes[] = {0x80030209, 0x80030208, 0x00030207, 2,          5,         31,
                           87,         1117,       0xFFFF,     0xE0001234, 0xFFFFFFFF};
    for (const DWORD code : codes) {
        SCOPED_TRACE(Trace::Error(code));
        ASSERT_TRUE(StatusForLastError(code));
        DriverRun run("drive = 1\next_csd_error = " + std::to_string(code) + "\n");
        ASSERT_TRUE(run.IsOpen());
        std::vector<std::uint8_t> extCsd = Bytes(512);
        EXPECT_EQ(run.ReadExtCsd(extCsd).error, code);
        EXPECT_EQ(run.Trace(), Trace::File({Trace::Open("1"), Trace::ExtCsd(Trace::Error(code))}));
    }
}

TEST(StandInDriver, ReturnsOnlyTheBytesTheDeviceFilled) {
    DriverRun run("drive = 1\next_csd_rev = 7\next_csd_filled = 193\n");
    std::vector<std::uint8_t> extCsd = Bytes(512, 0xAA);
    const Answer answer = run.ReadExtCsd(extCsd);
    EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(answer.returned, 193u);
    EXPECT_EQ(extCsd[191], 0);
    EXPECT_EQ(extCsd[192], 7);
    EXPECT_EQ(extCsd[193], 0xAA);
    EXPECT_EQ(extCsd[511], 0xAA);
    EXPECT_EQ(run.Trace(), Trace::File({Trace::Open("1"), Trace::ExtCsd()}));
}

// A description the driver cannot answer exactly is refused at the open, in the trace; the handle's first
// control then fails with ERROR_BAD_CONFIGURATION, as every control does while the driver has no device.
TEST(StandInDriver, RefusesADescriptionItCannotAnswer) {
    const std::pair<std::string, std::string> refusals[] = {
        {"drive = 1\nactivate_error = 0x12345678\n",
         "activate_error 0x12345678: no driver status gives this error code"},
        {"drive = 1\ndownload_error = 2:0\n",
         "download_error 0x00000000: no driver status gives this error code"},
        {"drive = 1\ninfo_error = 0x80070005\n",
         "info_error 0x80070005: no driver status gives this error code"},
        {"drive = 1\nopen_error = 5\n", "open_error: the stand-in driver cannot fail a drive open"},
        {"drive = 0\n", "drive 0 is the machine's own disk; the stand-in driver serves drives 1 to 8"},
        {"drive = 2\n",
         "it describes drive 2, and drive 1 was opened; the stand-in driver cannot fail a drive open"},
    };
    for (const auto& [description, problem] : refusals) {
        SCOPED_TRACE(description);
        DriverRun run(description);
        std::vector<std::uint8_t> extCsd = Bytes(512);
        EXPECT_EQ(run.ReadExtCsd(extCsd).error, static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
        EXPECT_EQ(run.Trace(),
                  "refused: device description '" + Narrow(run.DescriptionPath()) + "': " + problem + "\n");
    }
    DriverRun mistake("drive = 1\ncolour = blue\n");
    std::vector<std::uint8_t> extCsd = Bytes(512);
    EXPECT_EQ(mistake.ReadExtCsd(extCsd).error, static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
    EXPECT_EQ(mistake.Trace(), "refused: device description '" + Narrow(mistake.DescriptionPath()) +
                                   "', line 2: unknown key 'colour'\n");
}

// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): the fields follow the table's columns
struct Violation {
    const char* name;
    DWORD access;
    DWORD sharing;
    DWORD flags;
    // The control sent on the handle, if any, and the last error it must fail with.
    std::optional<DWORD> code;
    std::size_t inputLength;
    std::size_t outputLength;
    DWORD error;
    std::vector<std::string> trace;
};

const std::string REFUSED_OPEN_READ_WRITE =
    "open \\\\.\\PhysicalDrive1 options=* share=0x00000003 error 0x00000057";

// Requests the device model never sees as they were made. Wine shows the driver the open flags (as create
// options) and the share mode but not the requested access, which it enforces itself for the controls that
// need write access.
TEST(StandInDriver, RefusesWhatOnlyADriverSees) {
    const Violation violations[] = {
        {"buffered open",
         TOOL_ACCESS,
         TOOL_SHARING,
         0,
         IOCTL_EMMC_READ_EXT_CSD,
         0,
         512,
         ERROR_INVALID_HANDLE,
         {REFUSED_OPEN_READ_WRITE, "ext_csd in=0 out=512 error 0x00000006"}},
        {"open without write-through",
         TOOL_ACCESS,
         TOOL_SHARING,
         FILE_FLAG_NO_BUFFERING,
         std::nullopt,
         0,
         0,
         0,
         {REFUSED_OPEN_READ_WRITE}},
        {"overlapped open",
         TOOL_ACCESS,
         TOOL_SHARING,
         TOOL_FLAGS | FILE_FLAG_OVERLAPPED,
         std::nullopt,
         0,
         0,
         0,
         {REFUSED_OPEN_READ_WRITE}},
        {"open not shared for writing",
         TOOL_ACCESS,
         FILE_SHARE_READ,
         TOOL_FLAGS,
         std::nullopt,
         0,
         0,
         0,
         {"open \\\\.\\PhysicalDrive1 options=* share=0x00000001 error 0x00000057"}},
        {"unknown control",
         TOOL_ACCESS,
         TOOL_SHARING,
         TOOL_FLAGS,
         IOCTL_DISK_GET_DRIVE_GEOMETRY,
         0,
         24,
         ERROR_INVALID_PARAMETER,
         {Trace::Open("1"), "control code=0x00070000 in=0 out=24 error 0x00000057"}},
        {"register read with input",
         TOOL_ACCESS,
         TOOL_SHARING,
         TOOL_FLAGS,
         IOCTL_EMMC_READ_EXT_CSD,
         16,
         512,
         ERROR_INVALID_PARAMETER,
         {Trace::Open("1"), "ext_csd in=16 out=512 error 0x00000057"}},
        {"register read short",
         TOOL_ACCESS,
         TOOL_SHARING,
         TOOL_FLAGS,
         IOCTL_EMMC_READ_EXT_CSD,
         0,
         511,
         ERROR_INVALID_PARAMETER,
         {Trace::Open("1"), "ext_csd in=0 out=511 error 0x00000057"}},
        {"download on a read-only handle",
         GENERIC_READ,
         TOOL_SHARING,
         TOOL_FLAGS,
         IOCTL_STORAGE_FIRMWARE_DOWNLOAD,
         1056,
         1056,
         ERROR_ACCESS_DENIED,
         {Trace::Open("1")}},
    };
    for (const Violation& violation : violations) {
        SCOPED_TRACE(violation.name);
        DriverRun run("drive = 1\n", violation.access, violation.sharing, violation.flags);
        ASSERT_TRUE(run.IsOpen());
        if (violation.code) {
            std::vector<std::uint8_t> output = Bytes(violation.outputLength);
            EXPECT_EQ(run.Control(*violation.code, Bytes(violation.inputLength), output).error,
                      violation.error);
        }
        EXPECT_EQ(run.Trace(), Trace::File(violation.trace));
    }
}

} // namespace
