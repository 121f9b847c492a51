#include "sim/device_description.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"

#include <set>

namespace {

using DescriptionText::HexBytes;
using DescriptionText::Trim;

template <typename T> T Number(std::string_view value, std::uint64_t max, std::size_t line) {
    return static_cast<T>(DescriptionText::Number(value, max, line));
}

std::vector<DeviceDescription::Slot> Slots(std::string_view value, std::size_t line) {
    std::vector<DeviceDescription::Slot> slots;
    if (value.empty()) {
        return slots;
    }
    for (;;) {
        const auto comma = value.find(',');
        const std::string_view entry = Trim(value.substr(0, comma));
        const auto blank = entry.find_first_of(" \t");
        const std::string_view number = entry.substr(0, blank);
        DeviceDescription::Slot slot{Number<std::uint8_t>(number, 0xFF, line), 0};
        std::string_view rest =
            blank == std::string_view::npos ? std::string_view() : Trim(entry.substr(blank));
        if (rest.substr(0, 2) == "ro" && (rest.size() == 2 || rest[2] == ' ' || rest[2] == '\t')) {
            slot.readOnly = StorageFirmware::SLOT_READ_ONLY;
            rest = Trim(rest.substr(2));
        } else if (rest.substr(0, 3) == "ro:") {
            const auto end = rest.find_first_of(" \t");
            slot.readOnly = Number<std::uint8_t>(
                rest.substr(3, end == std::string_view::npos ? end : end - 3), 0xFF, line);
            rest = end == std::string_view::npos ? std::string_view() : Trim(rest.substr(end));
        }
        if (rest.substr(0, 4) == "rev:") {
            slot.revision = HexBytes<16>(rest.substr(4), 1, line);
            rest = {};
        }
        if (!rest.empty()) {
            throw DescriptionError(
                line, "bad slot '" + std::string(entry) +
                          "': expected NUMBER, NUMBER ro or NUMBER ro:BYTE, then rev:HEX or nothing");
        }
        if (slots.size() == 255) {
            throw DescriptionError(line, "more than 255 slots");
        }
        slots.push_back(slot);
        if (comma == std::string_view::npos) {
            return slots;
        }
        value.remove_prefix(comma + 1);
    }
}

DeviceDescription::DownloadError DownloadErrorValue(std::string_view value, std::size_t line) {
    const auto colon = value.find(':');
    if (colon == std::string_view::npos) {
        throw DescriptionError(line, "bad value '" + std::string(value) + "': expected K:CODE");
    }
    const auto request = Number<std::uint32_t>(Trim(value.substr(0, colon)), 0xFFFFFFFF, line);
    if (request == 0) {
        throw DescriptionError(line, "bad value '" + std::string(value) + "': requests count from 1");
    }
    return {request, Number<std::uint32_t>(Trim(value.substr(colon + 1)), 0xFFFFFFFF, line)};
}

std::vector<DeviceDescription::Image> Images(std::string_view value, std::size_t line) {
    std::vector<DeviceDescription::Image> images;
    while (!value.empty()) {
        const auto comma = value.find(',');
        const std::string_view entry = Trim(value.substr(0, comma));
        const auto colon = entry.find(':');
        if (colon != 8) {
            throw DescriptionError(line, "bad image '" + std::string(entry) +
                                             "': expected CRC32:VERSION or CRC32:fail, with the CRC-32 as 8 "
                                             "and the version as 16 hexadecimal digits");
        }
        const auto crc = HexBytes<4>(entry.substr(0, 8), 4, line);
        DeviceDescription::Image image{
            static_cast<std::uint32_t>(crc[0]) << 24 | crc[1] << 16 | crc[2] << 8 | crc[3], std::nullopt};
        if (entry.substr(colon + 1) != "fail") {
            image.version = HexBytes<8>(entry.substr(colon + 1), 8, line);
        }
        images.push_back(image);
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
    return images;
}

// A text value: verbatim between double quotes, so that blanks at its ends can be described; otherwise
// as written.
std::string TextValue(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// Sets the key's value; false for a key that the description does not know.
bool Apply(DeviceDescription& device, std::string_view key, std::string_view value, std::size_t line) {
    constexpr std::uint64_t BYTE = 0xFF;
    constexpr std::uint64_t DWORD_MAX = 0xFFFFFFFF;
    if (key == "drive") {
        device.drive = Number<std::uint8_t>(value, 9, line);
    } else if (key == "open_error") {
        device.openError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "ext_csd_rev") {
        device.extCsdRev = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "supported_modes") {
        device.supportedModes = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "fw_config") {
        device.fwConfig = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "ext_csd") {
        device.extCsd = HexBytes<512>(value, 512, line);
        device.extCsdRev = (*device.extCsd)[ExtCsd::EXT_CSD_REV];
        device.supportedModes = (*device.extCsd)[ExtCsd::SUPPORTED_MODES];
        device.fwConfig = (*device.extCsd)[ExtCsd::FW_CONFIG];
    } else if (key == "ext_csd_filled") {
        device.extCsdFilled = Number<std::uint32_t>(value, 512, line);
    } else if (key == "ext_csd_error") {
        device.extCsdError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "info_error") {
        device.infoError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "support_upgrade") {
        device.supportUpgrade = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "slots") {
        device.slots = Slots(value, line);
    } else if (key == "active_slot") {
        device.activeSlot = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "pending_slot") {
        device.pendingSlot = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "firmware_shared") {
        device.firmwareShared = Number<std::uint8_t>(value, BYTE, line);
    } else if (key == "alignment") {
        device.alignment = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "max_payload") {
        device.maxPayload = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "max_transfer_length") {
        device.maxTransferLength = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "download_error") {
        device.downloadError = DownloadErrorValue(value, line);
    } else if (key == "activate_error") {
        device.activateError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "images") {
        device.images = Images(value, line);
    } else if (key == "bus_type") {
        device.busType = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "vendor") {
        device.vendor = TextValue(value);
    } else if (key == "product") {
        device.product = TextValue(value);
    } else if (key == "product_revision") {
        device.productRevision = TextValue(value);
    } else if (key == "serial_number") {
        device.serialNumber = TextValue(value);
    } else if (key == "device_property_error") {
        device.devicePropertyError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else if (key == "adapter_property_error") {
        device.adapterPropertyError = Number<std::uint32_t>(value, DWORD_MAX, line);
    } else {
        return false;
    }
    return true;
}

} // namespace

void DeviceDescription::Set(std::size_t line, std::string_view key, std::string_view value,
                            std::set<std::string, std::less<>>& given) {
    if (given.count(key) != 0) {
        throw DescriptionError(line, "key '" + std::string(key) + "' given twice");
    }
    // The whole register and its single bytes would say the same bytes twice.
    const bool registerByte = key == "ext_csd_rev" || key == "supported_modes" || key == "fw_config";
    if ((registerByte && given.count("ext_csd") != 0) ||
        (key == "ext_csd" && (given.count("ext_csd_rev") != 0 || given.count("supported_modes") != 0 ||
                              given.count("fw_config") != 0))) {
        throw DescriptionError(line, "'ext_csd' and the keys of its single bytes exclude each other");
    }
    if (!Apply(*this, key, value, line)) {
        throw DescriptionError(line, "unknown key '" + std::string(key) + "'");
    }
    given.insert(std::string(key));
}

DeviceDescription DeviceDescription::Described() {
    DeviceDescription description;
    description.product.reset();
    description.productRevision.reset();
    description.serialNumber.reset();
    return description;
}

DeviceDescription DeviceDescription::Parse(std::string_view text) {
    DeviceDescription description = Described();
    std::set<std::string, std::less<>> given;
    DescriptionText::Read(
        text, 1,
        [&](std::size_t line, std::string_view key, std::string_view value) {
            description.Set(line, key, value, given);
        },
        [](std::size_t line, std::uint8_t) {
            throw DescriptionError(line, "a device description has no '[drive N]' parts");
        });
    return description;
}
