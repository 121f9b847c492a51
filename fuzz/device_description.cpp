// A simulated device's description: read whole, or refused with the line of its first mistake.
#include "sim/device_description.h"
#include "device/ext_csd.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    try {
        const DeviceDescription device = DeviceDescription::Parse(text);
        Fuzz::Check(device.drive <= 9 && device.slots.size() <= 255 && device.extCsdFilled <= ExtCsd::SIZE &&
                        (!device.downloadError || device.downloadError->request > 0),
                    "a description read holds values the device can have");
        if (device.extCsd) {
            Fuzz::Check(device.extCsdRev == (*device.extCsd)[ExtCsd::EXT_CSD_REV] &&
                            device.supportedModes == (*device.extCsd)[ExtCsd::SUPPORTED_MODES] &&
                            device.fwConfig == (*device.extCsd)[ExtCsd::FW_CONFIG],
                        "the register and its single bytes agree");
        }
    } catch (const DescriptionError& error) {
        Fuzz::Check(error.Line() >= 1 && error.Line() <= lines && *error.what() != '\0',
                    "a mistake names a line of the text and what is wrong");
    }
    return 0;
}
