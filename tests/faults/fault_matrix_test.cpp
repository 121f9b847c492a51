// The fault matrix: one run per cell and target, each injecting one failure into one request of an update
// with a three-segment image, or giving the device one reply shape that must stop the update. Every cell
// runs on quillon-sim.exe, and again with the real quillon.exe through the stand-in storage driver unless
// the driver cannot give its failure; the two runs must leave the same log, exit code and trace, byte for
// byte. Every cell's outcome comes from the tool's outcome rules as tabled below, never from a run of the
// tool. Beside the closing message and the exit code, every run checks the promises that hold for all of
// them: no request after a failed one, no activation after a failed download, and no success without an
// activation that reported one.

#include "sim/device_description.h"
#include "sim/driver/served_description.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

using namespace TestSupport;

namespace {

constexpr DWORD IMAGE_INVALID = 0x80030209;
constexpr DWORD POWER_CYCLE_REQUIRED = 0x00030207;

// The built-in device's report allows 65536-byte requests with payloads aligned to 512 bytes: the largest
// aligned payload beside the 32-byte header.
constexpr std::size_t SEGMENT = std::size_t{65536 - 32} / 512 * 512;
// Two full segments and a short third one, on the alignment as Windows requires of every segment.
constexpr std::size_t IMAGE_SIZE = 2 * SEGMENT + 4096;

enum class Request { Open, ExtCsd, Info, Download1, Download2, Download3, Activate };

const char* const REQUEST_NAMES[] = {"open",       "EXT_CSD",    "information", "download 1",
                                     "download 2", "download 3", "activation"};

// The trace line of each request begins with its kind.
const char* TraceKind(Request request) {
    switch (request) {
    case Request::Open:
        return "open";
    case Request::ExtCsd:
        return "ext_csd";
    case Request::Info:
        return "get_info";
    case Request::Activate:
        return "activate";
    default:
        return "download";
    }
}

const std::string SUCCESS = UPDATED + RESTART;
const std::string SUCCESS_AFTER_REBOOT = UPDATED_REBOOT_REQUIRED + RESTART;

// The outcome table: what the tool writes last when a request fails with a last error.
std::string ClosingAfterFailure(Request request, DWORD code) {
    switch (request) {
    case Request::Open:
        return OpenDeviceError(code);
    case Request::ExtCsd:
        return GENERAL_FAILURE;
    case Request::Info:
        return UNKNOWN_ERROR;
    case Request::Activate:
        return code == POWER_CYCLE_REQUIRED ? SUCCESS_AFTER_REBOOT
               : code == IMAGE_INVALID      ? BAD_IMAGE
                                            : BAD_SLOT;
    default:
        return code == IMAGE_INVALID ? BAD_IMAGE : DOWNLOAD_FAILED;
    }
}

struct Cell {
    std::string name;
    // Lines added to the description of a device on drive 1.
    std::string description;
    // The last request the device receives.
    Request last;
    // The last error that last request fails with; none when it succeeds.
    std::optional<DWORD> failure;
    std::string closing;
    DWORD exitCode;
};

std::string Hex(DWORD code) {
    char text[11];
    // "0x" and eight hexadecimal digits always fit.
    static_cast<void>(std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code)));
    return text;
}

std::string FailureKey(Request request, DWORD code) {
    switch (request) {
    case Request::Open:
        return "open_error = " + Hex(code);
    case Request::ExtCsd:
        return "ext_csd_error = " + Hex(code);
    case Request::Info:
        return "info_error = " + Hex(code);
    case Request::Activate:
        return "activate_error = " + Hex(code);
    default:
        return "download_error = " +
               std::to_string(static_cast<int>(request) - static_cast<int>(Request::Download1) + 1) + ":" +
               Hex(code);
    }
}

std::vector<Cell> Cells() {
    std::vector<Cell> cells{{"baseline", "", Request::Activate, std::nullopt, SUCCESS, 0}};
    // The two codes with a meaning of their own, an error code of 0, and codes without one.
    const DWORD codes[] = {IMAGE_INVALID, POWER_CYCLE_REQUIRED, 0, 5, 31, 0x12345678};
    for (int r = static_cast<int>(Request::Open); r <= static_cast<int>(Request::Activate); ++r) {
        const auto request = static_cast<Request>(r);
        for (const DWORD code : codes) {
            const std::string closing = ClosingAfterFailure(request, code);
            const DWORD exitCode = closing == SUCCESS_AFTER_REBOOT ? 0 : 1;
            cells.push_back({std::string(REQUEST_NAMES[r]) + " fails with " + Hex(code),
                             FailureKey(request, code), request, code, closing, exitCode});
        }
    }
    const std::vector<Cell> shapes{
        // The register's unfilled bytes read as zero: the revision is byte 192, the modes byte 493.
        {"EXT_CSD 0 bytes filled", "ext_csd_filled = 0", Request::ExtCsd, {}, VERSION_TOO_OLD, 1},
        {"EXT_CSD 192 bytes filled", "ext_csd_filled = 192", Request::ExtCsd, {}, VERSION_TOO_OLD, 1},
        {"EXT_CSD 193 bytes filled", "ext_csd_filled = 193", Request::ExtCsd, {}, MODE_UNSUPPORTED, 1},
        {"EXT_CSD 493 bytes filled", "ext_csd_filled = 493", Request::ExtCsd, {}, MODE_UNSUPPORTED, 1},
        {"EXT_CSD 494 bytes filled", "ext_csd_filled = 494", Request::Activate, {}, SUCCESS, 0},
        {"EXT_CSD revision 6", "ext_csd_rev = 6", Request::ExtCsd, {}, VERSION_TOO_OLD, 1},
        {"vendor-specific mode only", "supported_modes = 0x02", Request::ExtCsd, {}, MODE_UNSUPPORTED, 1},
        {"updates disabled", "fw_config = 0x01", Request::ExtCsd, {}, FFU_DISABLED, 1},
        {"no upgrade support", "support_upgrade = 0", Request::Info, {}, NO_UPGRADE, 1},
        // Windows' class driver takes no report without a slot, nor one whose maximum payload is above what
        // the adapter can transfer: the information query itself fails.
        {"no slots", "slots =", Request::Info, ERROR_GEN_FAILURE, UNKNOWN_ERROR, 1},
        {"maximum payload above the adapter's transfer length", "max_transfer_length = 65535", Request::Info,
         ERROR_GEN_FAILURE, UNKNOWN_ERROR, 1},
        {"all slots read-only", "slots = 0 ro, 1 ro, 2 ro", Request::Info, {}, NO_FREE_SLOT, 1},
        {"first writable slot numbered 255", "slots = 0 ro, 255, 2", Request::Info, {}, NO_FREE_SLOT, 1},
        {"alignment 0", "alignment = 0", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        {"maximum payload 0", "max_payload = 0", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        {"maximum payload 31", "max_payload = 31", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        {"maximum payload of the header alone", "max_payload = 32", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        // One byte short of a 512-byte unit beside the header.
        {"maximum payload 543", "max_payload = 543", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        {"alignment 65536", "alignment = 65536", Request::Info, {}, UNUSABLE_PAYLOAD, 1},
        // Requests stay within 65536 bytes whatever the driver allows.
        {"maximum payload 131072", "max_payload = 131072", Request::Activate, {}, SUCCESS, 0},
        // The segment size is masked to the alignment, which rounds to powers of two only: with alignment 3
        // it stays 65504, no multiple of 3, and the driver refuses the first segment as an invalid parameter.
        {"alignment 3", "alignment = 3", Request::Download1, ERROR_INVALID_PARAMETER, DOWNLOAD_FAILED, 1},
    };
    cells.insert(cells.end(), shapes.begin(), shapes.end());
    return cells;
}

// What the log holds after the banner: the messages of every step the run reached, then the closing one.
std::string ExpectedBody(const Cell& cell) {
    if (cell.last == Request::Open && cell.failure) {
        return cell.closing;
    }
    std::string body = OpenedDevice('1');
    if (cell.last >= Request::Info) {
        body += UPDATING;
    }
    if (cell.last >= Request::Download1) {
        body += DOWNLOADING;
        const int downloads =
            std::min(static_cast<int>(cell.last) - static_cast<int>(Request::Download1) + 1, 3);
        for (int i = 0; i < downloads; ++i) {
            body += Progress(static_cast<std::uint32_t>(i * SEGMENT));
        }
    }
    return body + cell.closing;
}

std::vector<std::string> ExpectedKinds(Request last) {
    std::vector<std::string> kinds;
    for (int r = 0; r <= static_cast<int>(last); ++r) {
        kinds.push_back(TraceKind(static_cast<Request>(r)));
    }
    return kinds;
}

struct TraceLine {
    std::string text;
    std::string kind;
    std::optional<DWORD> error;
};

std::vector<TraceLine> ParseTrace(const std::string& trace) {
    std::vector<TraceLine> lines;
    std::size_t start = 0;
    while (start < trace.size()) {
        const std::size_t end = trace.find('\n', start);
        const std::string text =
            trace.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? trace.size() : end + 1;
        TraceLine line{text, text.substr(0, text.find(' ')), std::nullopt};
        const std::size_t error = text.rfind(" error 0x");
        if (error != std::string::npos) {
            line.error = static_cast<DWORD>(std::stoul(text.substr(error + 9), nullptr, 16));
        }
        lines.push_back(line);
    }
    return lines;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// An activation that put the image in place, now or at the next power cycle.
bool ActivationTookEffect(const TraceLine& line) {
    return line.kind == "activate" && (!line.error || *line.error == POWER_CYCLE_REQUIRED);
}

std::string Description(const Cell& cell) {
    return "drive = 1\n" + cell.description + "\n";
}

ToolRun RunCell(const Cell& cell, const std::string& image, Target target) {
    TempDirectory directory;
    WriteBytes(directory / L"package.ffu", image);
    ToolLaunch launch{L"/T:1 /D:package.ffu", Description(cell)};
    launch.target = target;
    return RunTool(directory, launch);
}

void CheckRun(const Cell& cell, const ToolRun& result) {
    const std::string& log = result.log;
    const std::vector<TraceLine> trace = ParseTrace(result.trace);
    ASSERT_EQ(result.errors, "") << "the device description was refused";
    ASSERT_FALSE(trace.empty()) << "no request reached the device";

    EXPECT_TRUE(EndsWith(log, TextMode(cell.closing))) << log;
    EXPECT_EQ(result.exitCode, cell.exitCode);

    const std::size_t bannerEnd = log.find("\r\n\r\n");
    ASSERT_NE(bannerEnd, std::string::npos) << log;
    EXPECT_EQ(log.substr(bannerEnd + 4), TextMode(ExpectedBody(cell)));

    std::vector<std::string> kinds;
    kinds.reserve(trace.size());
    for (const auto& line : trace) {
        kinds.push_back(line.kind);
    }
    EXPECT_EQ(kinds, ExpectedKinds(cell.last));
    EXPECT_EQ(trace.back().error, cell.failure) << trace.back().text;

    for (std::size_t i = 0; i + 1 < trace.size(); ++i) {
        EXPECT_FALSE(trace[i].error) << "request after a failed one: " << trace[i].text;
        if (trace[i].kind == "download" && trace[i].error) {
            for (std::size_t j = i + 1; j < trace.size(); ++j) {
                EXPECT_NE(trace[j].kind, "activate") << "activation after a failed download";
            }
        }
    }
    const bool tookEffect = ActivationTookEffect(trace.back());
    if (result.exitCode == 0) {
        EXPECT_TRUE(tookEffect) << "exit code 0 after " << trace.back().text;
    }
    if (log.find("success") != std::string::npos) {
        EXPECT_TRUE(tookEffect) << "success reported after " << trace.back().text;
    }
}

// Whether the checks made since `partsBefore` all passed.
bool Held(int partsBefore) {
    const testing::TestResult& outcome = *testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = partsBefore; i < outcome.total_part_count(); ++i) {
        if (outcome.GetTestPartResult(i).failed()) {
            return false;
        }
    }
    return true;
}

int PartCount() {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

TEST(FaultMatrix, NoFaultEndsInAFalseSuccess) {
    const std::string image = PatternBytes(IMAGE_SIZE);
    const std::vector<Cell> cells = Cells();
    std::size_t held = 0;
    std::size_t driverCells = 0;
    std::size_t driverHeld = 0;
    for (const Cell& cell : cells) {
        SCOPED_TRACE(cell.name);
        int partsBefore = PartCount();
        const ToolRun simulated = RunCell(cell, image, Target::Simulator);
        {
            SCOPED_TRACE("quillon-sim.exe");
            CheckRun(cell, simulated);
        }
        held += Held(partsBefore) ? 1 : 0;
        if (!WhyNotServed(DeviceDescription::Parse(Description(cell))).empty()) {
            continue;
        }
        ++driverCells;
        partsBefore = PartCount();
        const ToolRun real = RunCell(cell, image, Target::Driver);
        SCOPED_TRACE("quillon.exe through the stand-in driver");
        CheckRun(cell, real);
        EXPECT_EQ(real.exitCode, simulated.exitCode);
        EXPECT_EQ(real.log, simulated.log);
        EXPECT_EQ(real.trace, simulated.trace);
        driverHeld += Held(partsBefore) ? 1 : 0;
    }
    std::cout << "fault matrix: " << cells.size() << " cells, " << held << " held on quillon-sim.exe; "
              << driverCells << " also through the stand-in driver, " << driverHeld << " held there; "
              << cells.size() - driverCells
              << " on quillon-sim.exe only (an open failure, or a code that no driver status gives)"
              << std::endl;
    EXPECT_EQ(held, cells.size());
    EXPECT_EQ(driverHeld, driverCells);
}

} // namespace
