#include "probe/manifest_draft.h"

#include "cli/hex.h"
#include "cli/sha256.h"
#include "cli/utf8.h"
#include "device/ext_csd.h"

#include <nlohmann/json.hpp>

#include <cctype>

using Json = nlohmann::ordered_json;

namespace {

constexpr std::size_t PACKAGE_ID_LENGTH = 64;

// The package file's name without its folder.
std::wstring FileName(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/:") + 1);
}

// A package id from the file's name without its extension: the characters a package id may hold, every
// other one as '-', beginning and ending with a letter or a digit.
std::string PackageId(const std::wstring& name) {
    std::string id;
    for (const wchar_t character : name.substr(0, name.rfind(L'.'))) {
        const bool allowed =
            character < 0x80 && (std::isalnum(static_cast<int>(character)) != 0 || character == L'.' ||
                                 character == L'-' || character == L'_');
        id += allowed ? static_cast<char>(character) : '-';
    }
    const auto first = id.find_first_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    if (first == std::string::npos) {
        return "package";
    }
    id = id.substr(first, PACKAGE_ID_LENGTH);
    return id.substr(0,
                     id.find_last_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") + 1);
}

Json Text(const std::optional<std::string>& bytes) {
    return bytes ? Json(Utf8::FromBytes(*bytes)) : Json(nullptr);
}

} // namespace

std::optional<std::string> ManifestDraft(const DeviceInventory& inventory, const std::wstring& packagePath,
                                         const std::vector<std::uint8_t>& image) {
    const auto busType = inventory.identity.BusType();
    if (inventory.openFailure || inventory.extCsd.empty() || inventory.deviceDescriptorFailure || !busType) {
        return std::nullopt;
    }
    Sha256 hash;
    hash.Update(image.data(), image.size());
    const std::wstring name = FileName(packagePath);
    const std::uint8_t* version = inventory.extCsd.data() + ExtCsd::FIRMWARE_VERSION;
    const Json draft = {
        {"schema_version", 1},
        {"package_id", PackageId(name)},
        {"description", "Drafted by quillon-probe from " + Utf8::FromWide(inventory.drivePath)},
        {"image",
         {{"file", Utf8::FromWide(name)}, {"length", image.size()}, {"sha256", Sha256::Hex(hash.Finish())}}},
        {"firmware_version", "the 16 hexadecimal digits of the FIRMWARE_VERSION that the image installs"},
        {"replaces", {Hex::Text(version, ExtCsd::FIRMWARE_VERSION_LENGTH)}},
        {"devices",
         {{{"bus_type", *busType},
           {"vendor", Text(inventory.identity.Trimmed(DriveIdentity::Text::Vendor))},
           {"product", Text(inventory.identity.Trimmed(DriveIdentity::Text::Product))},
           {"ext_csd",
            {{"device_version", inventory.extCsd[ExtCsd::DEVICE_VERSION] |
                                    inventory.extCsd[ExtCsd::DEVICE_VERSION + 1] << 8}}}}}},
    };
    return draft.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
