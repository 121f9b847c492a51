// The reply to the firmware information query: the slot it offers, the segment size, and the download
// requests that cut an image into segments.
#include "device/storage_firmware.h"
#include "device/update_rules.h"
#include "fuzz/fuzz_check.h"
#include "probe/report_fields.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace StorageFirmware;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto imageLength = input.ConsumeIntegral<std::uint32_t>();
    // The driver fills a zeroed buffer of the whole reply's size as far as it goes.
    std::vector<std::uint8_t> reply = input.ConsumeRemainingBytes<std::uint8_t>();
    reply.resize(FIRMWARE_INFO_REPLY_SIZE);

    const STORAGE_HW_FIRMWARE_INFO info = InfoOf(reply);
    const auto slots = ReportFields::Slots(reply);
    Fuzz::Check(slots.size() == info.SlotCount, "the slot table holds the reply's slot count");
    const auto writable =
        std::find_if(slots.begin(), slots.end(), [](const STORAGE_HW_FIRMWARE_SLOT_INFO& slot) {
            return (slot.ReadOnly & SLOT_READ_ONLY) == 0;
        });
    const std::uint8_t chosen = UpdateRules::ChooseSlot(reply);
    Fuzz::Check(chosen == (writable == slots.end() ? UpdateRules::NO_SLOT : writable->SlotNumber),
                "the slot chosen is the first writable entry");

    const UpdateRules::DownloadPlan plan = UpdateRules::PlanDownload(reply);
    if (plan.refusal != nullptr) {
        Fuzz::Check(plan.segmentSize == 0 || plan.slot == UpdateRules::NO_SLOT ||
                        (info.SupportUpgrade & 1) == 0,
                    "a refused plan names what is missing");
        return 0;
    }
    Fuzz::Check((info.SupportUpgrade & SUPPORT_UPGRADE) != 0 && writable != slots.end() &&
                    plan.slot == chosen,
                "a download goes to the chosen slot of a device that takes upgrades");
    const std::uint32_t segment = plan.segmentSize;
    const std::uint32_t alignment = info.ImagePayloadAlignment;
    const std::uint32_t room = std::min(info.ImagePayloadMaxSize, MAX_DOWNLOAD_REQUEST_SIZE);
    Fuzz::Check(segment > 0 && segment + DOWNLOAD_HEADER_SIZE <= room,
                "a segment fits into a request with its header");
    // Devices align to a power of two; the segment is then the most whole units that fit.
    if ((alignment & (alignment - 1)) == 0) {
        Fuzz::Check(segment % alignment == 0 && segment + alignment + DOWNLOAD_HEADER_SIZE > room,
                    "a segment is the most whole alignment units that fit into a request");
    }

    // The first requests, the last ones and their count: contiguous, each of the segment size but the last,
    // which alone is flagged and ends exactly at the image's end.
    const std::uint32_t requests = UpdateRules::DownloadRequests(imageLength, segment);
    Fuzz::Check(requests >= 1 && static_cast<std::uint64_t>(requests - 1) * segment <= imageLength &&
                    (imageLength == 0 || static_cast<std::uint64_t>(requests) * segment >= imageLength),
                "the requests cover the image once");
    for (const std::uint32_t request : {0u, 1u, 2u, requests - 3, requests - 2, requests - 1}) {
        if (request >= requests) {
            continue;
        }
        const STORAGE_HW_FIRMWARE_DOWNLOAD header =
            UpdateRules::SegmentHeader(imageLength, segment, request, plan.slot);
        const bool last = request + 1 == requests;
        Fuzz::Check(
            header.Offset == static_cast<std::uint64_t>(request) * segment && header.Slot == plan.slot &&
                header.Version == STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION &&
                header.Size == header.BufferSize + DOWNLOAD_HEADER_SIZE &&
                (header.Flags == STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT) == last &&
                (last ? header.Offset + header.BufferSize == imageLength : header.BufferSize == segment),
            "a segment's header says where it lies in the image");
    }
    return 0;
}
