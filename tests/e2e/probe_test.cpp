// quillon-probe on both targets, quillon-probe-sim.exe and the real quillon-probe.exe through the stand-in
// storage driver: its report and JSON for a handful of devices and for the registers of real eMMC parts,
// that it sends only Quillon's three read requests and the two identity queries, the twin it writes, and
// that its verdict is what Quillon then does.

#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"
#include "tests/support/wine_overrides.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <optional>
#include <tuple>

using namespace TestSupport;
using Json = nlohmann::json;

namespace {

const std::wstring PROBE = BuiltProgram(L"quillon-probe-sim.exe");
// 257 units of 512 bytes: three download requests for the built-in device.
constexpr std::size_t PACKAGE_LENGTH = 131584;

// The 512 register bytes as the description's hexadecimal text: zero but for the given bytes.
std::string Register(const std::map<std::size_t, std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex(1024, '0');
    for (const auto& [offset, value] : bytes) {
        hex[2 * offset] = digits[value >> 4];
        hex[2 * offset + 1] = digits[value & 0x0F];
    }
    return hex;
}

std::string Hex(const std::string& bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(i < bytes.size() ? bytes[i] : '\0');
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The report of the built-in device on drive 1 with the package fw.ffu.
Json BuiltInReport() {
    return {
        {"probe_version", "1.0.3"},
        {"drive", "\\\\.\\PhysicalDrive1"},
        {"open_error", nullptr},
        // A described device names no identity strings of its own.
        {"identity",
         {{"bus_type", 13},
          {"bus_type_name", "MMC"},
          {"vendor", nullptr},
          {"product", nullptr},
          {"product_revision", nullptr},
          {"serial_number", nullptr},
          {"max_transfer_length", 1048576}}},
        {"device_descriptor_error", nullptr},
        {"adapter_descriptor_error", nullptr},
        {"ext_csd",
         {{"raw", Register({{192, 8}, {493, 1}})},
          {"ext_csd_rev", 8},
          {"emmc_version", "5.1"},
          {"supported_modes", 1},
          {"ffu_supported", true},
          {"vendor_specific_mode", false},
          {"fw_config", 0},
          {"update_disable", false},
          {"firmware_version", "0000000000000000"},
          {"firmware_version_text", nullptr},
          {"firmware_version_number", 0},
          {"device_version", 0},
          {"ffu_status", 0},
          {"mode_config", 0},
          {"ffu_arg", 0},
          {"operation_code_timeout", 0},
          {"ffu_features", 0},
          {"number_of_fw_sectors_correctly_programmed", 0},
          {"pre_eol_info", 0},
          {"pre_eol_info_meaning", "not defined"},
          {"device_life_time_est_typ_a", 0},
          {"device_life_time_est_typ_a_meaning", "not defined"},
          {"device_life_time_est_typ_b", 0},
          {"device_life_time_est_typ_b_meaning", "not defined"}}},
        {"ext_csd_error", nullptr},
        {"firmware_info",
         {{"support_upgrade", true},
          {"slot_count", 1},
          {"active_slot", 1},
          {"pending_activate_slot", 255},
          {"firmware_shared", false},
          {"image_payload_alignment", 512},
          {"image_payload_max_size", 65536},
          {"slots", Json::array({{{"slot_number", 1},
                                  {"read_only", false},
                                  {"revision", Hex("QSIM0001", 16)},
                                  {"revision_text", "QSIM0001"}}})}}},
        {"firmware_info_error", nullptr},
        {"verdict",
         {{"would_update", true},
          {"refusal", nullptr},
          {"slot", 1},
          {"segment_size", 65024},
          {"failure", nullptr}}},
        {"package",
         {{"path", "fw.ffu"},
          {"length", PACKAGE_LENGTH},
          {"download_requests", 3},
          {"offsets", {0, 65024, 130048}},
          {"aligned", true}}},
    };
}

// The report with the changes: objects are changed member by member, every other value is replaced.
Json Changed(Json report, const Json& changes) {
    for (const auto& [key, value] : changes.items()) {
        report[key] = value.is_object() && report[key].is_object() ? Changed(report[key], value) : value;
    }
    return report;
}

Json Refused(const std::string& line) {
    return {{"verdict",
             {{"would_update", false}, {"refusal", line}, {"slot", nullptr}, {"segment_size", nullptr}}},
            {"package", {{"download_requests", nullptr}, {"offsets", nullptr}}}};
}

Json Failure(DWORD code) {
    return {{"code", code}, {"text", WithoutLineEnd(SystemMessage(code))}};
}

// A package of this length on the built-in device, whose download request `request` (from 1) Windows
// refuses with the code for the reason.
Json FailsOnWindows(std::size_t length, std::size_t request, DWORD code, const std::string& reason) {
    Json offsets = Json::array();
    for (std::size_t offset = 0; offsets.empty() || offset < length; offset += 65024) {
        offsets.push_back(offset);
    }
    return {{"verdict",
             {{"would_update", false},
              {"refusal", DOWNLOAD_FAILED},
              {"failure",
               {{"request", request},
                {"offset", offsets[request - 1]},
                {"error", Failure(code)},
                {"reason", reason}}}}},
            {"package",
             {{"length", length},
              {"download_requests", offsets.size()},
              {"offsets", offsets},
              {"aligned", length % 512 == 0}}}};
}

struct Device {
    const char* name;
    // After "drive = 1".
    std::string description;
    Json changes;
    // The probe's requests after the open.
    std::vector<std::string> reads;
    // Lines that the twin must hold as they are.
    std::vector<std::string> twinLines = {};
    std::size_t packageLength = PACKAGE_LENGTH;
};

void PrintTo(const Device& device, std::ostream* out) {
    *out << device.name;
}

const std::vector<std::string> READS = {Trace::ExtCsd(), Trace::GetInfo(), Trace::Property(0),
                                        Trace::Property(1)};

// Identity strings as a device may hold them: padded with blanks, with a byte beyond ASCII and the
// description's quote and comment characters, empty, and none (no serial number).
const std::string IDENTITY = "vendor = \"  QSIM   \"\nproduct = \"Caf\xe9 \"#1\"\"\nproduct_revision = \"\"\n"
                             "max_transfer_length = 131072\n";

// A device that shows every field: an eMMC 5.0 that runs "FW-01.22" from slot 0 and has 3 pending.
const std::string INVENTORY =
    "ext_csd = " + Register({{26, 0x01},  {30, 0x00},  {169, 0x00}, {192, 7},    {254, 'F'},  {255, 'W'},
                             {256, '-'},  {257, '0'},  {258, '1'},  {259, '.'},  {260, '2'},  {261, '2'},
                             {262, 0x34}, {263, 0x12}, {267, 0x01}, {268, 0x02}, {269, 0x0B}, {302, 0x00},
                             {303, 0x01}, {487, 0x78}, {488, 0x56}, {489, 0x34}, {490, 0x12}, {491, 0x17},
                             {492, 0x01}, {493, 0x03}}) +
    "\nslots = 0 ro rev:46572d30312e3232, 3 rev:46572d30312e3233, 1 rev:00ff\nactive_slot = 0\n"
    "pending_slot = 3\nfirmware_shared = 1\nalignment = 4096\nmax_payload = 131072\n" +
    IDENTITY;

const Device DEVICES[] = {
    {"BuiltIn", "", Json::object(), READS},
    {"Inventory",
     INVENTORY,
     {{"identity",
       {{"vendor", "QSIM"},
        {"product", "Caf\u00e9 \"#1\""},
        {"product_revision", ""},
        {"max_transfer_length", 131072}}},
      {"ext_csd",
       {{"raw", INVENTORY.substr(10, 1024)},
        {"ext_csd_rev", 7},
        {"emmc_version", "5.0 or 5.01"},
        {"supported_modes", 3},
        {"vendor_specific_mode", true},
        {"firmware_version", Hex("FW-01.22", 8)},
        {"firmware_version_text", "FW-01.22"},
        {"firmware_version_number", nullptr},
        {"device_version", 0x1234},
        {"ffu_status", 1},
        {"ffu_arg", 0x12345678},
        {"operation_code_timeout", 0x17},
        {"ffu_features", 1},
        {"number_of_fw_sectors_correctly_programmed", 256},
        {"pre_eol_info", 1},
        {"pre_eol_info_meaning", "normal"},
        {"device_life_time_est_typ_a", 2},
        {"device_life_time_est_typ_a_meaning", "10-20% of the estimated life time used"},
        {"device_life_time_est_typ_b", 11},
        {"device_life_time_est_typ_b_meaning", "the estimated life time exceeded"}}},
      {"firmware_info",
       {{"slot_count", 3},
        {"active_slot", 0},
        {"pending_activate_slot", 3},
        {"firmware_shared", true},
        {"image_payload_alignment", 4096},
        {"image_payload_max_size", 131072},
        {"slots", Json::array({{{"slot_number", 0},
                                {"read_only", true},
                                {"revision", Hex("FW-01.22", 16)},
                                {"revision_text", "FW-01.22"}},
                               {{"slot_number", 3},
                                {"read_only", false},
                                {"revision", Hex("FW-01.23", 16)},
                                {"revision_text", "FW-01.23"}},
                               {{"slot_number", 1},
                                {"read_only", false},
                                {"revision", Hex(std::string("\x00\xff", 2), 16)},
                                {"revision_text", nullptr}}})}}},
      // The last segment, 8704 bytes, is no multiple of the alignment: Windows refuses it.
      {"verdict",
       {{"would_update", false},
        {"refusal", DOWNLOAD_FAILED},
        {"slot", 3},
        {"segment_size", 61440},
        {"failure",
         {{"request", 3},
          {"offset", 122880},
          {"error", Failure(87)},
          {"reason", "BufferSize is not a multiple of ImagePayloadAlignment"}}}}},
      {"package", {{"offsets", {0, 61440, 122880}}, {"aligned", false}}}},
     READS,
     // The strings as the device holds them, blanks included, and none for the serial number.
     {"vendor = \"  QSIM   \"", "product = \"Caf\xe9 \"#1\"\"", "product_revision = \"\"",
      "max_transfer_length = 131072"}},
    {"IdentityUnavailable",
     "device_property_error = 50\nadapter_property_error = 31",
     {{"identity", {{"bus_type", nullptr}, {"bus_type_name", nullptr}, {"max_transfer_length", nullptr}}},
      {"device_descriptor_error", Failure(50)},
      {"adapter_descriptor_error", Failure(31)}},
     {Trace::ExtCsd(), Trace::GetInfo(), Trace::Property(0, Trace::Error(50)),
      Trace::Property(1, Trace::Error(31))},
     {"device_property_error = 0x00000032", "adapter_property_error = 0x0000001F"}},
    {"UpdatesDisabled", "fw_config = 0x01",
     Changed(
         Refused(FFU_DISABLED),
         {{"ext_csd",
           {{"raw", Register({{169, 1}, {192, 8}, {493, 1}})}, {"fw_config", 1}, {"update_disable", true}}}}),
     READS},
    {"BeforeEmmc50", "ext_csd_rev = 6",
     Changed(
         Refused(VERSION_TOO_OLD),
         {{"ext_csd",
           {{"raw", Register({{192, 6}, {493, 1}})}, {"ext_csd_rev", 6}, {"emmc_version", "before 5.0"}}}}),
     READS},
    {"RegisterUnreadable",
     "ext_csd_error = 5",
     Changed(Refused(GENERAL_FAILURE), {{"ext_csd", nullptr}, {"ext_csd_error", Failure(5)}}),
     {Trace::ExtCsd(Trace::Error(5)), Trace::GetInfo(), Trace::Property(0), Trace::Property(1)}},
    // Quillon stops at the register's refusal and never asks for the information.
    {"UpdatesDisabledAndInformationUnavailable",
     "fw_config = 0x01\ninfo_error = 31",
     Changed(
         Refused(FFU_DISABLED),
         {{"ext_csd",
           {{"raw", Register({{169, 1}, {192, 8}, {493, 1}})}, {"fw_config", 1}, {"update_disable", true}}},
          {"firmware_info", nullptr},
          {"firmware_info_error", Failure(31)},
          {"package", {{"aligned", nullptr}}}}),
     {Trace::ExtCsd(), Trace::GetInfo(Trace::Error(31)), Trace::Property(0), Trace::Property(1)}},
    // Reserved bits beside bit 0: the tool reads bit 0 alone, and the twin keeps every bit.
    {"ReservedBits",
     "support_upgrade = 0xFF\nslots = 0 ro:0xFF, 2 ro:0xFE, 3\n",
     {{"firmware_info",
       {{"slot_count", 3},
        {"slots", Json::array({{{"slot_number", 0},
                                {"read_only", true},
                                {"revision", Hex("QSIM0001", 16)},
                                {"revision_text", "QSIM0001"}},
                               {{"slot_number", 2},
                                {"read_only", false},
                                {"revision", Hex("QSIM0001", 16)},
                                {"revision_text", "QSIM0001"}},
                               {{"slot_number", 3},
                                {"read_only", false},
                                {"revision", Hex("QSIM0001", 16)},
                                {"revision_text", "QSIM0001"}}})}}},
      {"verdict", {{"slot", 2}}}},
     READS,
     {"support_upgrade = 255", "slots = 0 ro:0xFF rev:" + Hex("QSIM0001", 16) + ", 2 ro:0xFE rev:" +
                                   Hex("QSIM0001", 16) + ", 3 rev:" + Hex("QSIM0001", 16)}},
    {"ReservedBitsWithoutUpgrade",
     "support_upgrade = 0xFE",
     Changed(Refused(NO_UPGRADE), {{"firmware_info", {{"support_upgrade", false}}}}),
     READS,
     {"support_upgrade = 254"}},
    {"InformationUnavailable",
     "info_error = 31",
     Changed(Refused(UNKNOWN_ERROR), {{"firmware_info", nullptr},
                                      {"firmware_info_error", Failure(31)},
                                      {"package", {{"aligned", nullptr}}}}),
     {Trace::ExtCsd(), Trace::GetInfo(Trace::Error(31)), Trace::Property(0), Trace::Property(1)}},
    {"NoWritableSlot", "slots = 1 ro",
     Changed(Refused(NO_FREE_SLOT), {{"firmware_info",
                                      {{"slots", Json::array({{{"slot_number", 1},
                                                               {"read_only", true},
                                                               {"revision", Hex("QSIM0001", 16)},
                                                               {"revision_text", "QSIM0001"}}})}}}}),
     READS},
    {"NoRoomForPayload", "max_payload = 543",
     Changed(Refused(UNUSABLE_PAYLOAD), {{"firmware_info", {{"image_payload_max_size", 543}}}}), READS},
    {"UnalignedPackage",
     "",
     FailsOnWindows(PACKAGE_LENGTH + 1, 3, 87, "BufferSize is not a multiple of ImagePayloadAlignment"),
     READS,
     {},
     PACKAGE_LENGTH + 1},
    {"EmptyPackage",
     "",
     FailsOnWindows(0, 1, 24, "the request is shorter than STORAGE_HW_FIRMWARE_DOWNLOAD"),
     READS,
     {},
     0},
    // The first segment whose offset the class driver's command cannot carry is the 260th; the two after
    // it would be refused too, and Quillon never sends them.
    {"PackageAbove16MiB",
     "",
     FailsOnWindows(261 * 65024 + 512, 260, 87, "Offset is above 0xFFFFFF"),
     READS,
     {},
     261 * 65024 + 512},
    {"DriveDoesNotOpen",
     "open_error = 5",
     Changed(Refused(OpenDeviceError(5)), {{"open_error", Failure(5)},
                                           {"identity", nullptr},
                                           {"ext_csd", nullptr},
                                           {"firmware_info", nullptr},
                                           {"package", {{"aligned", nullptr}}}}),
     {}},
};

class ProbedDevice : public testing::TestWithParam<std::tuple<Device, Target>> {};

// Every value of the report, named by its JSON pointer, so that a difference names its field.
void ExpectSameFields(const Json& actual, const Json& expected) {
    const Json found = actual.flatten();
    const Json wanted = expected.flatten();
    for (const auto& [pointer, value] : wanted.items()) {
        EXPECT_TRUE(found.contains(pointer)) << pointer;
        if (found.contains(pointer)) {
            EXPECT_EQ(found[pointer], value) << pointer;
        }
    }
    for (const auto& [pointer, value] : found.items()) {
        EXPECT_TRUE(wanted.contains(pointer)) << "unexpected " << pointer << " = " << value;
    }
}

std::vector<std::string> DownloadLines(const std::string& trace) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < trace.size();) {
        const std::size_t end = trace.find('\n', start);
        const std::string line = trace.substr(start, end - start);
        if (line.rfind("download ", 0) == 0) {
            lines.push_back(line);
        }
        start = end == std::string::npos ? trace.size() : end + 1;
    }
    return lines;
}

TEST_P(ProbedDevice, ReportsReadsOnlyAndPredictsQuillonOnTheDeviceAndItsTwin) {
    const Device& device = std::get<Device>(GetParam());
    const Target target = std::get<Target>(GetParam());
    const std::string description = "drive = 1\n" + device.description;
    const std::string package = PatternBytes(device.packageLength);
    const auto run = [&](const std::wstring& program, const std::wstring& arguments, const std::string& on) {
        const TempDirectory directory;
        WriteBytes(directory / L"fw.ffu", package);
        ToolRun result = RunTool(directory, {arguments, on, {}, std::string(), program, target});
        return std::make_pair(std::move(result), ReadBytes(directory / L"twin.txt"));
    };

    const auto [probe, twin] = run(PROBE, L"/T:1 /D:fw.ffu /J /S:twin.txt", description);
    const Json expected = Changed(BuiltInReport(), device.changes);
    const bool updates = expected["verdict"]["would_update"];
    const Json& failure = expected["verdict"]["failure"];
    EXPECT_EQ(probe.exitCode, updates ? 0u : 1u);
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.log, "") << "the probe keeps no log";
    std::vector<std::string> reads = {Trace::Open("1", device.reads.empty() ? Trace::Error(5) : "ok")};
    reads.insert(reads.end(), device.reads.begin(), device.reads.end());
    EXPECT_EQ(probe.trace, Trace::File(reads));
    ASSERT_TRUE(Json::accept(probe.console)) << probe.console;
    ExpectSameFields(Json::parse(probe.console), expected);
    ASSERT_NE(twin, "");
    for (const std::string& line : device.twinLines) {
        EXPECT_NE(twin.find("\r\n" + line + "\r\n"), std::string::npos) << line << " in\n" << twin;
    }

    // The twin answers the reads as the device did.
    const auto [twinProbe, twinOfTwin] = run(PROBE, L"/T:1 /D:fw.ffu /J /S:twin.txt", twin);
    EXPECT_EQ(twinProbe.exitCode, probe.exitCode);
    EXPECT_EQ(twinProbe.console, probe.console);
    EXPECT_EQ(twinProbe.trace, probe.trace);
    EXPECT_EQ(twinOfTwin, twin);

    // Quillon rehearsed on the twin does what it does on the device, and that is what the probe said.
    const ToolRun original = run(BuiltProgram(L"quillon-sim.exe"), L"/T:1 /D:fw.ffu", description).first;
    const ToolRun rehearsal = run(BuiltProgram(L"quillon-sim.exe"), L"/T:1 /D:fw.ffu", twin).first;
    EXPECT_EQ(rehearsal.exitCode, original.exitCode);
    EXPECT_EQ(rehearsal.log, original.log);
    EXPECT_EQ(rehearsal.trace, original.trace);

    const std::vector<std::string> downloads = DownloadLines(original.trace);
    if (updates) {
        EXPECT_EQ(original.exitCode, 0u);
        const Json& offsets = expected["package"]["offsets"];
        ASSERT_EQ(downloads.size(), offsets.size());
        const std::string slot = " slot=" + expected["verdict"]["slot"].dump() + " ";
        const std::string segment = " length=" + expected["verdict"]["segment_size"].dump() + " ";
        for (std::size_t i = 0; i < downloads.size(); ++i) {
            EXPECT_NE(downloads[i].find(slot + "offset=" + offsets[i].dump() + " "), std::string::npos)
                << downloads[i];
            EXPECT_TRUE(i + 1 == downloads.size() || downloads[i].find(segment) != std::string::npos)
                << downloads[i];
        }
    } else if (!failure.is_null()) {
        // Quillon sends every request up to the one Windows refuses, and that one fails as predicted.
        EXPECT_EQ(original.exitCode, 1u);
        ASSERT_EQ(downloads.size(), failure["request"].get<std::size_t>());
        EXPECT_NE(downloads.back().find(" offset=" + failure["offset"].dump() + " "), std::string::npos)
            << downloads.back();
        const std::string refused = " " + Trace::ClassDriverError(failure["error"]["code"].get<DWORD>());
        EXPECT_EQ(downloads.back().substr(downloads.back().size() -
                                          std::min(downloads.back().size(), refused.size())),
                  refused);
        EXPECT_EQ(original.log.substr(original.log.size() -
                                      std::min(original.log.size(), DOWNLOAD_FAILED.size() + 1)),
                  TextMode(DOWNLOAD_FAILED));
    } else {
        EXPECT_EQ(original.exitCode, 1u);
        EXPECT_TRUE(downloads.empty());
        const std::string ending = TextMode(expected["verdict"]["refusal"].get<std::string>());
        EXPECT_EQ(original.log.substr(original.log.size() - std::min(original.log.size(), ending.size())),
                  ending);
    }
}

// Every device on the simulator, and on the driver every device whose drive opens: Wine completes every open
// of a driver's device, so the stand-in driver cannot fail one.
std::vector<std::tuple<Device, Target>> Runs() {
    std::vector<std::tuple<Device, Target>> runs;
    for (const Device& device : DEVICES) {
        runs.emplace_back(device, Target::Simulator);
        if (!device.reads.empty()) {
            runs.emplace_back(device, Target::Driver);
        }
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(Devices, ProbedDevice, testing::ValuesIn(Runs()), [](const auto& info) {
    return std::string(std::get<0>(info.param).name) + "_" + TargetName(std::get<1>(info.param));
});

// The twin names the drive it was taken from, at both ends of the digits.
TEST(ProbeTwin, NamesItsDrive) {
    for (const char drive : {'0', '9'}) {
        SCOPED_TRACE(drive);
        const std::wstring arguments = std::wstring(L"/T:") + static_cast<wchar_t>(drive) + L" /S:twin.txt";
        const std::string description = std::string("drive = ") + drive + "\n";
        const TempDirectory directory;
        const ToolRun probe = RunTool(directory, {arguments, description, {}, std::string(), PROBE});
        EXPECT_EQ(probe.exitCode, 0u);
        const std::string twin = ReadBytes(directory / L"twin.txt");
        EXPECT_NE(twin.find("\r\n" + description.substr(0, description.size() - 1) + "\r\n"),
                  std::string::npos)
            << twin;

        const TempDirectory again;
        const ToolRun twinProbe = RunTool(again, {arguments, twin, {}, std::string(), PROBE});
        EXPECT_EQ(twinProbe.exitCode, probe.exitCode);
        EXPECT_EQ(twinProbe.console, probe.console);
        EXPECT_EQ(ReadBytes(again / L"twin.txt"), twin);
    }
}

// One value line of the text report: the label, then the value in column 57.
std::string Line(const std::string& label, const std::string& value) {
    std::string line = "  " + label + ":";
    line.resize(56, ' ');
    return line + value + "\n";
}

TEST(ProbeReport, TextHasTheFixedLayout) {
    const std::string denied = WithoutLineEnd(SystemMessage(5));
    const std::string head = "Quillon probe v1.0.3\n" + Line("Drive", "\\\\.\\PhysicalDrive1");
    const std::string noIdentity = "\nIdentity\n" + Line("Bus type", "13 (MMC)") + Line("Vendor", "(none)") +
                                   Line("Product", "(none)") + Line("Product revision", "(none)") +
                                   Line("Serial number", "(none)") +
                                   Line("Maximum transfer length", "1048576");
    const struct {
        const char* name;
        std::string description;
        std::wstring arguments;
        DWORD exitCode;
        std::string report;
    } cases[] = {
        {"Inventory", INVENTORY, L"/D:fw.ffu /T:1 -T:2", 1,
         head + "\nIdentity\n" + Line("Bus type", "13 (MMC)") + Line("Vendor", "QSIM") +
             Line("Product", "Caf\xe9 \"#1\"") + Line("Product revision", "(empty)") +
             Line("Serial number", "(none)") + Line("Maximum transfer length", "131072") + "\nEXT_CSD\n" +
             Line("EXT_CSD_REV [192]", "7 (eMMC 5.0 or 5.01)") +
             Line("SUPPORTED_MODES [493]", "0x03 (FFU yes, vendor-specific mode yes)") +
             Line("FW_CONFIG [169]", "0x00 (Update_Disable no)") +
             Line("FIRMWARE_VERSION [261:254]", "46572d30312e3232 (FW-01.22)") +
             Line("DEVICE_VERSION [263:262]", "0x1234") + Line("FFU_STATUS [26]", "0x01") +
             Line("MODE_CONFIG [30]", "0x00") + Line("FFU_ARG [490:487]", "0x12345678") +
             Line("OPERATION_CODE_TIMEOUT [491]", "0x17") + Line("FFU_FEATURES [492]", "0x01") +
             Line("NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED [305:302]", "256") +
             Line("PRE_EOL_INFO [267]", "0x01 (normal)") +
             Line("DEVICE_LIFE_TIME_EST_TYP_A [268]", "0x02 (10-20% of the estimated life time used)") +
             Line("DEVICE_LIFE_TIME_EST_TYP_B [269]", "0x0B (the estimated life time exceeded)") +
             "\nFirmware information\n" + Line("Upgrade supported", "yes") + Line("Slot count", "3") +
             Line("Active slot", "0") + Line("Pending slot", "3") + Line("Firmware shared", "yes") +
             Line("Payload alignment", "4096") + Line("Payload maximum", "131072") +
             Line("Slot 0", "read-only, revision FW-01.22") + Line("Slot 3", "writable, revision FW-01.23") +
             Line("Slot 1", "writable, revision 00ff0000000000000000000000000000") + "\nVerdict\n" +
             Line("Quillon would", "fail") + Line("Slot", "3") + Line("Segment size", "61440") +
             Line("Failing request", "3 of 3, offset 122880") +
             Line("Windows refuses it",
                  "BufferSize is not a multiple of ImagePayloadAlignment (error 0x00000057: " +
                      WithoutLineEnd(SystemMessage(87)) + ")") +
             Line("Refusal", WithoutLineEnd(DOWNLOAD_FAILED)) + "\nPackage\n" + Line("Path", "fw.ffu") +
             Line("Length", "131584") + Line("Download requests", "3") + Line("Offsets", "0, 61440, 122880") +
             Line("Warning", "the length is not a multiple of the payload alignment")},
        {"DriveDoesNotOpen", "open_error = 5", L"-T:1", 1,
         head + Line("Open failed", "error 0x00000005: " + denied) + "\nIdentity\n" +
             Line("Not read", "the drive did not open") + "\nEXT_CSD\n" +
             Line("Not read", "the drive did not open") + "\nFirmware information\n" +
             Line("Not read", "the drive did not open") + "\nVerdict\n" + Line("Quillon would", "refuse") +
             Line("Refusal", "eMMC::eMMC - could not open device: " + denied)},
        {"RegisterUnreadable", "ext_csd_error = 5", L"/T:1", 1,
         head + noIdentity + "\nEXT_CSD\n" + Line("Not read", "error 0x00000005: " + denied) +
             "\nFirmware information\n" + Line("Upgrade supported", "yes") + Line("Slot count", "1") +
             Line("Active slot", "1") + Line("Pending slot", "255") + Line("Firmware shared", "no") +
             Line("Payload alignment", "512") + Line("Payload maximum", "65536") +
             Line("Slot 1", "writable, revision QSIM0001") + "\nVerdict\n" + Line("Quillon would", "refuse") +
             Line("Refusal", WithoutLineEnd(GENERAL_FAILURE))},
    };
    for (const Target target : {Target::Simulator, Target::Driver}) {
        for (const auto& [name, description, arguments, exitCode, report] : cases) {
            if (target == Target::Driver && description.find("open_error") != std::string::npos) {
                continue;
            }
            SCOPED_TRACE(std::string(name) + " on " + TargetName(target));
            const TempDirectory directory;
            WriteBytes(directory / L"fw.ffu", PatternBytes(PACKAGE_LENGTH));
            const ToolRun run = RunTool(
                directory, {arguments, "drive = 1\n" + description, {}, std::string(), PROBE, target});
            EXPECT_EQ(run.exitCode, exitCode);
            EXPECT_EQ(run.console, TextMode(report));
            EXPECT_EQ(run.errors, "");
        }
    }
}

// The registers of real eMMC parts (tests/data/real-extcsd) as the register of a device: every byte reaches
// the report, FIRMWARE_VERSION shows as the number most makers store (as text only where it is text), and
// the wear fields show what JEDEC says they mean.
TEST(ProbeReport, ShowsRealRegisters) {
    const std::string lowWear = "0x01 (0-10% of the estimated life time used)";
    const struct {
        const wchar_t* file;
        int revision;
        bool wouldUpdate;
        std::string version;
        Json versionText;
        Json versionNumber;
        std::string preEol;
        std::string lifeTime;
    } registers[] = {
        {L"sandisk-da4064-64g-emmc51-pinebook-pro.hex", 8, true, "3536323330613137 (56230a17)", "56230a17",
         nullptr, "0x01 (normal)", lowWear},
        {L"samsung-8g-emmc51-uboot.hex", 8, true, "0600000000000000 (number 6, 0x6)", nullptr, 6,
         "0x01 (normal)", lowWear},
        {L"unknown-64g-emmc51-aaru-test.hex", 8, true, "1b01000000000000 (number 283, 0x11B)", nullptr, 283,
         "0x01 (normal)", lowWear},
        {L"unknown-16g-emmc50-oznotes-extcsd.hex", 7, true, "0600000000000000 (number 6, 0x6)", nullptr, 6,
         "0x01 (normal)", lowWear},
        {L"unknown-8g-emmc50-oznotes-extcsd-on.hex", 7, true, "0100000000000000 (number 1, 0x1)", nullptr, 1,
         "0x01 (normal)", lowWear},
        {L"unknown-4g-emmc441-oznotes-extcsd1.hex", 5, false, "0000000000000000 (number 0, 0x0)", nullptr, 0,
         "0x00 (not defined)", "0x00 (not defined)"},
    };
    for (const Target target : {Target::Simulator, Target::Driver}) {
        for (const auto& row : registers) {
            SCOPED_TRACE(Narrow(row.file) + " on " + TargetName(target));
            const std::string hex = ReadBytes(BuiltProgram(std::wstring(L"real-extcsd\\") + row.file));
            ASSERT_EQ(hex.size(), 1024u);
            const std::string description = "drive = 1\next_csd = " + hex + "\n";
            const TempDirectory directory;
            const ToolRun text = RunTool(directory, {L"/T:1", description, {}, std::string(), PROBE, target});
            const ToolRun json =
                RunTool(directory, {L"/T:1 /J", description, {}, std::string(), PROBE, target});
            EXPECT_EQ(text.exitCode, row.wouldUpdate ? 0u : 1u);
            EXPECT_EQ(json.exitCode, text.exitCode);
            for (const std::string& line :
                 {Line("FIRMWARE_VERSION [261:254]", row.version), Line("PRE_EOL_INFO [267]", row.preEol),
                  Line("DEVICE_LIFE_TIME_EST_TYP_A [268]", row.lifeTime),
                  Line("DEVICE_LIFE_TIME_EST_TYP_B [269]", row.lifeTime)}) {
                EXPECT_NE(text.console.find(TextMode(line)), std::string::npos) << line << "in\n"
                                                                                << text.console;
            }
            ASSERT_TRUE(Json::accept(json.console)) << json.console;
            const Json extCsd = Json::parse(json.console)["ext_csd"];
            EXPECT_EQ(extCsd["raw"], hex);
            EXPECT_EQ(extCsd["ext_csd_rev"], row.revision);
            EXPECT_EQ(extCsd["firmware_version"], row.version.substr(0, 16));
            EXPECT_EQ(extCsd["firmware_version_text"], row.versionText);
            EXPECT_EQ(extCsd["firmware_version_number"], row.versionNumber);
            const std::string meaning = row.preEol.substr(row.preEol.find('(') + 1);
            EXPECT_EQ(extCsd["pre_eol_info_meaning"], meaning.substr(0, meaning.size() - 1));
            const std::string lifeTime = row.lifeTime.substr(row.lifeTime.find('(') + 1);
            EXPECT_EQ(extCsd["device_life_time_est_typ_a_meaning"], lifeTime.substr(0, lifeTime.size() - 1));
            EXPECT_EQ(extCsd["device_life_time_est_typ_b_meaning"], lifeTime.substr(0, lifeTime.size() - 1));
        }
    }
}

// Without a description the simulated eMMC says that it is one, and that it is simulated.
TEST(ProbeJson, BuiltInDeviceNamesItselfSimulated) {
    const TempDirectory directory;
    const ToolRun run = RunTool(directory, {L"/T:0 /J", std::string(), {}, std::string(), PROBE});
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_TRUE(Json::accept(run.console)) << run.console;
    const Json expected = {{"bus_type", 13},
                           {"bus_type_name", "MMC"},
                           {"vendor", nullptr},
                           {"product", "QSIM eMMC"},
                           {"product_revision", "QSIM0001"},
                           {"serial_number", "QSIM-0000-0001"},
                           {"max_transfer_length", 1048576}};
    EXPECT_EQ(Json::parse(run.console)["identity"], expected);
}

// A report that standard output does not take ends with 8, and the description file created for the run is
// removed again.
TEST(ProbeRefusal, LeavesNoDescriptionWhenTheReportIsNotWritten) {
    const TempDirectory directory;
    LaunchOptions launch = LaunchIn(directory, {L"/T:1 /S:twin.txt", "drive = 1", {}, std::string(), PROBE});
    launch.outputRefused = true;
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.exitCode, 8u);
    EXPECT_EQ(run.errors, TextMode("quillon-probe: could not write the report\n"));
    EXPECT_FALSE(FileExists(directory / L"twin.txt"));
}

// Windows' texts reach the JSON report as UTF-8 whatever the system's ANSI code page. The test also runs
// under Unix locales that give Wine another code page (Japanese 932, Russian 1251), named then by
// QUILLON_TEST_CODE_PAGE, where Wine's texts are Japanese or Russian.
TEST(ProbeJson, CarriesWindowsTextsAsUtf8) {
    if (const char* codePage = std::getenv("QUILLON_TEST_CODE_PAGE")) {
        ASSERT_EQ(std::to_string(GetACP()), codePage) << "the locale did not give Wine that code page";
    }
    const std::string denied = WithoutLineEnd(SystemMessageUtf8(ERROR_ACCESS_DENIED));
    const std::string missing = WithoutLineEnd(SystemMessageUtf8(ERROR_FILE_NOT_FOUND));
    const struct {
        std::string description;
        Json changes;
    } cases[] = {
        {"open_error = 5",
         {{"open_error", {{"code", 5}, {"text", denied}}},
          {"verdict", {{"refusal", "eMMC::eMMC - could not open device: " + SystemMessageUtf8(5)}}}}},
        {"ext_csd_error = 5\ninfo_error = 2",
         {{"ext_csd_error", {{"code", 5}, {"text", denied}}},
          {"firmware_info_error", {{"code", 2}, {"text", missing}}}}},
    };
    for (const auto& [description, changes] : cases) {
        SCOPED_TRACE(description);
        const TempDirectory directory;
        const ToolRun run =
            RunTool(directory, {L"/T:1 /J", "drive = 1\n" + description, {}, std::string(), PROBE});
        EXPECT_EQ(run.exitCode, 1u);
        // The parser refuses text that is not UTF-8.
        ASSERT_TRUE(Json::accept(run.console)) << run.console;
        const Json report = Json::parse(run.console);
        for (const auto& [key, value] : changes.items()) {
            for (const auto& [member, expected] : value.items()) {
                EXPECT_EQ(report[key][member], expected) << key << "." << member;
            }
        }
    }
}

// Runs that end before the device is asked: nothing reaches standard output, no request is sent and no
// description is written.
TEST(ProbeRefusal, EndsBeforeTheDeviceIsAsked) {
    // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): the fields follow the table's columns
    const struct {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        std::string errors;
        const wchar_t* heldGuard = nullptr;
        bool oldWindows = false;
        // The held guard's security (SDDL); none when this test holds it as a run does.
        const wchar_t* guardSecurity = nullptr;
    } cases[] = {
        {"NoDrive", L"/D:fw.ffu /J /S:new.txt /T:x", 8, "Usage:\n"},
        {"MissingPackage", L"/T:1 /D:none.ffu /S:new.txt", 8,
         "quillon-probe: could not open file 'none.ffu'\n"},
        {"PackageIsAFolder", L"/T:1 /D:folder /S:new.txt", 8,
         "quillon-probe: could not read file 'folder'\n"},
        {"PackageBeingWritten", L"/T:1 /D:copying.ffu /S:new.txt", 8,
         "quillon-probe: could not read file 'copying.ffu'\n"},
        {"ExistingDescription", L"/T:1 /D:fw.ffu /S:twin.txt", 8,
         "quillon-probe: 'twin.txt' exists already; a device description is only written to a new file\n"},
        {"GuardHeld", L"/T:1 /S:new.txt", 5, "quillon-probe: Quillon or another probe is running\n",
         INSTANCE_MUTEX_NAME},
        {"MachineWideGuardHeld", L"/T:1 /D:fw.ffu /S:new.txt", 5,
         "quillon-probe: Quillon or another probe is running\n", MACHINE_WIDE_INSTANCE_MUTEX_NAME},
        {"MachineWideGuardOfAnUntrustedOwner", L"/T:1 /S:new.txt", 5,
         "quillon-probe: the guard Global\\com.zelt.quillon is owned by S-1-5-21-1-2-3-1001, not by a "
         "trusted principal\n",
         MACHINE_WIDE_INSTANCE_MUTEX_NAME, false, UNTRUSTED_OWNER_SDDL},
        {"Windows81", L"/T:1 /S:new.txt", 9, "quillon-probe: not supported on this Windows version\n",
         nullptr, true},
    };
    for (const auto& [name, arguments, exitCode, errors, heldGuard, oldWindows, guardSecurity] : cases) {
        SCOPED_TRACE(name);
        const TempDirectory directory;
        WriteBytes(directory / L"fw.ffu", PatternBytes(65536));
        WriteBytes(directory / L"twin.txt", "earlier\n");
        CreateDirectoryW((directory / L"folder").c_str(), nullptr);
        const Win32::UniqueHandle copy = CopyInProgress(directory / L"copying.ffu", PatternBytes(65536));
        Win32::UniqueHandle guard;
        if (heldGuard != nullptr) {
            guard = guardSecurity != nullptr ? MutexWithSecurity(heldGuard, guardSecurity)
                                             : Win32::UniqueHandle(CreateMutexW(nullptr, TRUE, heldGuard));
        }
        // cppcheck-suppress unreadVariable ; the Windows version setting lasts as long as the object
        const std::optional<WineAppDefault> windows =
            oldWindows
                ? std::make_optional<WineAppDefault>(L"quillon-probe-sim.exe", L"", L"Version", L"win81")
                : std::nullopt;
        const ToolRun run = RunTool(directory, {arguments, "drive = 1", {}, std::string(), PROBE});
        EXPECT_EQ(run.exitCode, exitCode);
        EXPECT_EQ(run.console, "");
        // The usage text goes on after its first line.
        EXPECT_EQ(run.errors.substr(0, TextMode(errors).size()), TextMode(errors));
        EXPECT_TRUE(run.traceWritten);
        EXPECT_EQ(run.trace, "");
        EXPECT_FALSE(FileExists(directory / L"new.txt"));
        EXPECT_EQ(ReadBytes(directory / L"twin.txt"), "earlier\n");
    }
}

} // namespace
