#include "sim/device_description.h"

#include <functional>
#include <map>
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
        const std::string_view flag = blank == std::string_view::npos ? std::string_view() : Trim(entry.substr(blank));
        if (!flag.empty() && flag != "ro") {
            throw DescriptionError(line, "bad slot '" + std::string(entry) + "': expected NUMBER or NUMBER ro");
        }
        if (slots.size() == 255) {
            throw DescriptionError(line, "more than 255 slots");
        }
        slots.push_back({Number<std::uint8_t>(number, 0xFF, line), !flag.empty()});
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

using Setter = std::function<void(DeviceDescription&, std::string_view, std::size_t)>;

const std::map<std::string, Setter, std::less<>>& Setters() {
    static const std::map<std::string, Setter, std::less<>> setters{
        {"drive", [](auto& d, auto v, auto l) { d.drive = Number<std::uint8_t>(v, 9, l); }},
        {"open_error", [](auto& d, auto v, auto l) { d.openError = Number<DWORD>(v, 0xFFFFFFFF, l); }},
        {"ext_csd_rev", [](auto& d, auto v, auto l) { d.extCsdRev = Number<std::uint8_t>(v, 0xFF, l); }},
        {"supported_modes", [](auto& d, auto v, auto l) { d.supportedModes = Number<std::uint8_t>(v, 0xFF, l); }},
        {"fw_config", [](auto& d, auto v, auto l) { d.fwConfig = Number<std::uint8_t>(v, 0xFF, l); }},
        {"ext_csd_filled", [](auto& d, auto v, auto l) { d.extCsdFilled = Number<std::uint32_t>(v, 512, l); }},
        {"ext_csd_error", [](auto& d, auto v, auto l) { d.extCsdError = Number<DWORD>(v, 0xFFFFFFFF, l); }},
        {"info_error", [](auto& d, auto v, auto l) { d.infoError = Number<DWORD>(v, 0xFFFFFFFF, l); }},
        {"support_upgrade", [](auto& d, auto v, auto l) { d.supportUpgrade = Number<int>(v, 1, l) == 1; }},
        {"slots", [](auto& d, auto v, auto l) { d.slots = Slots(v, l); }},
        {"active_slot", [](auto& d, auto v, auto l) { d.activeSlot = Number<std::uint8_t>(v, 0xFF, l); }},
        {"alignment", [](auto& d, auto v, auto l) { d.alignment = Number<std::uint32_t>(v, 0xFFFFFFFF, l); }},
        {"max_payload", [](auto& d, auto v, auto l) { d.maxPayload = Number<std::uint32_t>(v, 0xFFFFFFFF, l); }},
        {"download_error", [](auto& d, auto v, auto l) { d.downloadError = DownloadErrorValue(v, l); }},
        {"activate_error", [](auto& d, auto v, auto l) { d.activateError = Number<DWORD>(v, 0xFFFFFFFF, l); }},
    };
    return setters;
}

} // namespace

DescriptionError::DescriptionError(std::size_t line, const std::string& problem)
    : std::runtime_error(problem), line(line) {}

DeviceDescription DeviceDescription::Parse(std::string_view text) {
    DeviceDescription description;
    std::set<std::string, std::less<>> seen;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw DescriptionError(lineNumber, "expected 'key = value'");
        }
        const std::string_view key = Trim(line.substr(0, equals));
        const std::string_view value = Trim(line.substr(equals + 1));
        const auto setter = Setters().find(key);
        if (setter == Setters().end()) {
            throw DescriptionError(lineNumber, "unknown key '" + std::string(key) + "'");
        }
        if (!seen.insert(std::string(key)).second) {
            throw DescriptionError(lineNumber, "key '" + std::string(key) + "' given twice");
        }
        setter->second(description, value, lineNumber);
    }
    return description;
}
