#include "sim/machine_description.h"

const DeviceDescription* MachineDescription::Drive(unsigned drive) const {
    for (const DeviceDescription& device : drives) {
        if (device.drive == drive) {
            return &device;
        }
    }
    return nullptr;
}

MachineDescription MachineDescription::Parse(std::string_view text) {
    MachineDescription machine;
    DeviceDescription alone = DeviceDescription::Described();
    bool parts = false;
    std::vector<std::set<std::string, std::less<>>> given(1);
    DescriptionText::Read(
        text, 1,
        [&](std::size_t line, std::string_view key, std::string_view value) {
            if (!parts) {
                alone.Set(line, key, value, given.front());
            } else if (key == "drive") {
                throw DescriptionError(line, "'drive' inside a '[drive N]' part, which names the drive");
            } else {
                machine.drives.back().Set(line, key, value, given.back());
            }
        },
        [&](std::size_t line, std::uint8_t drive) {
            if (!parts && !given.front().empty()) {
                throw DescriptionError(line, "keys before the first '[drive N]' part");
            }
            if (machine.Drive(drive) != nullptr) {
                throw DescriptionError(line, "drive " + std::to_string(drive) + " given twice");
            }
            parts = true;
            machine.drives.push_back(DeviceDescription::Described());
            machine.drives.back().drive = drive;
            given.emplace_back();
        });
    if (!parts) {
        machine.drives.push_back(std::move(alone));
    }
    return machine;
}
