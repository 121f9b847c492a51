#include "sim/device_description.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"

#include <set>

namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A decimal or 0x hexadecimal number no larger than max; nothing else, not even a sign.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

template <typename T> T Number(std::string_view value, std::uint64_t max, std::size_t line) {
    const auto number = ParseNumber(value, max);
    if (!number) {
        throw DescriptionError(line, "bad value '" + std::string(value) + "': expected a number from 0 to " +
                                         std::to_string(max));
    }
    return static_cast<T>(*number);
}

// Hexadecimal digits, two for each byte, at most `length` bytes; bytes not given stay zero.
template <std::size_t N>
std::array<std::uint8_t, N> HexBytes(std::string_view digits, std::size_t minimum, std::size_t line) {
    std::array<std::uint8_t, N> bytes{};
    const auto bad = [&] {
        return DescriptionError(line, "bad value '" + std::string(digits) + "': expected " +
                                          (minimum == N ? std::to_string(N) : "1 to " + std::to_string(N)) +
                                          " bytes as hexadecimal digits");
    };
    if (digits.size() % 2 != 0 || digits.size() / 2 < minimum || digits.size() / 2 > N) {
        throw bad();
    }
    for (std::size_t i = 0; i < digits.size() / 2; ++i) {
        const auto byte = ParseNumber("0x" + std::string(digits.substr(2 * i, 2)), 0xFF);
        if (!byte) {
            throw bad();
        }
        bytes[i] = static_cast<std::uint8_t>(*byte);
    }
    return bytes;
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
    return {request, Number<DWORD>(Trim(value.substr(colon + 1)), 0xFFFFFFFF, line)};
}

// A text value: verbatim between double quotes, so that blanks at its ends can be described; otherwise
// as written.
std::string TextValue(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// Where a comment starts: at the first "#", or, for a value that opens with a double quote, at the first
// "#" after the line's last double quote, so that a quoted text may hold both.
std::size_t CommentStart(std::string_view line) {
    const auto equals = line.find('=');
    const auto value = equals == std::string_view::npos ? equals : line.find_first_not_of(" \t", equals + 1);
    if (value != std::string_view::npos && line[value] == '"') {
        return line.find('#', line.rfind('"'));
    }
    return line.find('#');
}

// Sets the key's value; false for a key that the description does not know.
bool Apply(DeviceDescription& device, std::string_view key, std::string_view value, std::size_t line) {
    constexpr std::uint64_t BYTE = 0xFF;
    constexpr std::uint64_t DWORD_MAX = 0xFFFFFFFF;
    if (key == "drive") {
        device.drive = Number<std::uint8_t>(value, 9, line);
    } else if (key == "open_error") {
        device.openError = Number<DWORD>(value, DWORD_MAX, line);
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
        device.extCsdError = Number<DWORD>(value, DWORD_MAX, line);
    } else if (key == "info_error") {
        device.infoError = Number<DWORD>(value, DWORD_MAX, line);
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
        device.activateError = Number<DWORD>(value, DWORD_MAX, line);
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
        device.devicePropertyError = Number<DWORD>(value, DWORD_MAX, line);
    } else if (key == "adapter_property_error") {
        device.adapterPropertyError = Number<DWORD>(value, DWORD_MAX, line);
    } else {
        return false;
    }
    return true;
}

} // namespace

DescriptionError::DescriptionError(std::size_t line, const std::string& problem)
    : std::runtime_error(problem), line(line) {}

DeviceDescription DeviceDescription::Parse(std::string_view text) {
    DeviceDescription description;
    description.product.reset();
    description.productRevision.reset();
    description.serialNumber.reset();
    std::set<std::string, std::less<>> seen;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        line = Trim(line.substr(0, CommentStart(line)));
        if (line.empty()) {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw DescriptionError(lineNumber, "expected 'key = value'");
        }
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        if (seen.count(key) != 0) {
            throw DescriptionError(lineNumber, "key '" + std::string(key) + "' given twice");
        }
        // The whole register and its single bytes would say the same bytes twice.
        const bool registerByte = key == "ext_csd_rev" || key == "supported_modes" || key == "fw_config";
        if ((registerByte && seen.count("ext_csd") != 0) ||
            (key == "ext_csd" && (seen.count("ext_csd_rev") != 0 || seen.count("supported_modes") != 0 ||
                                  seen.count("fw_config") != 0))) {
            throw DescriptionError(lineNumber,
                                   "'ext_csd' and the keys of its single bytes exclude each other");
        }
        if (!Apply(description, key, value, lineNumber)) {
            throw DescriptionError(lineNumber, "unknown key '" + std::string(key) + "'");
        }
        seen.insert(std::string(key));
    }
    return description;
}
