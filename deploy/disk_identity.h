#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a package manifest's device entries are matched against: the identity that Windows gives the disk,
// as the device layer reads it (DriveIdentity: BusType() and Trimmed() of Vendor, Product and
// ProductRevision). Each string is the descriptor's bytes without the blanks at either end; none when the
// descriptor has no such string or was not read.
struct DiskIdentity {
    // STORAGE_BUS_TYPE: 0x0D for an eMMC (BusTypeMmc).
    std::optional<std::uint32_t> busType;
    std::optional<std::string> vendor;
    std::optional<std::string> product;
    std::optional<std::string> productRevision;
};
