// The deployment program's result records: any text is a record that ToJson wrote or none, and every record
// written reads back as itself.
#include "deploy/deploy_record.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

template <typename T> std::optional<T> Maybe(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? std::optional<T>(input.ConsumeIntegral<T>()) : std::nullopt;
}

std::optional<std::string> MaybeText(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? std::optional<std::string>(input.ConsumeRandomLengthString(64))
                               : std::nullopt;
}

template <std::size_t Length> std::array<std::uint8_t, Length> Bytes(FuzzedDataProvider& input) {
    std::array<std::uint8_t, Length> bytes{};
    input.ConsumeData(bytes.data(), bytes.size());
    return bytes;
}

DeployRecord Generated(FuzzedDataProvider& input) {
    DeployRecord record;
    record.outcome = input.ConsumeRandomLengthString(64);
    record.exitCode = Maybe<int>(input);
    record.time = input.ConsumeRandomLengthString(32);
    record.machine = input.ConsumeRandomLengthString(32);
    record.packageId = input.ConsumeRandomLengthString(64);
    record.imageSha256 = Bytes<Sha256::DIGEST_LENGTH>(input);
    record.drive = Maybe<unsigned>(input);
    if (input.ConsumeBool()) {
        record.identity =
            DiskIdentity{Maybe<std::uint32_t>(input), MaybeText(input), MaybeText(input), MaybeText(input)};
    }
    if (input.ConsumeBool()) {
        record.versionBefore = Bytes<8>(input);
    }
    record.targetVersion = Bytes<8>(input);
    record.bootIdentity = MaybeText(input);
    record.toolExitCode = Maybe<std::uint32_t>(input);
    record.toolClosingLine = MaybeText(input);
    record.pendingSlot = Maybe<std::uint32_t>(input);
    record.ffuStatus = Maybe<std::uint8_t>(input);
    record.sectorsProgrammed = Maybe<std::uint32_t>(input);
    if (input.ConsumeBool()) {
        record.versionAfterRestart = Bytes<8>(input);
    }
    return record;
}

// Every number of the record as written stands in the file under the same key with the same value: a
// number read is never cut short or wrapped into its field.
bool NumbersAsInFile(const nlohmann::json& written, const nlohmann::json& file) {
    for (const auto& [key, value] : written.items()) {
        if (value.is_object() && !NumbersAsInFile(value, file.at(key))) {
            return false;
        }
        if (value.is_number() && file.at(key) != value) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // As a file of the records' folder: a record read back is written again as the same text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto read = DeployRecord::FromJson(text)) {
        const std::string written = read->ToJson();
        const auto again = DeployRecord::FromJson(written);
        Fuzz::Check(again.has_value() && again->ToJson() == written,
                    "a record read is written and read back whole");
        Fuzz::Check(NumbersAsInFile(nlohmann::json::parse(written), nlohmann::json::parse(text)),
                    "a record's numbers are read as the file holds them");
    }

    // As a record of a run: what ToJson writes reads back with every field, the identity's bytes exactly.
    FuzzedDataProvider input(data, size);
    const DeployRecord record = Generated(input);
    const std::string written = record.ToJson();
    const auto read = DeployRecord::FromJson(written);
    Fuzz::Check(read.has_value() && read->ToJson() == written, "a record written reads back");
    Fuzz::Check(read->exitCode == record.exitCode && read->drive == record.drive &&
                    read->imageSha256 == record.imageSha256 && read->versionBefore == record.versionBefore &&
                    read->targetVersion == record.targetVersion &&
                    read->toolExitCode == record.toolExitCode && read->pendingSlot == record.pendingSlot &&
                    read->ffuStatus == record.ffuStatus &&
                    read->sectorsProgrammed == record.sectorsProgrammed &&
                    read->versionAfterRestart == record.versionAfterRestart &&
                    read->identity.has_value() == record.identity.has_value(),
                "a record's numbers and bytes read back");
    if (record.identity) {
        Fuzz::Check(read->identity->busType == record.identity->busType &&
                        read->identity->vendor == record.identity->vendor &&
                        read->identity->product == record.identity->product &&
                        read->identity->productRevision == record.identity->productRevision,
                    "a disk's identity bytes read back exactly");
    }
    return 0;
}
