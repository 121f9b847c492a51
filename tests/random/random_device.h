#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

// One whole behaviour of a simulated eMMC device and the size of the image sent to it, drawn from a seed.
// The draws lean towards the edges where the rules of eligibility, slot choice and segments change their
// answer, and at most one request fails.
struct RandomDevice {
    struct Slot {
        std::uint8_t number;
        // The reply's ReadOnly byte: bit 0 and the reserved bits beside it.
        std::uint8_t readOnly;
    };
    struct DownloadError {
        std::uint32_t request;
        DWORD code;
    };

    std::optional<DWORD> openError;
    std::uint8_t extCsdRev = 8;
    std::uint8_t supportedModes = 0x01;
    std::uint8_t fwConfig = 0x00;
    std::uint32_t extCsdFilled = 512;
    std::optional<DWORD> extCsdError;
    std::optional<DWORD> infoError;
    // The reply's SupportUpgrade byte: bit 0 and the reserved bits beside it.
    std::uint8_t supportUpgrade = 1;
    std::vector<Slot> slots;
    std::uint32_t alignment = 512;
    std::uint32_t maxPayload = 65536;
    // The adapter's limit, which Windows holds the maximum payload and every segment against; the simulated
    // device's default when not drawn.
    std::optional<std::uint32_t> maxTransferLength;
    std::optional<DownloadError> downloadError;
    std::optional<DWORD> activateError;
    std::uint32_t imageLength = 0;

    static RandomDevice FromSeed(std::uint64_t seed);

    // The device as the simulated device's description text; it answers to drive 1, never to the drive
    // that names the machine's own disk.
    std::string Description() const;
};

// The adapter's limit of a device whose description names none.
constexpr std::uint32_t DEFAULT_MAX_TRANSFER_LENGTH = 0x100000;

// The longest image a device is given.
constexpr std::uint32_t MAX_IMAGE_LENGTH = 3 << 20;

// The image of a length: the first `length` bytes of one fixed random sequence, so that a segment taken
// from the wrong place shows in its checksum.
std::string_view ImageOf(std::uint32_t length);
// zlib's CRC-32 of that image.
std::uint32_t ImageCrc32(std::uint32_t length);

} // namespace TestSupport
