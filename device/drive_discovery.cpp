#include "device/drive_discovery.h"

#include "device/storage_property.h"

#include <string>

std::vector<DiscoveredDrive> DiscoverDrives() {
    std::vector<DiscoveredDrive> drives;
    for (unsigned number = 0; number <= 9; ++number) {
        DiscoveredDrive drive;
        drive.number = number;
        drive.inventory = TakeInventory(L"\\\\.\\PhysicalDrive" + std::to_wstring(number));
        const auto busType = drive.inventory.identity.BusType();
        drive.emmcCandidate =
            busType && (*busType == StorageProperty::BusTypeSd || *busType == StorageProperty::BusTypeMmc) &&
            !drive.inventory.extCsd.empty();
        drives.push_back(std::move(drive));
    }
    return drives;
}
