#pragma once

#include "device/storage_firmware.h"

#include <cstdint>
#include <vector>

// The decisions of an update, as pure functions of what the device and its driver answered: whether the
// EXT_CSD bytes admit an update, which slot the information reply offers, how the image is cut into
// segments. The eMMC object takes its decisions here, and so does every program that must predict them.
namespace UpdateRules {

// The slot number that stands for "none found".
constexpr std::uint8_t NO_SLOT = 255;

// The line of a device whose EXT_CSD cannot be read.
extern const wchar_t* const EXT_CSD_UNREADABLE;
// The line of a device whose firmware information cannot be queried.
extern const wchar_t* const FIRMWARE_INFO_UNAVAILABLE;
// The line of a download request that fails with any error but a rejected image.
extern const wchar_t* const DOWNLOAD_FAILED;

// The refusal line for these 512 register bytes, or nullptr when they admit an update. At most one
// reason is given: the revision first, then the FFU mode, then Update_Disable.
const wchar_t* EligibilityRefusal(const std::vector<std::uint8_t>& extCsd);

// What the firmware information reply decides before anything is downloaded.
struct DownloadPlan {
    // The refusal line, or nullptr when the download can start.
    const wchar_t* refusal = nullptr;
    std::uint8_t slot = NO_SLOT;
    std::uint32_t segmentSize = 0;
};
// From the whole reply buffer as the driver filled it.
DownloadPlan PlanDownload(const std::vector<std::uint8_t>& reply);

// The first writable entry of the reply's slot table, whatever its number; NO_SLOT when there is none.
std::uint8_t ChooseSlot(const std::vector<std::uint8_t>& reply);

// The payload of every segment but the last: the largest multiple of the alignment that fits into one
// request together with its header. 0 when the driver's report leaves no room for a payload.
std::uint32_t SegmentSize(std::uint32_t maxPayloadSize, std::uint32_t alignment);

// How many download requests carry an image of this length: one for an image no longer than a segment
// (an empty image too), otherwise one per segment, the last one short or full. segmentSize is not 0.
std::uint32_t DownloadRequests(std::uint32_t imageLength, std::uint32_t segmentSize);

// The header of download request `request` (counting from 0) of an image of this length: every segment but
// the last of the segment size, the last one exactly the bytes that remain, unpadded, and flagged as the
// last; an empty image is one empty last segment.
StorageFirmware::STORAGE_HW_FIRMWARE_DOWNLOAD
SegmentHeader(std::uint32_t imageLength, std::uint32_t segmentSize, std::uint32_t request, std::uint8_t slot);

} // namespace UpdateRules
