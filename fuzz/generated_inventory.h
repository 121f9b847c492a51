#pragma once

#include "device/device_inventory.h"
#include "device/ext_csd.h"
#include "device/storage_firmware.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <vector>

// What the probe may have learnt of a device, drawn from a fuzzer's input as the read requests could have
// answered: each request succeeds with its bytes or fails with a code, the identity from descriptor bytes of
// any length. The EXT_CSD comes first, so that a register on its own is a whole input.
namespace Fuzz {

inline DeviceInventory GeneratedInventory(FuzzedDataProvider& input) {
    DeviceInventory inventory;
    std::vector<std::uint8_t> extCsd = input.ConsumeBytes<std::uint8_t>(ExtCsd::SIZE);
    extCsd.resize(ExtCsd::SIZE);
    const auto failure = [&](int oneIn) -> std::optional<DeviceInventory::Failure> {
        // Success when the input has run out.
        if (input.ConsumeIntegralInRange(0, oneIn - 1) != oneIn - 1) {
            return std::nullopt;
        }
        return DeviceInventory::Failure{input.ConsumeIntegral<std::uint32_t>(), "failed"};
    };
    // Drive 0 when the input has run out, any UTF-16 unit otherwise.
    const auto drive = static_cast<wchar_t>(input.ConsumeIntegral<std::uint16_t>() ^ L'0');
    inventory.drivePath = L"\\\\.\\PhysicalDrive" + std::wstring(1, drive);
    inventory.openFailure = failure(16);
    if (inventory.openFailure) {
        return inventory;
    }
    inventory.extCsdFailure = failure(8);
    if (!inventory.extCsdFailure) {
        inventory.extCsd = std::move(extCsd);
    }
    inventory.firmwareInfoFailure = failure(8);
    const auto deviceError = failure(8);
    const auto adapterError = failure(8);
    const std::vector<std::uint8_t> adapter =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 40));
    const std::vector<std::uint8_t> device =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 300));
    inventory.identity =
        DriveIdentity(deviceError ? std::optional(deviceError->code) : std::nullopt, device,
                      adapterError ? std::optional(adapterError->code) : std::nullopt, adapter);
    inventory.deviceDescriptorFailure = deviceError;
    inventory.adapterDescriptorFailure = adapterError;
    if (!inventory.firmwareInfoFailure) {
        inventory.firmwareInfo = input.ConsumeBytes<std::uint8_t>(StorageFirmware::FIRMWARE_INFO_REPLY_SIZE);
        inventory.firmwareInfo.resize(StorageFirmware::FIRMWARE_INFO_REPLY_SIZE);
    }
    return inventory;
}

} // namespace Fuzz
