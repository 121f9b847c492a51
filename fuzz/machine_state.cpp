// A simulated machine's state file, against the machine's description: what the machine writes reads back as
// itself, before and after a restart. The input is a description and a state, split at the first NUL.
#include "sim/machine_state.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    MachineDescription description;
    try {
        description = MachineDescription::Parse(input.substr(0, split));
    } catch (const DescriptionError&) {
        return 0;
    }
    MachineState state = MachineState::Initial(description);
    if (split != std::string_view::npos) {
        try {
            state = MachineState::Parse(input.substr(split + 1), description);
        } catch (const DescriptionError&) {
            return 0;
        }
    }
    for (int restart = 0; restart < 2; ++restart) {
        const std::string text = state.Text();
        const MachineState read = MachineState::Parse(text, description);
        Fuzz::Check(read.Text() == text && read.boot == state.boot &&
                        read.drives.size() == state.drives.size(),
                    "a state written reads back as itself");
        for (const auto& [drive, device] : state.drives) {
            Fuzz::Check(description.Drive(drive) != nullptr &&
                            device.revisions.size() == description.Drive(drive)->slots.size(),
                        "a state holds the described drives and a revision for each slot");
        }
        const auto restarted = state.Restart(description);
        for (const auto& [drive, device] : state.drives) {
            Fuzz::Check(device.pendingSlot == 0xFF && !device.pendingImage,
                        "a restart leaves nothing pending");
        }
        Fuzz::Check(restarted.size() <= state.drives.size(), "a restart reports each drive once at most");
    }
    return 0;
}
