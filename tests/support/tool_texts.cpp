#include "tests/support/tool_texts.h"

#include "tests/support/files.h"

namespace TestSupport {

std::string OpenedDevice(char drive) {
    return std::string("eMMC::eMMC - opened device \\\\.\\PhysicalDrive") + drive + "\n";
}

std::string Progress(std::uint32_t offset) {
    return "eMMC::UpdateFirmware - downloading offset " + std::to_string(offset) + "...\n";
}

std::string OpenDeviceError(DWORD code) {
    const std::string system = SystemMessage(code);
    return "eMMC::eMMC - could not open device: " +
           (system.empty() ? "Unknown Windows error No. " + std::to_string(code) + "." : system);
}

std::string TextMode(std::string_view text) {
    std::string bytes;
    for (const char c : text) {
        if (c == '\n') {
            bytes += '\r';
        }
        bytes += c;
    }
    return bytes;
}

} // namespace TestSupport
