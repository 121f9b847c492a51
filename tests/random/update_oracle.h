#pragma once

#include "tests/random/random_device.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

// What the rules of the update say a device must see and the tool must write, worked out from the device's
// behaviour alone, never from a run of the tool.
struct ExpectedUpdate {
    // What eMMC reports: true only when an activation put the image in place.
    bool result = false;
    // Every message that eMMC writes, from the opened-device line to the closing message ("\n" line ends).
    std::string log;
    // The last word of the device phase: the closing message, or for a drive that does not open the text of
    // the exception, which the program driver writes unchanged.
    std::string closing;
    // Every request line the simulated device records, in order.
    std::vector<std::string> trace;
    // The slot that receives the image, and the payload of every segment but the last; 0 when no download
    // is sent.
    std::uint8_t slot = 0;
    std::uint32_t segmentSize = 0;
};

// The segment size that a device's report gives: min(max, 65536) less the 32-byte request header, masked
// to the alignment in unsigned 32-bit arithmetic. 0 when the report leaves no room for a payload: a maximum
// below the header's 32 bytes (the subtraction would wrap), or a result of 0 (alignment 0, or less than one
// unit beside the header). The tool refuses such a report as an unusable payload size.
std::uint32_t SegmentSizeOf(std::uint32_t maxPayload, std::uint32_t alignment);

ExpectedUpdate ExpectUpdate(const RandomDevice& device, std::string_view image);

} // namespace TestSupport
