#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class eMMC;

// What Windows says of the disk under a drive, from the two storage property queries: the device
// descriptor (bus type and identity strings) and the adapter descriptor (its MaximumTransferLength, which
// Windows' class driver checks downloads against). Only the bytes each query returned are read: a field
// beyond them, a string offset beyond them or a string without its terminating NUL inside them is none.
class DriveIdentity {
public:
    enum class Text { Vendor, Product, ProductRevision, SerialNumber };

    // Nothing read: the drive did not open.
    DriveIdentity() = default;
    // From the bytes that each query returned, or the error it failed with.
    DriveIdentity(std::optional<std::uint32_t> deviceError, const std::vector<std::uint8_t>& deviceDescriptor,
                  std::optional<std::uint32_t> adapterError,
                  const std::vector<std::uint8_t>& adapterDescriptor);
    // Sends both queries to the open device.
    static DriveIdentity Read(const eMMC& device);

    std::optional<std::uint32_t> DeviceError() const { return deviceError; }
    std::optional<std::uint32_t> AdapterError() const { return adapterError; }
    // STORAGE_BUS_TYPE: StorageProperty::BusTypeMmc for an eMMC, BusTypeSd for an SD card.
    std::optional<std::uint32_t> BusType() const { return busType; }
    // Without the blanks that SCSI-style identities pad their fields with, at either end; otherwise exactly
    // the descriptor's bytes.
    std::optional<std::string> Trimmed(Text text) const;
    // Exactly as the descriptor holds it.
    const std::optional<std::string>& Raw(Text text) const { return texts[static_cast<std::size_t>(text)]; }
    std::optional<std::uint32_t> MaximumTransferLength() const { return maximumTransferLength; }

private:
    std::optional<std::uint32_t> deviceError;
    std::optional<std::uint32_t> adapterError;
    std::optional<std::uint32_t> busType;
    std::array<std::optional<std::string>, 4> texts;
    std::optional<std::uint32_t> maximumTransferLength;
};
