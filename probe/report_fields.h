#pragma once

#include "device/drive_identity.h"
#include "device/storage_firmware.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The register and reply fields as both reports show them, so that the text and the JSON never disagree.
namespace ReportFields {

std::string WithoutLineEnd(std::string text);
// "0x" and the value in upper-case hexadecimal digits, at least `digits` of them.
std::string HexNumber(std::uint32_t value, int digits);

// The bytes as text when, without their trailing zero bytes, they are printable ASCII and not empty.
std::optional<std::string> PrintableText(const std::uint8_t* bytes, std::size_t length);
// A little-endian field of the register.
std::uint32_t Number(const std::vector<std::uint8_t>& extCsd, std::size_t offset, std::size_t length);
// The eMMC version that an EXT_CSD_REV value stands for.
std::string EmmcVersion(std::uint8_t revision);
// FIRMWARE_VERSION as the little-endian number its 8 bytes form, which is how most makers store it; none
// when the bytes are printable text.
std::optional<std::uint64_t> FirmwareVersionNumber(const std::uint8_t* bytes);
// What PRE_EOL_INFO and DEVICE_LIFE_TIME_EST_TYP_A/B say, in JEDEC's words.
std::string PreEolMeaning(std::uint8_t value);
std::string LifeTimeMeaning(std::uint8_t value);

// The STORAGE_BUS_TYPE's name, "unknown" for 0 and "not known to the probe" beyond the SDK's values.
std::string BusTypeName(std::uint32_t busType);
// An identity string's label in the text report and its key in the JSON report and in a description.
struct IdentityText {
    DriveIdentity::Text text;
    const char* label;
    const char* key;
};
extern const IdentityText IDENTITY_TEXTS[4];

// The slot table entries that the reply's slot count names, in table order.
std::vector<StorageFirmware::STORAGE_HW_FIRMWARE_SLOT_INFO> Slots(const std::vector<std::uint8_t>& reply);

} // namespace ReportFields
