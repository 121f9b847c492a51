#pragma once

#include "sim/device_description.h"

#include <string_view>
#include <vector>

// What a simulated machine was built as: the devices on its drives. The text form of one device (see
// DeviceDescription) describes a machine with that device alone; a machine of several drives gives each its
// own part, opened by "[drive N]", with the device's keys but `drive`.
struct MachineDescription {
    std::vector<DeviceDescription> drives;

    MachineDescription() = default;
    // The machine of this device alone: wherever a machine is taken, a device alone is one.
    // cppcheck-suppress noExplicitConstructor
    MachineDescription(DeviceDescription device) : drives{std::move(device)} {}

    // The device on the drive, or null when the machine has no such drive.
    const DeviceDescription* Drive(unsigned drive) const;

    // Throws DescriptionError as DeviceDescription::Parse does, and for a drive given twice, a `drive` key
    // inside a part, or a key before the first part.
    static MachineDescription Parse(std::string_view text);
};
