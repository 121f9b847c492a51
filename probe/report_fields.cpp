#include "probe/report_fields.h"

#include "device/ext_csd.h"
#include "device/storage_property.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>

using namespace StorageFirmware;

namespace ReportFields {

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string HexNumber(std::uint32_t value, int digits) {
    std::array<char, 16> text{};
    // Ten characters and the terminator at most: the text always fits.
    static_cast<void>(
        std::snprintf(text.data(), text.size(), "0x%0*lX", digits, static_cast<unsigned long>(value)));
    return text.data();
}

std::optional<std::string> PrintableText(const std::uint8_t* bytes, std::size_t length) {
    while (length > 0 && bytes[length - 1] == 0) {
        --length;
    }
    if (length == 0) {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E) {
            return std::nullopt;
        }
        text += static_cast<char>(bytes[i]);
    }
    return text;
}

std::uint32_t Number(const std::vector<std::uint8_t>& extCsd, std::size_t offset, std::size_t length) {
    std::uint32_t value = 0;
    for (std::size_t i = length; i > 0; --i) {
        value = (value << 8) | extCsd[offset + i - 1];
    }
    return value;
}

std::string EmmcVersion(std::uint8_t revision) {
    if (revision < ExtCsd::EXT_CSD_REV_EMMC_5_0) {
        return "before 5.0";
    }
    if (revision == ExtCsd::EXT_CSD_REV_EMMC_5_0) {
        return "5.0 or 5.01";
    }
    if (revision == ExtCsd::EXT_CSD_REV_EMMC_5_1) {
        return "5.1";
    }
    return "later than 5.1";
}

std::optional<std::uint64_t> FirmwareVersionNumber(const std::uint8_t* bytes) {
    if (PrintableText(bytes, ExtCsd::FIRMWARE_VERSION_LENGTH)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = ExtCsd::FIRMWARE_VERSION_LENGTH; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

std::string PreEolMeaning(std::uint8_t value) {
    switch (value) {
    case 0x00:
        return "not defined";
    case 0x01:
        return "normal";
    case 0x02:
        return "warning: 80% of the reserved blocks consumed";
    case 0x03:
        return "urgent: 90% of the reserved blocks consumed";
    default:
        return "reserved";
    }
}

std::string LifeTimeMeaning(std::uint8_t value) {
    constexpr std::uint8_t LAST_DECILE = 0x0A;
    constexpr std::uint8_t EXCEEDED = 0x0B;
    if (value == 0x00) {
        return "not defined";
    }
    if (value <= LAST_DECILE) {
        return std::to_string((value - 1) * 10) + "-" + std::to_string(value * 10) +
               "% of the estimated life time used";
    }
    if (value == EXCEEDED) {
        return "the estimated life time exceeded";
    }
    return "reserved";
}

std::string BusTypeName(std::uint32_t busType) {
    static const char* const names[] = {
        "unknown",
        "SCSI",
        "ATAPI",
        "ATA",
        "IEEE 1394",
        "SSA",
        "Fibre Channel",
        "USB",
        "RAID",
        "iSCSI",
        "SAS",
        "SATA",
        "SD",
        "MMC",
        "virtual",
        "file-backed virtual",
        "Storage Spaces",
        "NVMe",
        "SCM",
        "UFS",
    };
    static_assert(std::size(names) == StorageProperty::BusTypeUfs + 1);
    return busType < std::size(names) ? names[busType] : "not known to the probe";
}

const IdentityText IDENTITY_TEXTS[4] = {
    {DriveIdentity::Text::Vendor, "Vendor", "vendor"},
    {DriveIdentity::Text::Product, "Product", "product"},
    {DriveIdentity::Text::ProductRevision, "Product revision", "product_revision"},
    {DriveIdentity::Text::SerialNumber, "Serial number", "serial_number"},
};

std::vector<STORAGE_HW_FIRMWARE_SLOT_INFO> Slots(const std::vector<std::uint8_t>& reply) {
    std::vector<STORAGE_HW_FIRMWARE_SLOT_INFO> slots(InfoOf(reply).SlotCount);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::memcpy(&slots[i], reply.data() + sizeof(STORAGE_HW_FIRMWARE_INFO) + i * sizeof(slots[i]),
                    sizeof(slots[i]));
    }
    return slots;
}

} // namespace ReportFields
