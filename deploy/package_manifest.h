#pragma once

#include "cli/sha256.h"
#include "deploy/disk_identity.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A firmware release as the deployment program reads it from its JSON manifest: which image, for which
// devices, from which firmware versions to which. The format is documented in docs/deployment.md ("The
// package manifest"); reading is strict, so that a typing error in a manifest stops the rollout on the first
// machine instead of updating the wrong devices, or none, everywhere.
class PackageManifest {
public:
    static constexpr int SCHEMA_VERSION = 1;
    static constexpr unsigned DEFAULT_MINIMUM_BATTERY_PERCENT = 40;
    // The longest package the tool loads (cli/package.h).
    static constexpr std::uint64_t MAXIMUM_IMAGE_LENGTH = 0x7FFFFFFF;
    static constexpr std::size_t MAXIMUM_PACKAGE_ID_LENGTH = 64;
    static constexpr std::size_t MAXIMUM_MANIFEST_LENGTH = std::size_t{1024} * 1024;

    // EXT_CSD FIRMWARE_VERSION, its 8 bytes in register order.
    using FirmwareVersion = std::array<std::uint8_t, 8>;

    // A manifest that is not read: the text is one line, "<file>: <place>: <reason>", the place a JSON
    // pointer (RFC 6901) such as /image/sha256, in UTF-8.
    class Refused : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Reads and checks the manifest file; throws Refused.
    static PackageManifest Read(const std::wstring& path);
    // Checks a manifest's text; `path` names it in refusals and locates the image. Throws Refused.
    static PackageManifest Parse(const std::string& text, const std::wstring& path);

    // 1 to MAXIMUM_PACKAGE_ID_LENGTH letters A to Z and a to z, digits, '.', '-' and '_', beginning and
    // ending with a letter or digit.
    static bool IsPackageId(std::string_view id);

    // The manifest's text, as it was read.
    const std::string& Text() const { return text; }
    // Only letters, digits, '.', '-' and '_': it goes into the names of log and record files.
    const std::string& PackageId() const { return packageId; }
    // The image file beside the manifest: the manifest's folder as its path gave it, and the file's name.
    const std::wstring& ImagePath() const { return imagePath; }
    std::uint64_t ImageLength() const { return imageLength; }
    const Sha256::Digest& ImageSha256() const { return imageSha256; }
    // What the device's FIRMWARE_VERSION reads once the image runs.
    const FirmwareVersion& TargetVersion() const { return targetVersion; }
    // Whether a device that runs `current` may receive the image: a byte-for-byte match with one of the
    // versions the manifest lists.
    bool MayReplace(const FirmwareVersion& current) const;
    // 0 for no check; applies only when the machine is not on AC power.
    unsigned MinimumBatteryPercent() const { return minimumBatteryPercent; }
    enum class Naming {
        No,
        Yes,
        // An entry names the disk's identity and asks for EXT_CSD fields, and the register was not read.
        Unknown,
    };
    // Whether one of the manifest's device entries names a disk with this identity and this EXT_CSD (the 512
    // register bytes; empty when they were not read).
    Naming Names(const DiskIdentity& identity, const std::vector<std::uint8_t>& extCsd) const;

private:
    std::string text;
    // One identity string of a device entry: absent from the entry (any value matches), null (the disk must
    // have none) or a text that the disk's trimmed string must equal byte for byte.
    struct TextCondition {
        bool any = true;
        std::optional<std::string> value;
        bool Matches(const std::optional<std::string>& actual) const { return any || actual == value; }
    };
    // A field of EXT_CSD, read as a little-endian number.
    struct ExtCsdCondition {
        std::size_t offset;
        std::size_t length;
        std::uint32_t value;
    };
    struct Device {
        std::uint32_t busType = 0;
        TextCondition vendor;
        TextCondition product;
        TextCondition productRevision;
        std::vector<ExtCsdCondition> extCsd;
    };
    class Reader;
    // Throws the refusal of the manifest file as a whole, for a reason found before its text is read.
    [[noreturn]] static void RefuseFile(const std::wstring& path, const std::string& reason);

    std::string packageId;
    std::wstring imagePath;
    std::uint64_t imageLength = 0;
    Sha256::Digest imageSha256{};
    FirmwareVersion targetVersion{};
    std::vector<FirmwareVersion> replaces;
    std::vector<Device> devices;
    unsigned minimumBatteryPercent = DEFAULT_MINIMUM_BATTERY_PERCENT;
};
