// A simulated machine's description: one device, or a part per drive.
#include "sim/machine_description.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    try {
        const MachineDescription machine = MachineDescription::Parse(text);
        std::set<unsigned> drives;
        for (const DeviceDescription& device : machine.drives) {
            Fuzz::Check(device.drive <= 9 && drives.insert(device.drive).second &&
                            machine.Drive(device.drive) == &device,
                        "each drive of a machine is there once, under its own digit");
        }
        Fuzz::Check(!machine.drives.empty(), "a machine has a drive");
    } catch (const DescriptionError& error) {
        Fuzz::Check(error.Line() >= 1 && error.Line() <= lines, "a mistake names a line of the text");
    }
    return 0;
}
