#include "device/class_driver.h"

#include "device/storage_firmware.h"

#include <algorithm>
#include <cstring>

using namespace StorageFirmware;

namespace ClassDriver {

namespace {

template <typename T> T Read(const void* input) {
    T fields;
    std::memcpy(&fields, input, sizeof(fields));
    return fields;
}

STORAGE_HW_FIRMWARE_INFO Info(const std::vector<std::uint8_t>& cachedInfo) {
    STORAGE_HW_FIRMWARE_INFO info{};
    // An empty reply has no buffer to copy from, not even nothing.
    if (!cachedInfo.empty()) {
        std::memcpy(&info, cachedInfo.data(), std::min(cachedInfo.size(), sizeof(info)));
    }
    return info;
}

// The first entry of the slot table that carries the number, as the class driver searches it; entries
// beyond what the device filled read as zero.
std::optional<STORAGE_HW_FIRMWARE_SLOT_INFO> FindSlot(const std::vector<std::uint8_t>& cachedInfo,
                                                      std::uint8_t number) {
    const std::uint8_t count = Info(cachedInfo).SlotCount;
    for (std::size_t i = 0; i < count; ++i) {
        STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
        const std::size_t offset = sizeof(STORAGE_HW_FIRMWARE_INFO) + i * sizeof(slot);
        if (offset < cachedInfo.size()) {
            std::memcpy(&slot, cachedInfo.data() + offset,
                        std::min(cachedInfo.size() - offset, sizeof(slot)));
        }
        if (slot.SlotNumber == number) {
            return slot;
        }
    }
    return std::nullopt;
}

// SupportUpgrade and ReadOnly are one-bit fields in the SDK's structures: the class driver's tests of them
// see bit 0 alone, never the reserved bits beside it.
bool SupportsUpgrade(const STORAGE_HW_FIRMWARE_INFO& info) {
    return (info.SupportUpgrade & SUPPORT_UPGRADE) != 0;
}

Refusal Refused(Status status, const char* reason) {
    return {LastError(status), reason};
}

// winerror.h's codes that RtlNtStatusToDosError gives for the statuses above.
namespace WinError {
constexpr std::uint32_t INVALID_FUNCTION = 1;
constexpr std::uint32_t BAD_LENGTH = 24;
constexpr std::uint32_t GEN_FAILURE = 31;
constexpr std::uint32_t NOT_SUPPORTED = 50;
constexpr std::uint32_t INVALID_PARAMETER = 87;
constexpr std::uint32_t INSUFFICIENT_BUFFER = 122;
} // namespace WinError

} // namespace

std::uint32_t LastError(Status status) {
    switch (status) {
    case Status::Unsuccessful:
        return WinError::GEN_FAILURE;
    case Status::NotImplemented:
        return WinError::INVALID_FUNCTION;
    case Status::InfoLengthMismatch:
        return WinError::BAD_LENGTH;
    case Status::InvalidParameter:
    case Status::InvalidParameter1:
        return WinError::INVALID_PARAMETER;
    case Status::InvalidDeviceRequest:
        return WinError::INVALID_FUNCTION;
    case Status::BufferTooSmall:
        return WinError::INSUFFICIENT_BUFFER;
    case Status::NotSupported:
        return WinError::NOT_SUPPORTED;
    }
    return WinError::GEN_FAILURE;
}

std::optional<Status> StatusGiving(std::uint32_t lastError) {
    for (const Status status : {Status::Unsuccessful, Status::NotImplemented, Status::InfoLengthMismatch,
                                Status::InvalidParameter, Status::BufferTooSmall, Status::NotSupported}) {
        if (LastError(status) == lastError) {
            return status;
        }
    }
    return std::nullopt;
}

bool LowerLayerNotSupport(Status status) {
    return status == Status::NotSupported || status == Status::NotImplemented ||
           status == Status::InvalidDeviceRequest || status == Status::InvalidParameter1;
}

std::optional<Refusal> GetInfoProcess(std::uint32_t inputLength, std::uint32_t outputLength) {
    if (inputLength < sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY)) {
        return Refused(Status::InfoLengthMismatch,
                       "the input is shorter than STORAGE_HW_FIRMWARE_INFO_QUERY");
    }
    if (outputLength < FIRMWARE_INFO_WITH_ONE_SLOT) {
        return Refused(Status::BufferTooSmall, "the output is shorter than STORAGE_HW_FIRMWARE_INFO");
    }
    return std::nullopt;
}

std::optional<Refusal> GetHwFirmwareInfo(const std::vector<std::uint8_t>& reply,
                                         std::uint32_t maxTransferLength) {
    const STORAGE_HW_FIRMWARE_INFO info = Info(reply);
    if (info.Version < FIRMWARE_INFO_WITH_ONE_SLOT || info.Size < FIRMWARE_INFO_WITH_ONE_SLOT) {
        return Refused(Status::Unsuccessful,
                       "the device's Version or Size is below STORAGE_HW_FIRMWARE_INFO");
    }
    if (info.SlotCount == 0) {
        return Refused(Status::Unsuccessful, "the device reports no slot");
    }
    if (info.ImagePayloadMaxSize > maxTransferLength) {
        return Refused(Status::Unsuccessful,
                       "ImagePayloadMaxSize is above the adapter's MaximumTransferLength");
    }
    return std::nullopt;
}

std::uint32_t InfoReplyLength(const std::vector<std::uint8_t>& cachedInfo, std::uint32_t outputLength) {
    return std::min<std::uint32_t>(outputLength, Info(cachedInfo).Size);
}

std::optional<Refusal> DownloadProcess(const void* input, std::uint32_t inputLength,
                                       const CachedInfo& cachedInfo,
                                       std::optional<std::uint32_t> maxTransferLength) {
    // The SDK's structure ends in a one-byte image array, padded to 40 bytes.
    if (input == nullptr || inputLength < STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION) {
        return Refused(Status::InfoLengthMismatch,
                       "the request is shorter than STORAGE_HW_FIRMWARE_DOWNLOAD");
    }
    const auto request = Read<STORAGE_HW_FIRMWARE_DOWNLOAD>(input);
    if (request.Version < STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION) {
        return Refused(Status::InvalidParameter, "Version is below 40");
    }
    if (request.Size > inputLength) {
        return Refused(Status::InvalidParameter, "Size is above the input length");
    }
    if (request.BufferSize + DOWNLOAD_HEADER_SIZE > request.Size) {
        return Refused(Status::InvalidParameter, "BufferSize and the header are above Size");
    }
    // A request for the controller's firmware goes down unchecked.
    if ((request.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) != 0) {
        return std::nullopt;
    }
    const auto cached = cachedInfo();
    if (const auto* refusal = std::get_if<Refusal>(&cached)) {
        return *refusal;
    }
    const std::vector<std::uint8_t>& information = *std::get<const std::vector<std::uint8_t>*>(cached);
    const STORAGE_HW_FIRMWARE_INFO info = Info(information);
    if (!SupportsUpgrade(info) || info.ImagePayloadAlignment == 0) {
        return Refused(Status::NotSupported, "the device supports no upgrade or reports alignment 0");
    }
    const auto slot = FindSlot(information, request.Slot);
    if (!slot) {
        return Refused(Status::InvalidParameter, "the slot is not in the device's slot table");
    }
    if ((slot->ReadOnly & SLOT_READ_ONLY) != 0) {
        return Refused(Status::InvalidParameter, "the slot is read-only");
    }
    const std::uint32_t alignment = info.ImagePayloadAlignment;
    if (request.BufferSize == 0) {
        return Refused(Status::InvalidParameter, "BufferSize is 0");
    }
    if (request.BufferSize % alignment != 0) {
        return Refused(Status::InvalidParameter, "BufferSize is not a multiple of ImagePayloadAlignment");
    }
    if (request.BufferSize > info.ImagePayloadMaxSize) {
        return Refused(Status::InvalidParameter, "BufferSize is above ImagePayloadMaxSize");
    }
    if (maxTransferLength && request.BufferSize > *maxTransferLength) {
        return Refused(Status::InvalidParameter, "BufferSize is above the adapter's MaximumTransferLength");
    }
    if (request.Offset % alignment != 0) {
        return Refused(Status::InvalidParameter, "Offset is not a multiple of ImagePayloadAlignment");
    }
    if (request.Offset > WRITE_BUFFER_FIELD_MAX) {
        return Refused(Status::InvalidParameter, "Offset is above 0xFFFFFF");
    }
    if (request.BufferSize > WRITE_BUFFER_FIELD_MAX) {
        return Refused(Status::InvalidParameter, "BufferSize is above 0xFFFFFF");
    }
    return std::nullopt;
}

std::optional<Refusal> ActivateProcess(const void* input, std::uint32_t inputLength,
                                       const CachedInfo& cachedInfo) {
    if (input == nullptr || inputLength < sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refused(Status::InfoLengthMismatch,
                       "the request is shorter than STORAGE_HW_FIRMWARE_ACTIVATE");
    }
    const auto request = Read<STORAGE_HW_FIRMWARE_ACTIVATE>(input);
    if (request.Version < sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refused(Status::InvalidParameter, "Version is below 16");
    }
    if (request.Size > inputLength) {
        return Refused(Status::InvalidParameter, "Size is above the input length");
    }
    if ((request.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) != 0) {
        return std::nullopt;
    }
    const auto cached = cachedInfo();
    if (const auto* refusal = std::get_if<Refusal>(&cached)) {
        return *refusal;
    }
    const std::vector<std::uint8_t>& information = *std::get<const std::vector<std::uint8_t>*>(cached);
    if (!SupportsUpgrade(Info(information))) {
        return Refused(Status::NotSupported, "the device supports no upgrade");
    }
    // A read-only slot may be activated: it holds firmware already.
    if (!FindSlot(information, request.Slot)) {
        return Refused(Status::InvalidParameter, "the slot is not in the device's slot table");
    }
    return std::nullopt;
}

} // namespace ClassDriver
