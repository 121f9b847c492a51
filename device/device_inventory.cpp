#include "device/device_inventory.h"

#include "device/class_driver.h"
#include "device/emmc.h"
#include "device/update_rules.h"
#include "diag/log_file.h"
#include "diag/win32_error.h"

#include <memory>

namespace {

DeviceInventory::Failure FailureOf(DWORD code) {
    return {code, Windows::SystemText(code)};
}

// Quillon asks EXT_CSD first and the firmware information only after a yes; the first refusal on that
// way is the one it ends with.
DeviceInventory::Verdict Judge(const DeviceInventory& inventory, const std::string& openRefusal) {
    DeviceInventory::Verdict verdict;
    if (inventory.openFailure) {
        verdict.refusal = openRefusal;
    } else if (inventory.extCsdFailure) {
        verdict.refusal = NarrowText(UpdateRules::EXT_CSD_UNREADABLE);
    } else if (const wchar_t* refusal = UpdateRules::EligibilityRefusal(inventory.extCsd)) {
        verdict.refusal = NarrowText(refusal);
    } else if (inventory.firmwareInfoFailure) {
        verdict.refusal = NarrowText(UpdateRules::FIRMWARE_INFO_UNAVAILABLE);
    } else {
        const UpdateRules::DownloadPlan plan = UpdateRules::PlanDownload(inventory.firmwareInfo);
        if (plan.refusal != nullptr) {
            verdict.refusal = NarrowText(plan.refusal);
        }
        verdict.slot = plan.slot;
        verdict.segmentSize = plan.segmentSize;
    }
    return verdict;
}

} // namespace

DeviceInventory TakeInventory(const std::wstring& drivePath) {
    DeviceInventory inventory;
    inventory.drivePath = drivePath;
    std::string openRefusal;
    try {
        const auto device = std::make_unique<eMMC>(drivePath);
        std::vector<std::uint8_t> bytes;
        if (const auto error = device->ReadExtCsd(bytes)) {
            inventory.extCsdFailure = FailureOf(*error);
        } else {
            inventory.extCsd = std::move(bytes);
        }
        if (const auto error = device->ReadFirmwareInfo(bytes)) {
            inventory.firmwareInfoFailure = FailureOf(*error);
        } else {
            inventory.firmwareInfo = std::move(bytes);
        }
        inventory.identity = DriveIdentity::Read(*device);
        if (const auto error = inventory.identity.DeviceError()) {
            inventory.deviceDescriptorFailure = FailureOf(*error);
        }
        if (const auto error = inventory.identity.AdapterError()) {
            inventory.adapterDescriptorFailure = FailureOf(*error);
        }
    } catch (const Windows::Win32Error& error) {
        inventory.openFailure = FailureOf(error.Code());
        openRefusal = error.what();
    }
    inventory.verdict = Judge(inventory, openRefusal);
    return inventory;
}

PackagePlan PlanPackage(const DeviceInventory& inventory, std::uint32_t length) {
    PackagePlan plan;
    plan.length = length;
    if (inventory.verdict.refusal.empty()) {
        const std::uint32_t segmentSize = inventory.verdict.segmentSize;
        const std::uint32_t requests = UpdateRules::DownloadRequests(length, segmentSize);
        for (std::uint32_t request = 0; request < requests; ++request) {
            const StorageFirmware::STORAGE_HW_FIRMWARE_DOWNLOAD header =
                UpdateRules::SegmentHeader(length, segmentSize, request, inventory.verdict.slot);
            const auto offset = static_cast<std::uint32_t>(header.Offset);
            plan.offsets.push_back(offset);
            // The header alone decides; the payload is never looked at. The adapter's transfer limit is left
            // out: a device whose maximum payload exceeds it never answers the information query.
            if (!plan.failure) {
                if (const auto refusal = ClassDriver::DownloadProcess(
                        &header, header.Size, [&] { return &inventory.firmwareInfo; }, std::nullopt)) {
                    plan.failure =
                        PackagePlan::Failure{request + 1, offset, FailureOf(refusal->error), refusal->reason};
                }
            }
        }
    }
    if (!inventory.firmwareInfo.empty()) {
        const std::uint32_t alignment = StorageFirmware::InfoOf(inventory.firmwareInfo).ImagePayloadAlignment;
        if (alignment != 0) {
            plan.aligned = length % alignment == 0;
        }
    }
    return plan;
}
