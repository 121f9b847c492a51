#pragma once

#include "device/storage_property.h"
#include "sim/description_text.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// What a simulated eMMC device is and how it answers. The defaults are the built-in device: a healthy
// eMMC 5.1 on drive 0 with one writable slot numbered 1, on which every request succeeds.
struct DeviceDescription {
    struct Slot {
        std::uint8_t number;
        // The information reply's ReadOnly byte: bit 0 marks a read-only slot, the other bits are reserved.
        std::uint8_t readOnly;
        // The slot's firmware revision as the information reply carries it.
        std::array<std::uint8_t, 16> revision{'Q', 'S', 'I', 'M', '0', '0', '0', '1'};
    };
    // The K-th download request, counting from 1, fails with the code.
    struct DownloadError {
        std::uint32_t request;
        std::uint32_t code;
    };

    std::uint8_t drive = 0;
    std::optional<std::uint32_t> openError;
    std::uint8_t extCsdRev = 8;
    std::uint8_t supportedModes = 0x01;
    std::uint8_t fwConfig = 0x00;
    // The whole register; its bytes 192, 493 and 169 are also in the three fields above.
    std::optional<std::array<std::uint8_t, 512>> extCsd;
    // How many leading bytes of the 512-byte register the driver fills.
    std::uint32_t extCsdFilled = 512;
    std::optional<std::uint32_t> extCsdError;
    std::optional<std::uint32_t> infoError;
    // The information reply's SupportUpgrade byte: bit 0 says upgrades are supported, the others are
    // reserved.
    std::uint8_t supportUpgrade = 1;
    std::vector<Slot> slots{{1, false}};
    std::uint8_t activeSlot = 1;
    std::uint8_t pendingSlot = 0xFF;
    std::uint8_t firmwareShared = 0;
    std::uint32_t alignment = 512;
    std::uint32_t maxPayload = 65536;
    // The adapter's MaximumTransferLength, which Windows checks the device's maximum payload and every
    // download against. The default takes any payload up to 1 MiB.
    std::uint32_t maxTransferLength = 0x100000;
    std::optional<DownloadError> downloadError;
    std::optional<std::uint32_t> activateError;
    // Which firmware version an image installs when the machine restarts, known by the image's CRC-32; an
    // image without a version fails to install. An image that is not listed fails as well.
    struct Image {
        std::uint32_t crc32;
        std::optional<std::array<std::uint8_t, 8>> version;
    };
    std::vector<Image> images;
    // What the storage property queries report of the disk: its STORAGE_BUS_TYPE and the identity strings
    // of its device descriptor, each none (offset 0) when not given. A described device names its own
    // strings; the built-in one is an eMMC that says it is simulated, with no vendor as eMMC parts commonly
    // have.
    std::uint32_t busType = StorageProperty::BusTypeMmc;
    std::optional<std::string> vendor;
    std::optional<std::string> product = "QSIM eMMC";
    std::optional<std::string> productRevision = "QSIM0001";
    std::optional<std::string> serialNumber = "QSIM-0000-0001";
    std::optional<std::uint32_t> devicePropertyError;
    std::optional<std::uint32_t> adapterPropertyError;

    // What a described device starts from: the built-in device without its identity strings.
    static DeviceDescription Described();
    // Reads the text form of one device (see DescriptionText; a text value in double quotes is taken
    // verbatim between them, "#" included): every key overrides the built-in device, whose identity strings
    // a description does not inherit. Throws DescriptionError for an unknown or repeated key, a malformed
    // line or a bad value.
    static DeviceDescription Parse(std::string_view text);
    // Applies one "key = value" line; `given` holds the keys given before it for this device.
    void Set(std::size_t line, std::string_view key, std::string_view value,
             std::set<std::string, std::less<>>& given);
};
