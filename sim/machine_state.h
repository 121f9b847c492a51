#pragma once

#include "sim/machine_description.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// What happened to a simulated machine since it was built, kept in a state file between runs: the description
// stays what the machine was built as. An image that a device took whole and activated waits for the next
// restart, as on a real eMMC: until then the device reports the activation pending and runs its old firmware.
struct MachineState {
    struct Device {
        struct Image {
            std::uint64_t length;
            std::uint32_t crc32;
        };
        std::uint8_t activeSlot = 0;
        std::uint8_t pendingSlot = 0xFF;
        // The image that the pending slot received, if it received one while the machine was simulated.
        std::optional<Image> pendingImage;
        std::array<std::uint8_t, 8> firmwareVersion{};
        std::uint8_t ffuStatus = 0;
        std::uint32_t sectorsProgrammed = 0;
        // The slots' revisions, in the order of the description's slots.
        std::vector<std::array<std::uint8_t, 16>> revisions;

        static Device Initial(const DeviceDescription& description);
    };
    // What a restart did to a drive that had an activation pending.
    struct Restarted {
        std::uint8_t drive;
        bool installed;
    };

    // Counts the machine's starts from 1: a program tells by it whether the machine restarted.
    std::uint32_t boot = 1;
    std::map<std::uint8_t, Device> drives;

    static MachineState Initial(const MachineDescription& description);
    // Throws DescriptionError for a malformed state, or one that does not fit the description.
    static MachineState Parse(std::string_view text, const MachineDescription& description);
    std::string Text() const;

    // The machine restarts: each pending image takes effect, or fails to install and leaves the old firmware
    // running with the FFU_STATUS of a failed install.
    std::vector<Restarted> Restart(const MachineDescription& description);

    // The state in the file, or the initial one when there is no file yet. Throws MachineStateError.
    static MachineState Load(const std::wstring& path, const MachineDescription& description);
    // Replaces the file whole, so that a reader never sees half a state. Throws MachineStateError.
    void Save(const std::wstring& path) const;
};

class MachineStateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
