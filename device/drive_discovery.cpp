#include "device/drive_discovery.h"

#include "device/storage_property.h"

#include <string>

DiscoveredDrive DiscoverDrive(unsigned number) {
    DiscoveredDrive drive;
    drive.number = number;
    drive.inventory = TakeInventory(L"\\\\.\\PhysicalDrive" + std::to_wstring(number));
    const auto busType = drive.inventory.identity.BusType();
    drive.emmcCandidate =
        busType && (*busType == StorageProperty::BusTypeSd || *busType == StorageProperty::BusTypeMmc) &&
        !drive.inventory.extCsd.empty();
    return drive;
}

std::vector<DiscoveredDrive> DiscoverDrives() {
    std::vector<DiscoveredDrive> drives;
    for (unsigned number = 0; number <= 9; ++number) {
        drives.push_back(DiscoverDrive(number));
    }
    return drives;
}
