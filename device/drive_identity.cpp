#include "device/drive_identity.h"

#include "device/storage_property.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace StorageProperty;

namespace {

// The 32-bit field at `offset`, when the returned bytes hold all of it.
std::optional<std::uint32_t> Field(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    if (offset + sizeof(value) > bytes.size()) {
        return std::nullopt;
    }
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

// The NUL-terminated string that the field at `offsetField` points to, read inside the returned bytes only.
std::optional<std::string> String(const std::vector<std::uint8_t>& bytes, std::size_t offsetField) {
    const auto offset = Field(bytes, offsetField);
    if (!offset || *offset == 0 || *offset >= bytes.size()) {
        return std::nullopt;
    }
    const auto begin = bytes.begin() + *offset;
    const auto end = std::find(begin, bytes.end(), std::uint8_t{0});
    if (end == bytes.end()) {
        return std::nullopt;
    }
    return std::string(begin, end);
}

} // namespace

DriveIdentity::DriveIdentity(std::optional<std::uint32_t> deviceError,
                             const std::vector<std::uint8_t>& deviceDescriptor,
                             std::optional<std::uint32_t> adapterError,
                             const std::vector<std::uint8_t>& adapterDescriptor)
    : deviceError(deviceError), adapterError(adapterError) {
    if (!deviceError) {
        busType = Field(deviceDescriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType));
        texts[static_cast<std::size_t>(Text::Vendor)] =
            String(deviceDescriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset));
        texts[static_cast<std::size_t>(Text::Product)] =
            String(deviceDescriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset));
        texts[static_cast<std::size_t>(Text::ProductRevision)] =
            String(deviceDescriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset));
        texts[static_cast<std::size_t>(Text::SerialNumber)] =
            String(deviceDescriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset));
    }
    if (!adapterError) {
        maximumTransferLength =
            Field(adapterDescriptor, offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength));
    }
}

std::optional<std::string> DriveIdentity::Trimmed(Text text) const {
    std::optional<std::string> value = Raw(text);
    if (value) {
        const auto first = value->find_first_not_of(' ');
        value->erase(0, first == std::string::npos ? value->size() : first);
        value->erase(value->find_last_not_of(' ') + 1);
    }
    return value;
}
