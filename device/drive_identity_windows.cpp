#include "device/drive_identity.h"

#include "device/emmc.h"
#include "device/storage_property.h"

using namespace StorageProperty;

DriveIdentity DriveIdentity::Read(const eMMC& device) {
    std::vector<std::uint8_t> deviceDescriptor;
    std::vector<std::uint8_t> adapterDescriptor;
    const auto deviceError = device.ReadProperty(StorageDeviceProperty, deviceDescriptor);
    const auto adapterError = device.ReadProperty(StorageAdapterProperty, adapterDescriptor);
    return DriveIdentity(deviceError, deviceDescriptor, adapterError, adapterDescriptor);
}
