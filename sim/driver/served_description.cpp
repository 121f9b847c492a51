#include "sim/driver/served_description.h"

#include "sim/driver/last_error_status.h"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

namespace {

std::string Hex8(std::uint32_t value) {
    std::array<char, 11> text{};
    // "0x" and eight hexadecimal digits always fit.
    static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08lx", static_cast<unsigned long>(value)));
    return text.data();
}

// The reason for one device; a machine of several names the drive as well.
std::string WhyNotServed(const DeviceDescription& description) {
    if (description.openError) {
        return "open_error: the stand-in driver cannot fail a drive open";
    }
    const std::pair<const char*, std::optional<std::uint32_t>> codes[] = {
        {"ext_csd_error", description.extCsdError},
        {"info_error", description.infoError},
        {"download_error", description.downloadError
                               ? std::optional<std::uint32_t>(description.downloadError->code)
                               : std::nullopt},
        {"activate_error", description.activateError},
        {"device_property_error", description.devicePropertyError},
        {"adapter_property_error", description.adapterPropertyError},
    };
    for (const auto& [key, code] : codes) {
        if (code && !StatusForLastError(*code)) {
            return std::string(key) + " " + Hex8(*code) + ": no driver status gives this error code";
        }
    }
    return {};
}

} // namespace

std::string WhyNotServed(const MachineDescription& description) {
    for (const DeviceDescription& device : description.drives) {
        const std::string refusal = WhyNotServed(device);
        if (!refusal.empty()) {
            return description.drives.size() == 1 ? refusal
                                                  : "drive " + std::to_string(device.drive) + ": " + refusal;
        }
    }
    return {};
}
