#include "probe/json_report.h"

#include "cli/hex.h"
#include "cli/utf8.h"
#include "device/ext_csd.h"
#include "device/update_rules.h"
#include "diag/log_file.h"
#include "diag/win32_error.h"
#include "probe/report_fields.h"

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;
using namespace StorageFirmware;

namespace {

// 8-bit text as Quillon writes it. Its only bytes beyond ASCII come from Windows' own texts, which are in
// the system's ANSI code page (FormatMessageA), not Latin-1: a Russian or Japanese Windows gives them in
// 1251 or 932.
std::string FromAnsiCodePage(const std::string& text) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size);
    return Utf8::FromWide(wide);
}

Json Text(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json FailureOf(const std::optional<DeviceInventory::Failure>& failure) {
    if (!failure) {
        return nullptr;
    }
    return {{"code", failure->code}, {"text", FromAnsiCodePage(failure->text)}};
}

Json ExtCsdOf(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) {
        return nullptr;
    }
    const auto number = [&](std::size_t offset, std::size_t length) {
        return ReportFields::Number(bytes, offset, length);
    };
    const std::uint8_t* version = bytes.data() + ExtCsd::FIRMWARE_VERSION;
    const auto versionNumber = ReportFields::FirmwareVersionNumber(version);
    return {
        {"raw", Hex::Text(bytes.data(), bytes.size())},
        {"ext_csd_rev", bytes[ExtCsd::EXT_CSD_REV]},
        {"emmc_version", ReportFields::EmmcVersion(bytes[ExtCsd::EXT_CSD_REV])},
        {"supported_modes", bytes[ExtCsd::SUPPORTED_MODES]},
        {"ffu_supported", (bytes[ExtCsd::SUPPORTED_MODES] & ExtCsd::SUPPORTED_MODES_FFU) != 0},
        {"vendor_specific_mode", (bytes[ExtCsd::SUPPORTED_MODES] & ExtCsd::SUPPORTED_MODES_VSM) != 0},
        {"fw_config", bytes[ExtCsd::FW_CONFIG]},
        {"update_disable", (bytes[ExtCsd::FW_CONFIG] & ExtCsd::FW_CONFIG_UPDATE_DISABLE) != 0},
        {"firmware_version", Hex::Text(version, ExtCsd::FIRMWARE_VERSION_LENGTH)},
        {"firmware_version_text",
         Text(ReportFields::PrintableText(version, ExtCsd::FIRMWARE_VERSION_LENGTH))},
        {"firmware_version_number", versionNumber ? Json(*versionNumber) : Json(nullptr)},
        {"device_version", number(ExtCsd::DEVICE_VERSION, ExtCsd::DEVICE_VERSION_LENGTH)},
        {"ffu_status", bytes[ExtCsd::FFU_STATUS]},
        {"mode_config", bytes[ExtCsd::MODE_CONFIG]},
        {"ffu_arg", number(ExtCsd::FFU_ARG, ExtCsd::FFU_ARG_LENGTH)},
        {"operation_code_timeout", bytes[ExtCsd::OPERATION_CODE_TIMEOUT]},
        {"ffu_features", bytes[ExtCsd::FFU_FEATURES]},
        {"number_of_fw_sectors_correctly_programmed",
         number(ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED,
                ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED_LENGTH)},
        {"pre_eol_info", bytes[ExtCsd::PRE_EOL_INFO]},
        {"pre_eol_info_meaning", ReportFields::PreEolMeaning(bytes[ExtCsd::PRE_EOL_INFO])},
        {"device_life_time_est_typ_a", bytes[ExtCsd::DEVICE_LIFE_TIME_EST_TYP_A]},
        {"device_life_time_est_typ_a_meaning",
         ReportFields::LifeTimeMeaning(bytes[ExtCsd::DEVICE_LIFE_TIME_EST_TYP_A])},
        {"device_life_time_est_typ_b", bytes[ExtCsd::DEVICE_LIFE_TIME_EST_TYP_B]},
        {"device_life_time_est_typ_b_meaning",
         ReportFields::LifeTimeMeaning(bytes[ExtCsd::DEVICE_LIFE_TIME_EST_TYP_B])},
    };
}

Json IdentityOf(const DeviceInventory& inventory) {
    if (inventory.openFailure) {
        return nullptr;
    }
    const DriveIdentity& identity = inventory.identity;
    const auto busType = identity.BusType();
    const auto length = identity.MaximumTransferLength();
    Json json = {
        {"bus_type", busType ? Json(*busType) : Json(nullptr)},
        {"bus_type_name", busType ? Json(ReportFields::BusTypeName(*busType)) : Json(nullptr)},
    };
    for (const ReportFields::IdentityText& field : ReportFields::IDENTITY_TEXTS) {
        const auto value = identity.Trimmed(field.text);
        json[field.key] = value ? Json(Utf8::FromBytes(*value)) : Json(nullptr);
    }
    json["max_transfer_length"] = length ? Json(*length) : Json(nullptr);
    return json;
}

Json FirmwareInfoOf(const std::vector<std::uint8_t>& reply) {
    if (reply.empty()) {
        return nullptr;
    }
    const STORAGE_HW_FIRMWARE_INFO info = StorageFirmware::InfoOf(reply);
    Json slots = Json::array();
    for (const STORAGE_HW_FIRMWARE_SLOT_INFO& slot : ReportFields::Slots(reply)) {
        slots.push_back({
            {"slot_number", slot.SlotNumber},
            {"read_only", (slot.ReadOnly & SLOT_READ_ONLY) != 0},
            {"revision", Hex::Text(slot.Revision, sizeof(slot.Revision))},
            {"revision_text", Text(ReportFields::PrintableText(slot.Revision, sizeof(slot.Revision)))},
        });
    }
    return {
        {"support_upgrade", (info.SupportUpgrade & SUPPORT_UPGRADE) != 0},
        {"slot_count", info.SlotCount},
        {"active_slot", info.ActiveSlot},
        {"pending_activate_slot", info.PendingActivateSlot},
        {"firmware_shared", info.FirmwareShared != 0},
        {"image_payload_alignment", info.ImagePayloadAlignment},
        {"image_payload_max_size", info.ImagePayloadMaxSize},
        {"slots", slots},
    };
}

Json VerdictOf(const DeviceInventory::Verdict& verdict, const std::optional<PackageReport>& package) {
    const bool eligible = verdict.refusal.empty();
    const auto* failure = package && package->plan.failure ? &*package->plan.failure : nullptr;
    const std::string refusal = !eligible            ? verdict.refusal
                                : failure != nullptr ? NarrowText(UpdateRules::DOWNLOAD_FAILED)
                                                     : std::string();
    return {
        {"would_update", refusal.empty()},
        {"refusal", refusal.empty() ? Json(nullptr) : Json(FromAnsiCodePage(refusal))},
        {"slot", eligible ? Json(verdict.slot) : Json(nullptr)},
        {"segment_size", eligible ? Json(verdict.segmentSize) : Json(nullptr)},
        {"failure", failure == nullptr ? Json(nullptr)
                                       : Json{
                                             {"request", failure->request},
                                             {"offset", failure->offset},
                                             {"error", FailureOf(failure->error)},
                                             {"reason", failure->reason},
                                         }},
    };
}

Json PackageOf(const std::optional<PackageReport>& package) {
    if (!package) {
        return nullptr;
    }
    const PackagePlan& plan = package->plan;
    const bool planned = !plan.offsets.empty();
    return {
        {"path", Utf8::FromWide(package->path)},
        {"length", plan.length},
        {"download_requests", planned ? Json(plan.offsets.size()) : Json(nullptr)},
        {"offsets", planned ? Json(plan.offsets) : Json(nullptr)},
        {"aligned", plan.aligned ? Json(*plan.aligned) : Json(nullptr)},
    };
}

} // namespace

std::string JsonReport(const std::wstring& version, const DeviceInventory& inventory,
                       const std::optional<PackageReport>& package) {
    const Json report = {
        {"probe_version", version.empty() ? Json(nullptr) : Json(Utf8::FromWide(version))},
        {"drive", Utf8::FromWide(inventory.drivePath)},
        {"open_error", FailureOf(inventory.openFailure)},
        {"identity", IdentityOf(inventory)},
        {"device_descriptor_error", FailureOf(inventory.deviceDescriptorFailure)},
        {"adapter_descriptor_error", FailureOf(inventory.adapterDescriptorFailure)},
        {"ext_csd", ExtCsdOf(inventory.extCsd)},
        {"ext_csd_error", FailureOf(inventory.extCsdFailure)},
        {"firmware_info", FirmwareInfoOf(inventory.firmwareInfo)},
        {"firmware_info_error", FailureOf(inventory.firmwareInfoFailure)},
        {"verdict", VerdictOf(inventory.verdict, package)},
        {"package", PackageOf(package)},
    };
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string DiscoveryJsonReport(const std::wstring& version, const std::vector<DiscoveredDrive>& drives) {
    Json rows = Json::array();
    Json candidates = Json::array();
    for (const DiscoveredDrive& drive : drives) {
        const DeviceInventory& inventory = drive.inventory;
        const std::uint8_t* firmwareVersion =
            inventory.extCsd.empty() ? nullptr : inventory.extCsd.data() + ExtCsd::FIRMWARE_VERSION;
        const auto versionNumber =
            firmwareVersion == nullptr ? std::nullopt : ReportFields::FirmwareVersionNumber(firmwareVersion);
        rows.push_back({
            {"number", drive.number},
            {"drive", Utf8::FromWide(inventory.drivePath)},
            {"open_error", FailureOf(inventory.openFailure)},
            {"identity", IdentityOf(inventory)},
            {"device_descriptor_error", FailureOf(inventory.deviceDescriptorFailure)},
            {"adapter_descriptor_error", FailureOf(inventory.adapterDescriptorFailure)},
            {"ext_csd_read", firmwareVersion != nullptr},
            {"ext_csd_error", FailureOf(inventory.extCsdFailure)},
            {"firmware_version", firmwareVersion == nullptr
                                     ? Json(nullptr)
                                     : Json(Hex::Text(firmwareVersion, ExtCsd::FIRMWARE_VERSION_LENGTH))},
            {"firmware_version_text",
             firmwareVersion == nullptr
                 ? Json(nullptr)
                 : Text(ReportFields::PrintableText(firmwareVersion, ExtCsd::FIRMWARE_VERSION_LENGTH))},
            {"firmware_version_number", versionNumber ? Json(*versionNumber) : Json(nullptr)},
            {"emmc_candidate", drive.emmcCandidate},
            {"verdict", VerdictOf(inventory.verdict, std::nullopt)},
        });
        if (drive.emmcCandidate) {
            candidates.push_back(drive.number);
        }
    }
    const Json report = {
        {"probe_version", version.empty() ? Json(nullptr) : Json(Utf8::FromWide(version))},
        {"drives", rows},
        {"emmc_candidates", candidates},
    };
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
