#include "deploy/deploy_record.h"

#include "cli/hex.h"
#include "cli/utf8.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>

using Json = nlohmann::ordered_json;

namespace {

template <typename T> Json Optional(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json Text(const std::optional<std::string>& bytes) {
    return bytes ? Json(Utf8::FromBytes(*bytes)) : Json(nullptr);
}

template <std::size_t Length> Json HexOf(const std::optional<std::array<std::uint8_t, Length>>& bytes) {
    return bytes ? Json(Hex::Text(bytes->data(), Length)) : Json(nullptr);
}

// nlohmann-json hands any number to any arithmetic type by a cast, which cuts a fraction, wraps a value
// beyond the type and is undefined for a double beyond it: a record's numbers are whole and in their field's
// range, or the file is not a record of ours.
template <typename T> T ValueOf(const Json& value) {
    if constexpr (std::is_integral_v<T>) {
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number <= static_cast<std::make_unsigned_t<T>>(std::numeric_limits<T>::max())) {
                return static_cast<T>(number);
            }
        } else if (value.is_number_integer()) {
            const auto number = value.get<std::int64_t>();
            if (number >= static_cast<std::int64_t>(std::numeric_limits<T>::min())) {
                return static_cast<T>(number);
            }
        }
        throw std::out_of_range("a number that is not a whole number of its field's range");
    } else {
        return value.get<T>();
    }
}

template <typename T> std::optional<T> OptionalOf(const Json& value) {
    return value.is_null() ? std::nullopt : std::optional<T>(ValueOf<T>(value));
}

std::optional<std::string> BytesOf(const Json& value) {
    if (value.is_null()) {
        return std::nullopt;
    }
    auto bytes = Utf8::ToBytes(value.get<std::string>());
    if (!bytes) {
        throw std::invalid_argument("an identity text beyond a byte");
    }
    return bytes;
}

template <std::size_t Length> std::optional<std::array<std::uint8_t, Length>> HexArrayOf(const Json& value) {
    if (value.is_null()) {
        return std::nullopt;
    }
    const auto bytes = Hex::Bytes(value.get<std::string>());
    if (!bytes || bytes->size() != Length) {
        throw std::invalid_argument("a byte string of another length");
    }
    std::array<std::uint8_t, Length> array{};
    std::copy(bytes->begin(), bytes->end(), array.begin());
    return array;
}

} // namespace

std::string DeployRecord::ToJson() const {
    Json identityJson = nullptr;
    if (identity) {
        identityJson = {{"bus_type", Optional(identity->busType)},
                        {"vendor", Text(identity->vendor)},
                        {"product", Text(identity->product)},
                        {"product_revision", Text(identity->productRevision)}};
    }
    const Json record = {
        {"record_version", RECORD_VERSION},
        {"outcome", outcome},
        {"exit_code", Optional(exitCode)},
        {"time", time},
        {"machine", machine},
        {"package_id", packageId},
        {"image_sha256", Sha256::Hex(imageSha256)},
        {"drive", Optional(drive)},
        {"identity", identityJson},
        {"version_before", HexOf(versionBefore)},
        {"target_version", Hex::Text(targetVersion.data(), targetVersion.size())},
        {"boot_identity", Optional(bootIdentity)},
        {"tool_exit_code", Optional(toolExitCode)},
        {"tool_closing_line", Optional(toolClosingLine)},
        {"pending_slot", Optional(pendingSlot)},
        {"ffu_status", Optional(ffuStatus)},
        {"sectors_programmed", Optional(sectorsProgrammed)},
        {"version_after_restart", HexOf(versionAfterRestart)},
    };
    // A text that is not valid UTF-8 (a log line in another code page) is kept with its bad bytes replaced,
    // rather than losing the record.
    return record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<DeployRecord> DeployRecord::FromJson(const std::string& text) {
    try {
        const Json json = Json::parse(text);
        if (ValueOf<int>(json.at("record_version")) != RECORD_VERSION) {
            return std::nullopt;
        }
        DeployRecord record;
        record.outcome = json.at("outcome").get<std::string>();
        record.exitCode = OptionalOf<int>(json.at("exit_code"));
        record.time = json.at("time").get<std::string>();
        record.machine = json.at("machine").get<std::string>();
        record.packageId = json.at("package_id").get<std::string>();
        const auto digest = HexArrayOf<Sha256::DIGEST_LENGTH>(json.at("image_sha256"));
        if (!digest) {
            return std::nullopt;
        }
        record.imageSha256 = *digest;
        record.drive = OptionalOf<unsigned>(json.at("drive"));
        const Json& identity = json.at("identity");
        if (!identity.is_null()) {
            record.identity = DiskIdentity{OptionalOf<std::uint32_t>(identity.at("bus_type")),
                                           BytesOf(identity.at("vendor")), BytesOf(identity.at("product")),
                                           BytesOf(identity.at("product_revision"))};
        }
        record.versionBefore = HexArrayOf<8>(json.at("version_before"));
        const auto target = HexArrayOf<8>(json.at("target_version"));
        if (!target) {
            return std::nullopt;
        }
        record.targetVersion = *target;
        record.bootIdentity = OptionalOf<std::string>(json.at("boot_identity"));
        record.toolExitCode = OptionalOf<std::uint32_t>(json.at("tool_exit_code"));
        record.toolClosingLine = OptionalOf<std::string>(json.at("tool_closing_line"));
        record.pendingSlot = OptionalOf<std::uint32_t>(json.at("pending_slot"));
        record.ffuStatus = OptionalOf<std::uint8_t>(json.at("ffu_status"));
        record.sectorsProgrammed = OptionalOf<std::uint32_t>(json.at("sectors_programmed"));
        record.versionAfterRestart = HexArrayOf<8>(json.at("version_after_restart"));
        return record;
    } catch (const std::exception&) {
        // nlohmann-json's parse and type errors, and the byte strings above: not a record of ours.
        return std::nullopt;
    }
}
