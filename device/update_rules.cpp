#include "device/update_rules.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"

#include <algorithm>
#include <cstring>

using namespace StorageFirmware;

namespace UpdateRules {

const wchar_t* const EXT_CSD_UNREADABLE = L"eMMC::CanUpdateFirmware - cannot update (general failure)\n";
const wchar_t* const FIRMWARE_INFO_UNAVAILABLE = L"eMMC::UpdateFirmware - unknown error\n";
const wchar_t* const DOWNLOAD_FAILED = L"eMMC::UpdateFirmware - failure to download\n";

const wchar_t* EligibilityRefusal(const std::vector<std::uint8_t>& extCsd) {
    if (extCsd[ExtCsd::EXT_CSD_REV] < ExtCsd::EXT_CSD_REV_EMMC_5_0) {
        return L"eMMC::CanUpdateFirmware - cannot update (eMMC version < 5.0)\n";
    }
    if ((extCsd[ExtCsd::SUPPORTED_MODES] & ExtCsd::SUPPORTED_MODES_FFU) == 0) {
        return L"eMMC::CanUpdateFirmware - cannot update (unsupported eMMC mode)\n";
    }
    if ((extCsd[ExtCsd::FW_CONFIG] & ExtCsd::FW_CONFIG_UPDATE_DISABLE) != 0) {
        return L"eMMC::CanUpdateFirmware - cannot update (FFU disabled)\n";
    }
    return nullptr;
}

std::uint8_t ChooseSlot(const std::vector<std::uint8_t>& reply) {
    const std::uint8_t slotCount = reply[offsetof(STORAGE_HW_FIRMWARE_INFO, SlotCount)];
    for (std::size_t i = 0; i < slotCount; ++i) {
        STORAGE_HW_FIRMWARE_SLOT_INFO slot;
        std::memcpy(&slot, reply.data() + sizeof(STORAGE_HW_FIRMWARE_INFO) + i * sizeof(slot), sizeof(slot));
        if ((slot.ReadOnly & SLOT_READ_ONLY) == 0) {
            return slot.SlotNumber;
        }
    }
    return NO_SLOT;
}

std::uint32_t SegmentSize(std::uint32_t maxPayloadSize, std::uint32_t alignment) {
    // An alignment of 0, a maximum size below the header's, or less than one alignment unit left after
    // the header all give 0.
    const std::uint32_t requestSize = std::min(maxPayloadSize, MAX_DOWNLOAD_REQUEST_SIZE);
    if (requestSize < DOWNLOAD_HEADER_SIZE) {
        return 0;
    }
    return (requestSize - DOWNLOAD_HEADER_SIZE) & (0u - alignment);
}

DownloadPlan PlanDownload(const std::vector<std::uint8_t>& reply) {
    const STORAGE_HW_FIRMWARE_INFO info = InfoOf(reply);
    DownloadPlan plan;
    if ((info.SupportUpgrade & SUPPORT_UPGRADE) == 0) {
        plan.refusal = L"eMMC::UpdateFirmware - no upgrade supported\n";
        return plan;
    }
    plan.slot = ChooseSlot(reply);
    if (plan.slot == NO_SLOT) {
        plan.refusal = L"eMMC::UpdateFirmware - no free slot found\n";
        return plan;
    }
    plan.segmentSize = SegmentSize(info.ImagePayloadMaxSize, info.ImagePayloadAlignment);
    if (plan.segmentSize == 0) {
        plan.refusal = L"eMMC::UpdateFirmware - unusable payload size\n";
    }
    return plan;
}

std::uint32_t DownloadRequests(std::uint32_t imageLength, std::uint32_t segmentSize) {
    if (imageLength <= segmentSize) {
        return 1;
    }
    return imageLength / segmentSize + (imageLength % segmentSize != 0 ? 1 : 0);
}

STORAGE_HW_FIRMWARE_DOWNLOAD SegmentHeader(std::uint32_t imageLength, std::uint32_t segmentSize,
                                           std::uint32_t request, std::uint8_t slot) {
    const bool last = request + 1 == DownloadRequests(imageLength, segmentSize);
    const std::uint32_t offset = request * segmentSize;
    const std::uint32_t length = last ? imageLength - offset : segmentSize;
    return {STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION,
            length + DOWNLOAD_HEADER_SIZE,
            last ? STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT : 0u,
            slot,
            {},
            offset,
            length};
}

} // namespace UpdateRules
