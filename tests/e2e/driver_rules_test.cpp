// The stand-in storage driver itself, asked directly by this test through Windows on drive 1 (never on
// drive 0): the last errors it gives, the descriptions it refuses, and what it checks that only a driver
// sees of a caller's requests.

#include "device/storage_firmware.h"
#include "sim/driver/last_error_status.h"
#include "sim/simulated_device.h"
#include "tests/support/driver_parameters.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/trace_lines.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
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
        EXPECT_TRUE(FileExists(directory / L"trace.txt")) << "the stand-in driver began no session";
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
        {"[drive 1]\n[drive 2]\nopen_error = 5\n",
         "drive 2: open_error: the stand-in driver cannot fail a drive open"},
    };
    for (const auto& [description, problem] : refusals) {
        SCOPED_TRACE(description);
        DriverRun run(description);
        std::vector<std::uint8_t> extCsd = Bytes(512);
        EXPECT_EQ(run.ReadExtCsd(extCsd).error, static_cast<DWORD>(ERROR_BAD_CONFIGURATION));
        EXPECT_EQ(run.Trace(),
                  "refused: device description '" + Narrow(run.DescriptionPath()) + "': " + problem + "\n");
    }
    // A drive that the machine does not have is not there at all, as on Windows.
    DriverRun elsewhere("drive = 2\n");
    EXPECT_FALSE(elsewhere.IsOpen());
    EXPECT_EQ(elsewhere.Trace(), "");
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

template <typename T> std::vector<std::uint8_t> Request(const T& fields, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::memcpy(bytes.data(), &fields, std::min(length, sizeof(fields)));
    return bytes;
}

std::vector<std::uint8_t> Query(std::size_t length) {
    return Request(StorageFirmware::STORAGE_HW_FIRMWARE_INFO_QUERY{16, 16, 0, 0}, length);
}

// A download request of `length` bytes whose header says the rest.
std::vector<std::uint8_t> Download(std::uint32_t version, std::uint32_t size, std::uint8_t slot,
                                   std::uint64_t offset, std::uint64_t bufferSize, std::size_t length) {
    return Request(
        StorageFirmware::STORAGE_HW_FIRMWARE_DOWNLOAD{version, size, 2, slot, {}, offset, bufferSize},
        length);
}

// A whole last segment of 512 bytes at the offset, for the slot.
std::vector<std::uint8_t> Segment(std::uint8_t slot, std::uint64_t offset) {
    return Download(40, 544, slot, offset, 512, 544);
}

std::vector<std::uint8_t> Activate(std::uint32_t version, std::uint32_t size, std::uint8_t slot,
                                   std::size_t length) {
    return Request(StorageFirmware::STORAGE_HW_FIRMWARE_ACTIVATE{version, size, 0, slot, {}}, length);
}

// One request at an edge of a check of Windows' class driver.
// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): the fields follow the table's columns
struct Edge {
    const char* name;
    // After "drive = 1".
    std::string description;
    DWORD code;
    std::vector<std::uint8_t> input;
    // The output length; the input's length when 0.
    std::size_t outputLength;
    // ERROR_SUCCESS when the request passes.
    DWORD error;
    // Whether the class driver refuses it, before the device sees it.
    bool classDriver;
    // Whether an information query goes first, on the same handle, whatever it brings.
    bool informationFirst = false;
};

// The request sent to the simulated device in process: its last error and its trace line.
std::pair<DWORD, std::string> InProcess(const std::string& description, const Edge& edge) {
    SimulatedDevice device(DeviceDescription::Parse(description), RequestTrace::InMemory());
    const HANDLE drive = device.Open(DRIVE_PATH);
    std::vector<std::uint8_t> input = edge.input;
    std::vector<std::uint8_t> output(edge.outputLength == 0 ? input.size() : edge.outputLength);
    const auto inLength = static_cast<DWORD>(input.size());
    const auto outLength = static_cast<DWORD>(output.size());
    if (edge.informationFirst) {
        std::vector<std::uint8_t> query = Query(16);
        std::vector<std::uint8_t> reply(StorageFirmware::FIRMWARE_INFO_REPLY_SIZE);
        device.GetFirmwareInfo(drive, query.data(), 16, reply.data(), static_cast<DWORD>(reply.size()));
    }
    BOOL ok = FALSE;
    switch (edge.code) {
    case IOCTL_STORAGE_FIRMWARE_GET_INFO:
        ok = device.GetFirmwareInfo(drive, input.data(), inLength, output.data(), outLength);
        break;
    case IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
        ok = device.DownloadFirmware(drive, input.data(), inLength, output.data(), outLength);
        break;
    default:
        ok = device.ActivateFirmware(drive, input.data(), inLength, output.data(), outLength);
        break;
    }
    return {ok ? ERROR_SUCCESS : GetLastError(), device.Trace().Lines().back()};
}

std::string LastLine(std::string trace) {
    while (!trace.empty() && trace.back() == '\n') {
        trace.pop_back();
    }
    const std::size_t end = trace.rfind('\n');
    return end == std::string::npos ? trace : trace.substr(end + 1);
}

// What Windows' class driver refuses of the storage firmware requests, at the edge of each of its checks:
// the simulated device in process and the stand-in driver give the same last error as the class driver,
// the stand-in driver through the system's own mapping of the class driver's status.
TEST(ClassDriverChecks, GiveWindowsLastErrorsInProcessAndThroughTheDriver) {
    const DWORD GET_INFO = IOCTL_STORAGE_FIRMWARE_GET_INFO;
    const DWORD DOWNLOAD = IOCTL_STORAGE_FIRMWARE_DOWNLOAD;
    const DWORD ACTIVATE = IOCTL_STORAGE_FIRMWARE_ACTIVATE;
    const Edge edges[] = {
        {"information query of 15 bytes", "", GET_INFO, Query(15), 8216, ERROR_BAD_LENGTH, true},
        {"information reply room of 55 bytes", "", GET_INFO, Query(16), 55, ERROR_INSUFFICIENT_BUFFER, true},
        {"information reply room for the one slot", "", GET_INFO, Query(16), 56, ERROR_SUCCESS, false},
        {"no slot", "slots =", GET_INFO, Query(16), 8216, ERROR_GEN_FAILURE, true},
        {"maximum payload above the transfer length", "max_transfer_length = 65535", GET_INFO, Query(16),
         8216, ERROR_GEN_FAILURE, true},
        {"maximum payload at the transfer length", "max_transfer_length = 65536", GET_INFO, Query(16), 8216,
         ERROR_SUCCESS, false},
        // A device that says it has no firmware information at all is taken at its word until the disk
        // starts anew; so is one whose report is refused before any report was accepted.
        {"information again once the device said it supports none", "info_error = 50", GET_INFO, Query(16),
         8216, ERROR_INVALID_FUNCTION, true, true},
        {"information again after another failure of the device", "info_error = 31", GET_INFO, Query(16),
         8216, ERROR_GEN_FAILURE, false, true},
        {"information again after a refused report", "slots =", GET_INFO, Query(16), 8216,
         ERROR_INVALID_FUNCTION, true, true},
        {"download once the device said it supports no information", "info_error = 50", DOWNLOAD,
         Segment(1, 0), 0, ERROR_INVALID_FUNCTION, true, true},
        // Before any information request, a download makes the class driver ask the device, and fails as
        // that query did.
        {"download when the device fails the class driver's query", "info_error = 5", DOWNLOAD, Segment(1, 0),
         0, ERROR_ACCESS_DENIED, true},
        {"download of 39 bytes", "", DOWNLOAD, Download(40, 39, 1, 0, 7, 39), 0, ERROR_BAD_LENGTH, true},
        {"download of 40 bytes", "", DOWNLOAD, Download(40, 40, 1, 0, 8, 40), 0, ERROR_INVALID_PARAMETER,
         true},
        {"Version 39", "", DOWNLOAD, Download(39, 544, 1, 0, 512, 544), 0, ERROR_INVALID_PARAMETER, true},
        {"Size above the input", "", DOWNLOAD, Download(40, 545, 1, 0, 512, 544), 0, ERROR_INVALID_PARAMETER,
         true},
        {"BufferSize above Size", "", DOWNLOAD, Download(40, 544, 1, 0, 1024, 544), 0,
         ERROR_INVALID_PARAMETER, true},
        {"no upgrade support", "support_upgrade = 0", DOWNLOAD, Segment(1, 0), 0, ERROR_NOT_SUPPORTED, true},
        {"alignment 0", "alignment = 0", DOWNLOAD, Segment(1, 0), 0, ERROR_NOT_SUPPORTED, true},
        {"slot not in the table", "", DOWNLOAD, Segment(7, 0), 0, ERROR_INVALID_PARAMETER, true},
        // The entries past the slot count read as zero: slot 0 is not among them.
        {"slot 0 past the slot count", "", DOWNLOAD, Segment(0, 0), 0, ERROR_INVALID_PARAMETER, true},
        {"read-only slot", "slots = 0 ro, 1", DOWNLOAD, Segment(0, 0), 0, ERROR_INVALID_PARAMETER, true},
        {"BufferSize 0", "", DOWNLOAD, Download(40, 40, 1, 0, 0, 40), 0, ERROR_INVALID_PARAMETER, true},
        {"BufferSize off the alignment", "", DOWNLOAD, Download(40, 543, 1, 0, 511, 543), 0,
         ERROR_INVALID_PARAMETER, true},
        {"BufferSize above the maximum payload", "max_payload = 1024", DOWNLOAD,
         Download(40, 1568, 1, 0, 1536, 1568), 0, ERROR_INVALID_PARAMETER, true},
        {"Offset off the alignment", "", DOWNLOAD, Segment(1, 256), 0, ERROR_INVALID_PARAMETER, true},
        {"Offset above 0xFFFFFF", "", DOWNLOAD, Segment(1, 0x1000000), 0, ERROR_INVALID_PARAMETER, true},
        // Windows lets it through; the device itself wants the image from offset 0.
        {"Offset at the last aligned 0xFFFE00", "", DOWNLOAD, Segment(1, 0xFFFE00), 0,
         ERROR_INVALID_PARAMETER, false},
        {"a whole aligned last segment", "", DOWNLOAD, Segment(1, 0), 0, ERROR_SUCCESS, false},
        {"activation of 15 bytes", "", ACTIVATE, Activate(16, 16, 1, 15), 0, ERROR_BAD_LENGTH, true},
        {"activation Version 15", "", ACTIVATE, Activate(15, 16, 1, 16), 0, ERROR_INVALID_PARAMETER, true},
        {"activation Size above the input", "", ACTIVATE, Activate(16, 17, 1, 16), 0, ERROR_INVALID_PARAMETER,
         true},
        {"activation of a slot not in the table", "", ACTIVATE, Activate(16, 16, 7, 16), 0,
         ERROR_INVALID_PARAMETER, true},
        {"activation of slot 0 past the slot count", "", ACTIVATE, Activate(16, 16, 0, 16), 0,
         ERROR_INVALID_PARAMETER, true},
        // Windows allows a read-only slot; the device activates only the slot that has just received an
        // image.
        {"activation of a read-only slot", "slots = 0 ro, 1", ACTIVATE, Activate(16, 16, 0, 16), 0,
         ERROR_INVALID_PARAMETER, false},
    };
    for (const Edge& edge : edges) {
        SCOPED_TRACE(edge.name);
        const std::string description = "drive = 1\n" + edge.description + "\n";
        const auto [error, line] = InProcess(description, edge);
        EXPECT_EQ(error, edge.error) << line;
        EXPECT_EQ(line.find("(class driver)") != std::string::npos, edge.classDriver) << line;

        DriverRun run(description);
        ASSERT_TRUE(run.IsOpen());
        if (edge.informationFirst) {
            std::vector<std::uint8_t> reply(StorageFirmware::FIRMWARE_INFO_REPLY_SIZE);
            run.Control(IOCTL_STORAGE_FIRMWARE_GET_INFO, Query(16), reply);
        }
        std::vector<std::uint8_t> output(edge.outputLength == 0 ? edge.input.size() : edge.outputLength);
        EXPECT_EQ(run.Control(edge.code, edge.input, output).error, edge.error);
        EXPECT_EQ(LastLine(run.Trace()), line);
    }
}

} // namespace
