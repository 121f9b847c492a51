// The storage device and adapter descriptors that Windows' property queries return.
#include "device/drive_identity.h"
#include "device/storage_property.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

using namespace StorageProperty;

namespace {

// The string that the offset field points to, as the descriptor's bytes hold it: up to its NUL, all of it
// inside the bytes returned.
std::optional<std::string> Expected(const std::vector<std::uint8_t>& bytes, std::size_t field) {
    if (bytes.size() < field + 4) {
        return std::nullopt;
    }
    std::uint32_t offset = 0;
    std::memcpy(&offset, bytes.data() + field, sizeof(offset));
    if (offset == 0 || offset >= bytes.size()) {
        return std::nullopt;
    }
    const auto* begin = reinterpret_cast<const char*>(bytes.data()) + offset;
    const void* nul = std::memchr(begin, 0, bytes.size() - offset);
    if (nul == nullptr) {
        return std::nullopt;
    }
    return std::string(begin, static_cast<const char*>(nul));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool deviceFailed = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    const bool adapterFailed = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    const std::vector<std::uint8_t> adapter =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 40));
    const std::vector<std::uint8_t> device = input.ConsumeRemainingBytes<std::uint8_t>();

    const DriveIdentity identity(deviceFailed ? std::optional<std::uint32_t>(5) : std::nullopt, device,
                                 adapterFailed ? std::optional<std::uint32_t>(50) : std::nullopt, adapter);
    const std::pair<DriveIdentity::Text, std::size_t> texts[] = {
        {DriveIdentity::Text::Vendor, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset)},
        {DriveIdentity::Text::Product, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset)},
        {DriveIdentity::Text::ProductRevision, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset)},
        {DriveIdentity::Text::SerialNumber, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset)},
    };
    for (const auto& [text, field] : texts) {
        const auto& raw = identity.Raw(text);
        Fuzz::Check(raw == (deviceFailed ? std::nullopt : Expected(device, field)),
                    "an identity string is the NUL-terminated text inside the returned bytes");
        const auto trimmed = identity.Trimmed(text);
        Fuzz::Check(trimmed.has_value() == raw.has_value(), "a string trims to a string");
        if (trimmed) {
            Fuzz::Check((trimmed->empty() || (trimmed->front() != ' ' && trimmed->back() != ' ')) &&
                            raw->find(*trimmed) != std::string::npos &&
                            raw->find_first_not_of(
                                ' ', trimmed->empty() ? 0 : raw->find(*trimmed) + trimmed->size()) ==
                                std::string::npos,
                        "trimming takes the blanks at the ends and nothing else");
        }
    }
    const bool hasBusType =
        !deviceFailed && device.size() >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + 4;
    Fuzz::Check(identity.BusType().has_value() == hasBusType, "the bus type is read when it was returned");
    const bool hasLength =
        !adapterFailed && adapter.size() >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) + 4;
    Fuzz::Check(identity.MaximumTransferLength().has_value() == hasLength,
                "the transfer length is read when it was returned");
    return 0;
}
