#include "sim/driver/last_error_status.h"

#include "device/class_driver.h"

namespace {

// The storage firmware errors and the warning that a driver reports them with.
constexpr std::uint32_t STG_E_FIRMWARE_SLOT_INVALID = 0x80030208;
constexpr std::uint32_t STATUS_FIRMWARE_SLOT_INVALID = 0xC0000484;
constexpr std::uint32_t STG_E_FIRMWARE_IMAGE_INVALID = 0x80030209;
constexpr std::uint32_t STATUS_FIRMWARE_IMAGE_INVALID = 0xC0000485;
constexpr std::uint32_t STG_S_POWER_CYCLE_REQUIRED = 0x00030207;
// A warning, not an error: the control still fails, and the caller sees the success code above.
constexpr std::uint32_t STATUS_DEVICE_POWER_CYCLE_REQUIRED = 0x80000031;

// An error status of facility 7 carries a Win32 error code in its low 16 bits, and the table gives it back.
constexpr std::uint32_t WIN32_ERROR_STATUS = 0xC0070000;
// A status with the customer bit set comes back as it is; only the error severity makes the call fail.
constexpr std::uint32_t CUSTOMER_ERROR = 0xE0000000;

} // namespace

std::optional<std::uint32_t> StatusForLastError(std::uint32_t error) {
    switch (error) {
    case STG_E_FIRMWARE_SLOT_INVALID:
        return STATUS_FIRMWARE_SLOT_INVALID;
    case STG_E_FIRMWARE_IMAGE_INVALID:
        return STATUS_FIRMWARE_IMAGE_INVALID;
    case STG_S_POWER_CYCLE_REQUIRED:
        return STATUS_DEVICE_POWER_CYCLE_REQUIRED;
    default:
        break;
    }
    // The class driver's own statuses, so that the system's mapping turns them into the caller's last error.
    if (const auto status = ClassDriver::StatusGiving(error)) {
        return static_cast<std::uint32_t>(*status);
    }
    if (error != 0 && error <= 0xFFFF) {
        return WIN32_ERROR_STATUS | error;
    }
    if ((error & CUSTOMER_ERROR) == CUSTOMER_ERROR) {
        return error;
    }
    return std::nullopt;
}
