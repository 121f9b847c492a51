#include "tests/random/update_oracle.h"

#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <algorithm>
#include <utility>

namespace TestSupport {

namespace {

constexpr DWORD IMAGE_INVALID = 0x80030209;
constexpr DWORD POWER_CYCLE_REQUIRED = 0x00030207;
constexpr std::uint32_t HEADER = 32;
constexpr std::uint32_t REQUEST_LIMIT = 65536;
constexpr std::uint8_t NO_SLOT = 255;
// Windows' class driver, in front of the device: what it answers, and the limits of its command for a
// segment.
constexpr DWORD INVALID_PARAMETER = 87;
constexpr DWORD BAD_LENGTH = 24;
constexpr DWORD GEN_FAILURE = 31;
constexpr std::uint32_t SHORTEST_DOWNLOAD = 40;
constexpr std::uint64_t WRITE_BUFFER_LIMIT = 0xFFFFFF;

std::string Result(const std::optional<DWORD>& error) {
    return error ? Trace::Error(*error) : "ok";
}

std::string ClassDriverRefuses(DWORD error) {
    return Trace::ClassDriverError(error);
}

// Ends the expectation with its closing message.
ExpectedUpdate Close(ExpectedUpdate&& expected, const std::string& closing, bool result = false) {
    expected.closing = closing;
    expected.log += closing;
    expected.result = result;
    return std::move(expected);
}

} // namespace

std::uint32_t SegmentSizeOf(std::uint32_t maxPayload, std::uint32_t alignment) {
    if (maxPayload < HEADER) {
        return 0;
    }
    return (std::min(maxPayload, REQUEST_LIMIT) - HEADER) & (0u - alignment);
}

ExpectedUpdate ExpectUpdate(const RandomDevice& device, std::string_view image) {
    ExpectedUpdate expected;
    auto& trace = expected.trace;

    // The drive opens, or its exception text is all that is written.
    trace.push_back(Trace::Open("1", Result(device.openError)));
    if (device.openError) {
        expected.closing = OpenDeviceError(*device.openError);
        return expected;
    }
    expected.log = OpenedDevice('1');

    // Eligibility: three EXT_CSD fields in this order; bytes the driver leaves unfilled read as zero.
    trace.push_back(Trace::ExtCsd(Result(device.extCsdError)));
    if (device.extCsdError) {
        return Close(std::move(expected), GENERAL_FAILURE);
    }
    const auto registerByte = [&device](std::uint32_t index, std::uint8_t value) {
        return index < device.extCsdFilled ? value : std::uint8_t{0};
    };
    if (registerByte(192, device.extCsdRev) < 7) {
        return Close(std::move(expected), VERSION_TOO_OLD);
    }
    if ((registerByte(493, device.supportedModes) & 0x01) == 0) {
        return Close(std::move(expected), MODE_UNSUPPORTED);
    }
    if ((registerByte(169, device.fwConfig) & 0x01) != 0) {
        return Close(std::move(expected), FFU_DISABLED);
    }

    // Slot choice: the first writable entry in table order, unless it carries the number 255.
    expected.log += UPDATING;
    if (device.infoError) {
        trace.push_back(Trace::GetInfo(Result(device.infoError)));
        return Close(std::move(expected), UNKNOWN_ERROR);
    }
    // Windows takes no report without a slot, or with a payload above what the adapter can transfer.
    if (device.slots.empty() ||
        device.maxPayload > device.maxTransferLength.value_or(DEFAULT_MAX_TRANSFER_LENGTH)) {
        trace.push_back(Trace::GetInfo(ClassDriverRefuses(GEN_FAILURE)));
        return Close(std::move(expected), UNKNOWN_ERROR);
    }
    trace.push_back(Trace::GetInfo());
    // Bit 0 alone counts; the other bits are reserved.
    if ((device.supportUpgrade & 1) == 0) {
        return Close(std::move(expected), NO_UPGRADE);
    }
    const auto writable =
        std::find_if(device.slots.begin(), device.slots.end(),
                     [](const RandomDevice::Slot& slot) { return (slot.readOnly & 1) == 0; });
    if (writable == device.slots.end() || writable->number == NO_SLOT) {
        return Close(std::move(expected), NO_FREE_SLOT);
    }
    const std::uint32_t segment = SegmentSizeOf(device.maxPayload, device.alignment);
    if (segment == 0) {
        return Close(std::move(expected), UNUSABLE_PAYLOAD);
    }
    expected.slot = writable->number;
    expected.segmentSize = segment;
    // Windows looks a download's slot up by its number: the first entry that carries it decides, and when
    // that one is read-only, it refuses every segment.
    const auto firstWithNumber =
        std::find_if(device.slots.begin(), device.slots.end(),
                     [&](const RandomDevice::Slot& slot) { return slot.number == expected.slot; });
    const bool slotReadOnly = (firstWithNumber->readOnly & 1) != 0;

    // Segments of the segment size while more than one remains, then exactly the rest, flagged as the
    // last: one request for an image no longer than a segment, an empty one included.
    expected.log += DOWNLOADING;
    const auto length = static_cast<std::uint32_t>(image.size());
    const std::uint32_t requests = length <= segment ? 1 : (length + segment - 1) / segment;
    for (std::uint32_t request = 1; request <= requests; ++request) {
        const bool last = request == requests;
        const std::uint32_t offset = (request - 1) * segment;
        const std::uint32_t payload = last ? length - offset : segment;
        expected.log += Progress(offset);
        // Windows takes only whole, aligned segments at offsets its command can carry; what it refuses
        // never reaches the device and its injected failures.
        std::string result;
        std::optional<DWORD> error;
        if (HEADER + payload < SHORTEST_DOWNLOAD) {
            error = BAD_LENGTH;
        } else if (slotReadOnly || payload % device.alignment != 0 || offset % device.alignment != 0 ||
                   offset > WRITE_BUFFER_LIMIT) {
            error = INVALID_PARAMETER;
        }
        if (error) {
            result = ClassDriverRefuses(*error);
        } else if (device.downloadError && device.downloadError->request == request) {
            error = device.downloadError->code;
            result = Result(error);
        } else {
            result = "ok";
        }
        trace.push_back(Trace::Download(image, offset, payload, last, expected.slot, result));
        if (error) {
            return Close(std::move(expected), *error == IMAGE_INVALID ? BAD_IMAGE : DOWNLOAD_FAILED);
        }
    }

    trace.push_back(Trace::Activate(expected.slot, Result(device.activateError)));
    if (!device.activateError) {
        return Close(std::move(expected), UPDATED, true);
    }
    switch (*device.activateError) {
    case POWER_CYCLE_REQUIRED:
        return Close(std::move(expected), UPDATED_REBOOT_REQUIRED, true);
    case IMAGE_INVALID:
        return Close(std::move(expected), BAD_IMAGE);
    default:
        return Close(std::move(expected), BAD_SLOT);
    }
}

} // namespace TestSupport
