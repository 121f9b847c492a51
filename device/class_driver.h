#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

// What Windows' disk class driver checks of the storage firmware requests on \\.\PhysicalDriveN before the
// port driver under it sees them. Every such request of an eMMC passes through it on its way to the SD port
// driver. Written from the class driver's published source (classpnp, utils.c, among Microsoft's Windows
// driver samples); each function is named after the routine whose checks it makes. A refusal carries the
// status the class driver completes the request with; none means that the request goes down to the device.
//
// The simulated device puts these checks in front of its eMMC model, and the probe predicts with them what
// Windows will refuse of a package.
namespace ClassDriver {

enum class Status : std::uint32_t {
    Unsuccessful = 0xC0000001,         // STATUS_UNSUCCESSFUL
    NotImplemented = 0xC0000002,       // STATUS_NOT_IMPLEMENTED
    InfoLengthMismatch = 0xC0000004,   // STATUS_INFO_LENGTH_MISMATCH
    InvalidParameter = 0xC000000D,     // STATUS_INVALID_PARAMETER
    InvalidDeviceRequest = 0xC0000010, // STATUS_INVALID_DEVICE_REQUEST
    BufferTooSmall = 0xC0000023,       // STATUS_BUFFER_TOO_SMALL
    NotSupported = 0xC00000BB,         // STATUS_NOT_SUPPORTED
    InvalidParameter1 = 0xC00000EF,    // STATUS_INVALID_PARAMETER_1
};

// A request that the class driver fails before the device sees it.
struct Refusal {
    // The last error that the caller reads: of the class driver's own status, or of the device's failure
    // to answer the class driver's information query, which it passes on.
    std::uint32_t error;
    // Which check refused, in the words of the request's fields.
    const char* reason;
};

// The last error that the caller of DeviceIoControl reads after the status, as the system maps it
// (RtlNtStatusToDosError).
std::uint32_t LastError(Status status);
// The status whose last error this is; none for a last error that no status of the class driver gives.
// Of two statuses with one last error it gives the one that a storage driver completes requests with:
// STATUS_NOT_IMPLEMENTED for 1, STATUS_INVALID_PARAMETER for 87.
std::optional<Status> StatusGiving(std::uint32_t lastError);

// ClasspLowerLayerNotSupport: a status with which the device below says that it takes no such request at
// all (ClassDriverCache keeps what the class driver makes of it).
bool LowerLayerNotSupport(Status status);

// The SCSI WRITE BUFFER command that carries a segment has 3 bytes for its offset and its length.
constexpr std::uint64_t WRITE_BUFFER_FIELD_MAX = 0xFFFFFF;

// ClassDeviceHwFirmwareGetInfoProcess, before it asks the device: the caller's buffer lengths.
std::optional<Refusal> GetInfoProcess(std::uint32_t inputLength, std::uint32_t outputLength);

// ClasspGetHwFirmwareInfo: the firmware information as the device reported it, judged before the class
// driver caches it (device/class_driver_cache.h keeps what it caches).
std::optional<Refusal> GetHwFirmwareInfo(const std::vector<std::uint8_t>& reply,
                                         std::uint32_t maxTransferLength);

// How many bytes of the cached information go back to a caller with this output length.
std::uint32_t InfoReplyLength(const std::vector<std::uint8_t>& cachedInfo, std::uint32_t outputLength);

// The firmware information that a download or an activation is checked against. The class driver looks for
// it only once the request's own fields have passed, and asks the device for it when it has none cached: the
// information, or the refusal of the request when it cannot be had.
using CachedInfo = std::function<std::variant<Refusal, const std::vector<std::uint8_t>*>()>;

// ClassDeviceHwFirmwareDownloadProcess, against the cached information. The adapter's maximum transfer
// length is checked when it is known.
std::optional<Refusal> DownloadProcess(const void* input, std::uint32_t inputLength,
                                       const CachedInfo& cachedInfo,
                                       std::optional<std::uint32_t> maxTransferLength);

// ClassDeviceHwFirmwareActivateProcess, against the cached information as for a download.
std::optional<Refusal> ActivateProcess(const void* input, std::uint32_t inputLength,
                                       const CachedInfo& cachedInfo);

} // namespace ClassDriver
