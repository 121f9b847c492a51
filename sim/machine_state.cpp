#include "sim/machine_state.h"

#include "cli/hex.h"
#include "device/ext_csd.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace {

std::string ImageText(const std::optional<MachineState::Device::Image>& image) {
    if (!image) {
        return "none";
    }
    const std::uint8_t crc[] = {
        static_cast<std::uint8_t>(image->crc32 >> 24), static_cast<std::uint8_t>(image->crc32 >> 16),
        static_cast<std::uint8_t>(image->crc32 >> 8), static_cast<std::uint8_t>(image->crc32)};
    return std::to_string(image->length) + ":" + Hex::Text(crc, sizeof(crc));
}

std::optional<MachineState::Device::Image> ImageValue(std::string_view value, std::size_t line) {
    if (value == "none") {
        return std::nullopt;
    }
    const auto colon = value.find(':');
    if (colon == std::string_view::npos) {
        throw DescriptionError(line, "bad value '" + std::string(value) + "': expected LENGTH:CRC32 or none");
    }
    const auto crc = DescriptionText::HexBytes<4>(value.substr(colon + 1), 4, line);
    return MachineState::Device::Image{DescriptionText::Number(value.substr(0, colon), UINT64_MAX, line),
                                       static_cast<std::uint32_t>(crc[0]) << 24 | crc[1] << 16 | crc[2] << 8 |
                                           crc[3]};
}

void SetDeviceKey(MachineState::Device& device, std::size_t slots, std::size_t line, std::string_view key,
                  std::string_view value) {
    using DescriptionText::Number;
    if (key == "active_slot") {
        device.activeSlot = static_cast<std::uint8_t>(Number(value, 0xFF, line));
    } else if (key == "pending_slot") {
        device.pendingSlot = static_cast<std::uint8_t>(Number(value, 0xFF, line));
    } else if (key == "pending_image") {
        device.pendingImage = ImageValue(value, line);
    } else if (key == "firmware_version") {
        device.firmwareVersion = DescriptionText::HexBytes<8>(value, 8, line);
    } else if (key == "ffu_status") {
        device.ffuStatus = static_cast<std::uint8_t>(Number(value, 0xFF, line));
    } else if (key == "sectors_programmed") {
        device.sectorsProgrammed = static_cast<std::uint32_t>(Number(value, 0xFFFFFFFF, line));
    } else if (key == "revisions") {
        device.revisions.clear();
        while (!value.empty()) {
            const auto comma = value.find(',');
            device.revisions.push_back(
                DescriptionText::HexBytes<16>(DescriptionText::Trim(value.substr(0, comma)), 16, line));
            value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
        }
        if (device.revisions.size() != slots) {
            throw DescriptionError(line, "the state holds " + std::to_string(device.revisions.size()) +
                                             " slot revisions for a device of " + std::to_string(slots) +
                                             " slots");
        }
    } else {
        throw DescriptionError(line, "unknown key '" + std::string(key) + "'");
    }
}

} // namespace

MachineState::Device MachineState::Device::Initial(const DeviceDescription& description) {
    Device device;
    device.activeSlot = description.activeSlot;
    device.pendingSlot = description.pendingSlot;
    if (description.extCsd) {
        const auto& bytes = *description.extCsd;
        std::copy_n(bytes.begin() + ExtCsd::FIRMWARE_VERSION, device.firmwareVersion.size(),
                    device.firmwareVersion.begin());
        device.ffuStatus = bytes[ExtCsd::FFU_STATUS];
        std::memcpy(&device.sectorsProgrammed,
                    bytes.data() + ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED,
                    sizeof(device.sectorsProgrammed));
    }
    for (const DeviceDescription::Slot& slot : description.slots) {
        device.revisions.push_back(slot.revision);
    }
    return device;
}

MachineState MachineState::Initial(const MachineDescription& description) {
    MachineState state;
    for (const DeviceDescription& device : description.drives) {
        state.drives[device.drive] = Device::Initial(device);
    }
    return state;
}

MachineState MachineState::Parse(std::string_view text, const MachineDescription& description) {
    MachineState state = Initial(description);
    Device* device = nullptr;
    const DeviceDescription* deviceDescription = nullptr;
    std::set<std::string, std::less<>> given;
    std::set<std::uint8_t> drives;
    std::map<std::uint8_t, std::size_t> imageLines;
    std::uint8_t drive = 0;
    DescriptionText::Read(
        text, 1,
        [&](std::size_t line, std::string_view key, std::string_view value) {
            if (given.count(key) != 0) {
                throw DescriptionError(line, "key '" + std::string(key) + "' given twice");
            }
            given.insert(std::string(key));
            if (device != nullptr) {
                SetDeviceKey(*device, deviceDescription->slots.size(), line, key, value);
                if (key == "pending_image") {
                    imageLines[drive] = line;
                }
            } else if (key == "boot") {
                state.boot = static_cast<std::uint32_t>(DescriptionText::Number(value, 0xFFFFFFFF, line));
            } else {
                throw DescriptionError(line, "unknown key '" + std::string(key) + "'");
            }
        },
        [&](std::size_t line, std::uint8_t section) {
            deviceDescription = description.Drive(section);
            if (deviceDescription == nullptr) {
                throw DescriptionError(line, "the machine has no drive " + std::to_string(section));
            }
            if (!drives.insert(section).second) {
                throw DescriptionError(line, "drive " + std::to_string(section) + " given twice");
            }
            drive = section;
            device = &state.drives[section];
            given.clear();
        });
    // The machine sets both at an activation; an image pending for no slot would wait through every restart.
    for (const auto& [number, line] : imageLines) {
        const Device& pending = state.drives[number];
        if (pending.pendingImage && pending.pendingSlot == 0xFF) {
            throw DescriptionError(line, "a pending image needs a pending_slot");
        }
    }
    return state;
}

std::string MachineState::Text() const {
    std::string text = "# What happened to the simulated machine since it was built; the machine writes it.\n"
                       "boot = " +
                       std::to_string(boot) + "\n";
    for (const auto& [drive, device] : drives) {
        std::string revisions;
        for (const auto& revision : device.revisions) {
            revisions += (revisions.empty() ? "" : ", ") + Hex::Text(revision.data(), revision.size());
        }
        text += "\n[drive " + std::to_string(drive) + "]\n";
        text += "active_slot = " + std::to_string(device.activeSlot) + "\n";
        text += "pending_slot = " + std::to_string(device.pendingSlot) + "\n";
        text += "pending_image = " + ImageText(device.pendingImage) + "\n";
        text +=
            "firmware_version = " + Hex::Text(device.firmwareVersion.data(), device.firmwareVersion.size()) +
            "\n";
        text += "ffu_status = " + std::to_string(device.ffuStatus) + "\n";
        text += "sectors_programmed = " + std::to_string(device.sectorsProgrammed) + "\n";
        text += "revisions = " + revisions + "\n";
    }
    return text;
}

std::vector<MachineState::Restarted> MachineState::Restart(const MachineDescription& description) {
    ++boot;
    std::vector<Restarted> restarted;
    for (auto& [drive, restarting] : drives) {
        Device& device = restarting;
        if (device.pendingSlot == 0xFF) {
            continue;
        }
        const DeviceDescription& built = *description.Drive(drive);
        std::optional<std::array<std::uint8_t, 8>> version;
        if (device.pendingImage) {
            for (const DeviceDescription::Image& image : built.images) {
                if (image.crc32 == device.pendingImage->crc32) {
                    version = image.version;
                    break;
                }
            }
        }
        const auto slot =
            std::find_if(built.slots.begin(), built.slots.end(),
                         [&](const DeviceDescription::Slot& s) { return s.number == device.pendingSlot; });
        if (version && slot != built.slots.end()) {
            device.firmwareVersion = *version;
            auto& revision = device.revisions[static_cast<std::size_t>(slot - built.slots.begin())];
            revision.fill(0);
            std::copy(version->begin(), version->end(), revision.begin());
            device.activeSlot = device.pendingSlot;
            device.ffuStatus = ExtCsd::FFU_STATUS_SUCCESS;
        } else {
            device.ffuStatus = ExtCsd::FFU_STATUS_INSTALL_ERROR;
        }
        device.pendingSlot = 0xFF;
        device.pendingImage.reset();
        restarted.push_back({drive, version.has_value() && slot != built.slots.end()});
    }
    return restarted;
}
