#include "deploy/package_manifest.h"

#include "cli/hex.h"
#include "cli/utf8.h"
#include "device/ext_csd.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <initializer_list>

using Json = nlohmann::ordered_json;

namespace {

// A key as a token of a JSON pointer. A key that holds a control character is written as its JSON string, in
// double quotes: a NUL in it would end the refusal's text, a line feed its line, before the reason.
std::string PointerToken(const std::string& key) {
    if (std::any_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return "/" + Json(key).dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    std::string token;
    for (const char c : key) {
        token += c == '~' ? std::string("~0") : c == '/' ? std::string("~1") : std::string(1, c);
    }
    return "/" + token;
}

std::string Kind(const Json& value) {
    switch (value.type()) {
    case Json::value_t::object:
        return "an object";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::boolean:
        return "true or false";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
        return "an integer";
    case Json::value_t::number_float:
        return "a number with a fraction or an exponent";
    default:
        return "null";
    }
}

// The EXT_CSD fields that a device entry may name, as quillon-probe's JSON report gives them.
struct ExtCsdField {
    const char* key;
    std::size_t offset;
    std::size_t length;
};
const ExtCsdField EXT_CSD_FIELDS[] = {
    {"device_version", ExtCsd::DEVICE_VERSION, ExtCsd::DEVICE_VERSION_LENGTH},
    {"ext_csd_rev", ExtCsd::EXT_CSD_REV, 1},
};

// MAX_PATH: the longest path that Windows' file functions take without the \\?\ prefix.
constexpr std::size_t MAX_PATH_LENGTH = 260;

// Names that Windows gives to devices in every folder, with any extension.
bool IsDeviceName(std::wstring name) {
    const std::size_t dot = name.find(L'.');
    if (dot != std::wstring::npos) {
        name.resize(dot);
    }
    name.erase(name.find_last_not_of(L' ') + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towupper(c); });
    static const wchar_t* const fixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    if (std::any_of(std::begin(fixed), std::end(fixed),
                    [&](const wchar_t* device) { return name == device; })) {
        return true;
    }
    return name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
           name[3] >= L'1' && name[3] <= L'9';
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

} // namespace

// Checks one manifest's JSON against the format, field by field, and fills the manifest. Every refusal names
// the first thing that is wrong, in the order the format lists the fields.
class PackageManifest::Reader {
public:
    explicit Reader(const std::wstring& path) : path(path), file(Utf8::FromWide(path)) {}

    PackageManifest Read(const std::string& text) const {
        const Json document = ParseStrictly(text);
        ExpectKind(document, "", Json::value_t::object);
        const Json& schema = Required(document, "", "schema_version");
        const std::uint64_t schemaVersion = Integer(schema, "/schema_version", 0, UINT32_MAX);
        if (schemaVersion != SCHEMA_VERSION) {
            Refuse("/schema_version", "schema version " + std::to_string(schemaVersion) +
                                          " is not one this program reads; it reads " +
                                          std::to_string(SCHEMA_VERSION));
        }
        KnownKeysOnly(document, "",
                      {"schema_version", "package_id", "description", "image", "firmware_version", "replaces",
                       "devices", "minimum_battery_percent"});

        PackageManifest manifest;
        manifest.packageId = PackageIdOf(Required(document, "", "package_id"), "/package_id");
        if (document.contains("description")) {
            ExpectKind(document["description"], "/description", Json::value_t::string);
        }
        ReadImage(Required(document, "", "image"), manifest);
        manifest.targetVersion = HexBytes<8>(Required(document, "", "firmware_version"), "/firmware_version");
        ReadReplaces(Required(document, "", "replaces"), manifest);
        ReadDevices(Required(document, "", "devices"), manifest);
        if (document.contains("minimum_battery_percent")) {
            manifest.minimumBatteryPercent = static_cast<unsigned>(
                Integer(document["minimum_battery_percent"], "/minimum_battery_percent", 0, 100));
        }
        return manifest;
    }

    [[noreturn]] void Refuse(const std::string& place, const std::string& reason) const {
        throw Refused(file + ": " + (place.empty() ? std::string("(top level)") : place) + ": " + reason);
    }

private:
    // Where the parser is in the document, to name the place of a key that comes twice.
    struct Level {
        bool object;
        std::string key;
        std::size_t index;
        // cppcheck-suppress unusedStructMember ; read through levels.back() in the parser's callback
        std::vector<std::string> keys;
    };

    // nlohmann-json keeps the last of two equal keys without a word; a manifest with two "sha256" keys is
    // ambiguous to its readers and is refused instead.
    Json ParseStrictly(const std::string& text) const {
        std::vector<Level> levels;
        const auto place = [&levels]() {
            std::string pointer;
            for (const Level& level : levels) {
                pointer += level.object ? PointerToken(level.key) : "/" + std::to_string(level.index);
            }
            return pointer;
        };
        const auto valueEnded = [&levels]() {
            if (!levels.empty() && !levels.back().object) {
                ++levels.back().index;
            }
        };
        const Json::parser_callback_t callback = [&](int, Json::parse_event_t event, Json& parsed) {
            switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                levels.push_back({event == Json::parse_event_t::object_start, {}, 0, {}});
                break;
            case Json::parse_event_t::key: {
                std::vector<std::string>& keys = levels.back().keys;
                const std::string key = parsed.get<std::string>();
                levels.back().key = key;
                if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
                    Refuse(place(), "the key comes twice in its object");
                }
                keys.push_back(key);
                break;
            }
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                levels.pop_back();
                valueEnded();
                break;
            case Json::parse_event_t::value:
                valueEnded();
                break;
            }
            return true;
        };
        // nlohmann-json's text after its "[json.exception.parse_error.101] " tag.
        const auto untagged = [](const std::string& what) {
            const std::size_t tagEnd = what.find("] ");
            return tagEnd == std::string::npos ? what : what.substr(tagEnd + 2);
        };
        try {
            return Json::parse(text, callback);
        } catch (const Json::parse_error& error) {
            Refuse("", "not JSON: " + untagged(error.what()));
        } catch (const Json::out_of_range& error) {
            // JSON sets no bound on numbers, nlohmann-json does: beyond a double's range (1e400, or 1 and 400
            // zeros) it stops where the number stands.
            Refuse(place(), "a number too large to read (" + untagged(error.what()) + ")");
        }
    }

    void ExpectKind(const Json& value, const std::string& place, Json::value_t kind) const {
        const bool integer = kind == Json::value_t::number_unsigned &&
                             (value.is_number_unsigned() || value.is_number_integer());
        if (value.type() != kind && !integer) {
            Refuse(place, "expected " + Kind(Json(kind)) + ", found " + Kind(value));
        }
    }

    const Json& Required(const Json& object, const std::string& place, const char* key) const {
        if (!object.contains(key)) {
            Refuse(place + PointerToken(key), "missing");
        }
        return object[key];
    }

    void KnownKeysOnly(const Json& object, const std::string& place,
                       std::initializer_list<const char*> known) const {
        for (const auto& item : object.items()) {
            if (std::none_of(known.begin(), known.end(),
                             [&](const char* key) { return item.key() == key; })) {
                std::string list;
                for (const char* key : known) {
                    list += (list.empty() ? "" : ", ") + std::string(key);
                }
                Refuse(place + PointerToken(item.key()), "unknown key (known here: " + list + ")");
            }
        }
    }

    std::uint64_t Integer(const Json& value, const std::string& place, std::uint64_t minimum,
                          std::uint64_t maximum) const {
        ExpectKind(value, place, Json::value_t::number_unsigned);
        if (value.is_number_integer() && !value.is_number_unsigned()) {
            Refuse(place, "expected an integer from " + std::to_string(minimum) + " to " +
                              std::to_string(maximum) + ", found " +
                              std::to_string(value.get<std::int64_t>()));
        }
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number < minimum || number > maximum) {
            Refuse(place, "expected an integer from " + std::to_string(minimum) + " to " +
                              std::to_string(maximum) + ", found " + std::to_string(number));
        }
        return number;
    }

    template <std::size_t Length>
    std::array<std::uint8_t, Length> HexBytes(const Json& value, const std::string& place) const {
        ExpectKind(value, place, Json::value_t::string);
        const std::string text = value.get<std::string>();
        if (text.size() != 2 * Length) {
            Refuse(place, "expected " + std::to_string(2 * Length) + " hexadecimal digits, found " +
                              std::to_string(text.size()) + " characters");
        }
        std::array<std::uint8_t, Length> bytes{};
        for (std::size_t i = 0; i < text.size(); ++i) {
            const int digit = Hex::Digit(text[i]);
            if (digit < 0) {
                Refuse(place, "character " + std::to_string(i + 1) + " is not a hexadecimal digit");
            }
            bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] << 4 | digit);
        }
        return bytes;
    }

    std::string PackageIdOf(const Json& value, const std::string& place) const {
        ExpectKind(value, place, Json::value_t::string);
        std::string id = value.get<std::string>();
        if (id.empty() || id.size() > MAXIMUM_PACKAGE_ID_LENGTH) {
            Refuse(place, "expected 1 to " + std::to_string(MAXIMUM_PACKAGE_ID_LENGTH) +
                              " characters, found " + std::to_string(id.size()));
        }
        if (!IsPackageId(id)) {
            Refuse(place, "only letters A to Z and a to z, digits, '.', '-' and '_' may form a package id, "
                          "beginning and ending with a letter or digit");
        }
        return id;
    }

    // A file in the manifest's own folder, named so that Windows opens exactly that file: no folder part,
    // no stream, nothing that Windows drops or turns into a device.
    std::wstring ImageFileOf(const Json& value, const std::string& place) const {
        ExpectKind(value, place, Json::value_t::string);
        std::wstring name = Utf8::ToWide(value.get<std::string>());
        if (name.empty() || name.size() > MAX_PATH_LENGTH - 5) {
            Refuse(place,
                   "expected a file name of 1 to " + std::to_string(MAX_PATH_LENGTH - 5) + " characters");
        }
        if (name.find_first_of(L"\\/:") != std::wstring::npos || name == L"." || name == L"..") {
            Refuse(place, "not a plain file name: the image lies in the manifest's own folder");
        }
        if (std::any_of(name.begin(), name.end(),
                        [](wchar_t c) { return c < 0x20 || std::wcschr(L"<>\"|?*", c) != nullptr; })) {
            Refuse(place, "holds a character that Windows file names cannot hold");
        }
        if (name.back() == L'.' || name.back() == L' ') {
            Refuse(place, "ends with a dot or a blank, which Windows drops from a file name");
        }
        if (IsDeviceName(name)) {
            Refuse(place, "a device name of Windows, not a file");
        }
        return name;
    }

    void ReadImage(const Json& image, PackageManifest& manifest) const {
        ExpectKind(image, "/image", Json::value_t::object);
        KnownKeysOnly(image, "/image", {"file", "length", "sha256"});
        manifest.imagePath = FolderOf(path) + ImageFileOf(Required(image, "/image", "file"), "/image/file");
        manifest.imageLength =
            Integer(Required(image, "/image", "length"), "/image/length", 1, MAXIMUM_IMAGE_LENGTH);
        manifest.imageSha256 =
            HexBytes<Sha256::DIGEST_LENGTH>(Required(image, "/image", "sha256"), "/image/sha256");
    }

    void ReadReplaces(const Json& list, PackageManifest& manifest) const {
        ExpectKind(list, "/replaces", Json::value_t::array);
        if (list.empty()) {
            Refuse("/replaces", "empty: a package that may replace no version never installs");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string place = "/replaces/" + std::to_string(i);
            const FirmwareVersion version = HexBytes<8>(list[i], place);
            if (version == manifest.targetVersion) {
                Refuse(place,
                       "the version that the image installs: a device that runs it is already current");
            }
            const auto earlier = std::find(manifest.replaces.begin(), manifest.replaces.end(), version);
            if (earlier != manifest.replaces.end()) {
                Refuse(place, "the same version as /replaces/" +
                                  std::to_string(earlier - manifest.replaces.begin()));
            }
            manifest.replaces.push_back(version);
        }
    }

    // A text that a disk's trimmed identity string can equal: its characters are the descriptor's bytes, as
    // quillon-probe writes them (a byte above 127 as the character of that code).
    TextCondition TextOf(const Json& entry, const std::string& place, const char* key, bool required) const {
        TextCondition condition;
        if (!required && !entry.contains(key)) {
            return condition;
        }
        const Json& value = Required(entry, place, key);
        const std::string keyPlace = place + PointerToken(key);
        condition.any = false;
        if (value.is_null()) {
            return condition;
        }
        ExpectKind(value, keyPlace, Json::value_t::string);
        const std::optional<std::string> bytes = Utf8::ToBytes(value.get<std::string>());
        if (!bytes || bytes->find('\0') != std::string::npos) {
            Refuse(keyPlace, "holds a character that no identity byte gives (U+0000, or above U+00FF)");
        }
        if (!bytes->empty() && (bytes->front() == ' ' || bytes->back() == ' ')) {
            Refuse(keyPlace, "begins or ends with a blank, which a disk's identity never does once trimmed");
        }
        condition.value = bytes;
        return condition;
    }

    void ReadDevices(const Json& list, PackageManifest& manifest) const {
        ExpectKind(list, "/devices", Json::value_t::array);
        if (list.empty()) {
            Refuse("/devices", "empty: the manifest names no device");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string place = "/devices/" + std::to_string(i);
            const Json& entry = list[i];
            ExpectKind(entry, place, Json::value_t::object);
            KnownKeysOnly(entry, place, {"bus_type", "vendor", "product", "product_revision", "ext_csd"});
            Device device;
            // STORAGE_BUS_TYPE ends with BusTypeMaxReserved, 0x7F.
            device.busType = static_cast<std::uint32_t>(
                Integer(Required(entry, place, "bus_type"), place + "/bus_type", 0, 0x7F));
            device.vendor = TextOf(entry, place, "vendor", false);
            device.product = TextOf(entry, place, "product", true);
            device.productRevision = TextOf(entry, place, "product_revision", false);
            if (entry.contains("ext_csd")) {
                device.extCsd = ExtCsdOf(entry["ext_csd"], place + "/ext_csd");
            }
            manifest.devices.push_back(device);
        }
    }

    std::vector<ExtCsdCondition> ExtCsdOf(const Json& fields, const std::string& place) const {
        ExpectKind(fields, place, Json::value_t::object);
        KnownKeysOnly(fields, place, {EXT_CSD_FIELDS[0].key, EXT_CSD_FIELDS[1].key});
        if (fields.empty()) {
            Refuse(place, "empty: name an EXT_CSD field, or leave ext_csd out");
        }
        std::vector<ExtCsdCondition> conditions;
        for (const ExtCsdField& field : EXT_CSD_FIELDS) {
            if (fields.contains(field.key)) {
                const std::uint64_t maximum = (std::uint64_t{1} << (8 * field.length)) - 1;
                conditions.push_back({field.offset, field.length,
                                      static_cast<std::uint32_t>(Integer(
                                          fields[field.key], place + PointerToken(field.key), 0, maximum))});
            }
        }
        return conditions;
    }

    std::wstring path;
    std::string file;
};

PackageManifest PackageManifest::Parse(const std::string& text, const std::wstring& path) {
    PackageManifest manifest = Reader(path).Read(text);
    manifest.text = text;
    return manifest;
}

void PackageManifest::RefuseFile(const std::wstring& path, const std::string& reason) {
    Reader(path).Refuse("", reason);
}

bool PackageManifest::IsPackageId(std::string_view id) {
    const auto alphanumeric = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    return !id.empty() && id.size() <= MAXIMUM_PACKAGE_ID_LENGTH &&
           std::all_of(id.begin(), id.end(),
                       [&](char c) { return alphanumeric(c) || c == '.' || c == '-' || c == '_'; }) &&
           alphanumeric(id.front()) && alphanumeric(id.back());
}

bool PackageManifest::MayReplace(const FirmwareVersion& current) const {
    return std::find(replaces.begin(), replaces.end(), current) != replaces.end();
}

PackageManifest::Naming PackageManifest::Names(const DiskIdentity& identity,
                                               const std::vector<std::uint8_t>& extCsd) const {
    const bool read = extCsd.size() >= ExtCsd::SIZE;
    const auto fieldMatches = [&](const ExtCsdCondition& condition) {
        std::uint32_t value = 0;
        for (std::size_t i = condition.length; i > 0; --i) {
            value = value << 8 | extCsd[condition.offset + i - 1];
        }
        return value == condition.value;
    };
    Naming naming = Naming::No;
    for (const Device& device : devices) {
        if (identity.busType != device.busType || !device.vendor.Matches(identity.vendor) ||
            !device.product.Matches(identity.product) ||
            !device.productRevision.Matches(identity.productRevision)) {
            continue;
        }
        if (device.extCsd.empty() ||
            (read && std::all_of(device.extCsd.begin(), device.extCsd.end(), fieldMatches))) {
            return Naming::Yes;
        }
        if (!read) {
            naming = Naming::Unknown;
        }
    }
    return naming;
}
