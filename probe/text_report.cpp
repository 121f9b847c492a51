#include "probe/text_report.h"

#include "cli/hex.h"
#include "device/ext_csd.h"
#include "device/update_rules.h"
#include "diag/log_file.h"
#include "diag/win32_error.h"
#include "probe/report_fields.h"

#include <algorithm>
#include <array>
#include <cstdio>

using namespace StorageFirmware;
using ReportFields::HexNumber;

namespace {

// Values start in this column, so that a script can cut them off at a fixed place.
constexpr std::size_t VALUE_COLUMN = 56;

std::string Line(const std::string& label, const std::string& value) {
    std::string line = "  " + label + ":";
    line.resize(std::max(VALUE_COLUMN, line.size() + 1), ' ');
    return line + value + "\n";
}

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

std::string Failed(const DeviceInventory::Failure& failure) {
    return Line("Not read", "error " + HexNumber(failure.code, 8) + ": " + failure.text);
}

// "0x" and the value in upper-case hexadecimal digits, as few as it takes.
std::string HexNumber64(std::uint64_t value) {
    std::array<char, 24> text{};
    // "0x", sixteen digits and the terminator at most: the text always fits.
    static_cast<void>(
        std::snprintf(text.data(), text.size(), "0x%llX", static_cast<unsigned long long>(value)));
    return text.data();
}

// The lines of what Windows says of an open drive.
std::string IdentityLines(const DeviceInventory& inventory) {
    std::string text;
    const DriveIdentity& identity = inventory.identity;
    if (inventory.deviceDescriptorFailure) {
        text += Line("Device descriptor not read", "error " +
                                                       HexNumber(inventory.deviceDescriptorFailure->code, 8) +
                                                       ": " + inventory.deviceDescriptorFailure->text);
    } else {
        const auto busType = identity.BusType();
        text += Line("Bus type",
                     busType ? std::to_string(*busType) + " (" + ReportFields::BusTypeName(*busType) + ")"
                             : "(none)");
        for (const ReportFields::IdentityText& field : ReportFields::IDENTITY_TEXTS) {
            const auto value = identity.Trimmed(field.text);
            text += Line(field.label, !value ? "(none)" : value->empty() ? "(empty)" : *value);
        }
    }
    if (inventory.adapterDescriptorFailure) {
        text += Line("Adapter descriptor not read",
                     "error " + HexNumber(inventory.adapterDescriptorFailure->code, 8) + ": " +
                         inventory.adapterDescriptorFailure->text);
    } else {
        const auto length = identity.MaximumTransferLength();
        text += Line("Maximum transfer length", length ? std::to_string(*length) : "(none)");
    }
    return text;
}

std::string IdentitySection(const DeviceInventory& inventory) {
    const std::string text = "\nIdentity\n";
    if (inventory.openFailure) {
        return text + Line("Not read", "the drive did not open");
    }
    return text + IdentityLines(inventory);
}

// The firmware version's bytes, and the text or the number they form.
std::string FirmwareVersionLine(const std::vector<std::uint8_t>& extCsd) {
    const std::uint8_t* version = extCsd.data() + ExtCsd::FIRMWARE_VERSION;
    const auto versionText = ReportFields::PrintableText(version, ExtCsd::FIRMWARE_VERSION_LENGTH);
    const auto versionNumber = ReportFields::FirmwareVersionNumber(version);
    return Line(
        "FIRMWARE_VERSION [261:254]",
        Hex::Text(version, ExtCsd::FIRMWARE_VERSION_LENGTH) + (versionText ? " (" + *versionText + ")" : "") +
            (versionNumber
                 ? " (number " + std::to_string(*versionNumber) + ", " + HexNumber64(*versionNumber) + ")"
                 : ""));
}

std::string ExtCsdSection(const DeviceInventory& inventory) {
    std::string text = "\nEXT_CSD\n";
    if (inventory.openFailure) {
        return text + Line("Not read", "the drive did not open");
    }
    if (inventory.extCsdFailure) {
        return text + Failed(*inventory.extCsdFailure);
    }
    const auto& bytes = inventory.extCsd;
    const auto byte = [&](const char* label, std::size_t offset) {
        return Line(std::string(label) + " [" + std::to_string(offset) + "]", HexNumber(bytes[offset], 2));
    };
    const std::uint8_t revision = bytes[ExtCsd::EXT_CSD_REV];
    const std::uint8_t modes = bytes[ExtCsd::SUPPORTED_MODES];
    const std::uint8_t config = bytes[ExtCsd::FW_CONFIG];
    text += Line("EXT_CSD_REV [192]",
                 std::to_string(revision) + " (eMMC " + ReportFields::EmmcVersion(revision) + ")");
    text += Line("SUPPORTED_MODES [493]",
                 HexNumber(modes, 2) + " (FFU " + YesNo(modes & ExtCsd::SUPPORTED_MODES_FFU) +
                     ", vendor-specific mode " + YesNo(modes & ExtCsd::SUPPORTED_MODES_VSM) + ")");
    text += Line("FW_CONFIG [169]", HexNumber(config, 2) + " (Update_Disable " +
                                        YesNo(config & ExtCsd::FW_CONFIG_UPDATE_DISABLE) + ")");
    text += FirmwareVersionLine(bytes);
    text += Line(
        "DEVICE_VERSION [263:262]",
        HexNumber(ReportFields::Number(bytes, ExtCsd::DEVICE_VERSION, ExtCsd::DEVICE_VERSION_LENGTH), 4));
    text += byte("FFU_STATUS", ExtCsd::FFU_STATUS);
    text += byte("MODE_CONFIG", ExtCsd::MODE_CONFIG);
    text += Line("FFU_ARG [490:487]",
                 HexNumber(ReportFields::Number(bytes, ExtCsd::FFU_ARG, ExtCsd::FFU_ARG_LENGTH), 8));
    text += byte("OPERATION_CODE_TIMEOUT", ExtCsd::OPERATION_CODE_TIMEOUT);
    text += byte("FFU_FEATURES", ExtCsd::FFU_FEATURES);
    text +=
        Line("NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED [305:302]",
             std::to_string(ReportFields::Number(bytes, ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED,
                                                 ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED_LENGTH)));
    const auto meaning = [&](const char* label, std::size_t offset, std::string (*meaningOf)(std::uint8_t)) {
        return Line(std::string(label) + " [" + std::to_string(offset) + "]",
                    HexNumber(bytes[offset], 2) + " (" + meaningOf(bytes[offset]) + ")");
    };
    text += meaning("PRE_EOL_INFO", ExtCsd::PRE_EOL_INFO, ReportFields::PreEolMeaning);
    text += meaning("DEVICE_LIFE_TIME_EST_TYP_A", ExtCsd::DEVICE_LIFE_TIME_EST_TYP_A,
                    ReportFields::LifeTimeMeaning);
    text += meaning("DEVICE_LIFE_TIME_EST_TYP_B", ExtCsd::DEVICE_LIFE_TIME_EST_TYP_B,
                    ReportFields::LifeTimeMeaning);
    return text;
}

std::string FirmwareInfoSection(const DeviceInventory& inventory) {
    std::string text = "\nFirmware information\n";
    if (inventory.openFailure) {
        return text + Line("Not read", "the drive did not open");
    }
    if (inventory.firmwareInfoFailure) {
        return text + Failed(*inventory.firmwareInfoFailure);
    }
    const STORAGE_HW_FIRMWARE_INFO info = StorageFirmware::InfoOf(inventory.firmwareInfo);
    text += Line("Upgrade supported", YesNo(info.SupportUpgrade & SUPPORT_UPGRADE));
    text += Line("Slot count", std::to_string(info.SlotCount));
    text += Line("Active slot", std::to_string(info.ActiveSlot));
    text += Line("Pending slot", std::to_string(info.PendingActivateSlot));
    text += Line("Firmware shared", YesNo(info.FirmwareShared != 0));
    text += Line("Payload alignment", std::to_string(info.ImagePayloadAlignment));
    text += Line("Payload maximum", std::to_string(info.ImagePayloadMaxSize));
    for (const STORAGE_HW_FIRMWARE_SLOT_INFO& slot : ReportFields::Slots(inventory.firmwareInfo)) {
        const auto revision = ReportFields::PrintableText(slot.Revision, sizeof(slot.Revision));
        text += Line("Slot " + std::to_string(slot.SlotNumber),
                     std::string((slot.ReadOnly & SLOT_READ_ONLY) != 0 ? "read-only" : "writable") +
                         ", revision " +
                         (revision ? *revision : Hex::Text(slot.Revision, sizeof(slot.Revision))));
    }
    return text;
}

std::string RefusalLines(const DeviceInventory::Verdict& verdict) {
    return Line("Quillon would", "refuse") + Line("Refusal", ReportFields::WithoutLineEnd(verdict.refusal));
}

std::string VerdictSection(const DeviceInventory& inventory, const std::optional<PackageReport>& package) {
    const DeviceInventory::Verdict& verdict = inventory.verdict;
    std::string text = "\nVerdict\n";
    if (!verdict.refusal.empty()) {
        return text + RefusalLines(verdict);
    }
    const auto* failure = package && package->plan.failure ? &*package->plan.failure : nullptr;
    text += Line("Quillon would", failure != nullptr ? "fail" : "update") +
            Line("Slot", std::to_string(verdict.slot)) +
            Line("Segment size", std::to_string(verdict.segmentSize));
    if (failure != nullptr) {
        text += Line("Failing request", std::to_string(failure->request) + " of " +
                                            std::to_string(package->plan.offsets.size()) + ", offset " +
                                            std::to_string(failure->offset));
        text += Line("Windows refuses it", failure->reason + " (error " + HexNumber(failure->error.code, 8) +
                                               ": " + failure->error.text + ")");
        text += Line("Refusal", ReportFields::WithoutLineEnd(NarrowText(UpdateRules::DOWNLOAD_FAILED)));
    }
    return text;
}

std::string PackageSection(const PackageReport& package) {
    std::string text = "\nPackage\n";
    text += Line("Path", NarrowText(package.path));
    text += Line("Length", std::to_string(package.plan.length));
    if (!package.plan.offsets.empty()) {
        text += Line("Download requests", std::to_string(package.plan.offsets.size()));
        std::string offsets;
        for (const std::uint32_t offset : package.plan.offsets) {
            offsets += (offsets.empty() ? "" : ", ") + std::to_string(offset);
        }
        text += Line("Offsets", offsets);
    }
    if (package.plan.aligned == false) {
        text += Line("Warning", "the length is not a multiple of the payload alignment");
    }
    return text;
}

std::string ProgramLine(const std::wstring& version) {
    return "Quillon probe " +
           (version.empty() ? std::string("(unknown version)") : "v" + NarrowText(version)) + "\n";
}

std::string OpenFailedLine(const DeviceInventory::Failure& failure) {
    return Line("Open failed", "error " + HexNumber(failure.code, 8) + ": " + failure.text);
}

std::string DiscoveredSection(const DiscoveredDrive& drive) {
    const DeviceInventory& inventory = drive.inventory;
    std::string text =
        "\nDrive " + std::to_string(drive.number) + "\n" + Line("Path", NarrowText(inventory.drivePath));
    if (inventory.openFailure) {
        return text + OpenFailedLine(*inventory.openFailure);
    }
    text += IdentityLines(inventory);
    if (inventory.extCsdFailure) {
        text += Line("EXT_CSD", "not read (error " + HexNumber(inventory.extCsdFailure->code, 8) + ": " +
                                    inventory.extCsdFailure->text + ")");
    } else {
        const std::uint8_t revision = inventory.extCsd[ExtCsd::EXT_CSD_REV];
        text += Line("EXT_CSD", "read (EXT_CSD_REV " + std::to_string(revision) + ", eMMC " +
                                    ReportFields::EmmcVersion(revision) + ")");
        text += FirmwareVersionLine(inventory.extCsd);
    }
    text += Line("eMMC candidate", YesNo(drive.emmcCandidate));
    return text + (inventory.verdict.refusal.empty() ? Line("Quillon would", "update")
                                                     : RefusalLines(inventory.verdict));
}

} // namespace

std::string TextReport(const std::wstring& version, const DeviceInventory& inventory,
                       const std::optional<PackageReport>& package) {
    std::string text = ProgramLine(version);
    text += Line("Drive", NarrowText(inventory.drivePath));
    if (inventory.openFailure) {
        text += OpenFailedLine(*inventory.openFailure);
    }
    text += IdentitySection(inventory) + ExtCsdSection(inventory) + FirmwareInfoSection(inventory) +
            VerdictSection(inventory, package);
    if (package) {
        text += PackageSection(*package);
    }
    return text;
}

std::string DiscoveryTextReport(const std::wstring& version, const std::vector<DiscoveredDrive>& drives) {
    std::string text = ProgramLine(version) + Line("Drives", "0 to 9");
    std::string candidates;
    std::size_t count = 0;
    for (const DiscoveredDrive& drive : drives) {
        text += DiscoveredSection(drive);
        if (drive.emmcCandidate) {
            candidates += (count++ == 0 ? "" : ", ") + std::to_string(drive.number);
        }
    }
    return text + "\nSummary\n" +
           Line("eMMC candidates", count == 0 ? "none" : (count == 1 ? "drive " : "drives ") + candidates);
}
