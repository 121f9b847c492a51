#pragma once

#include "device/device_inventory.h"

#include <vector>

// One of the drives that Quillon can name, asked as TakeInventory asks a drive: read requests only.
struct DiscoveredDrive {
    unsigned number = 0;
    DeviceInventory inventory;
    // On the bus of an eMMC (SD or MMC, as Windows' SD port driver reports it) with an EXT_CSD that reads.
    bool emmcCandidate = false;
};

// The drive \\.\PhysicalDrive<number>.
DiscoveredDrive DiscoverDrive(unsigned number);

// Drives 0 to 9 in turn. A drive that does not open is a drive like the others, with its open failure.
std::vector<DiscoveredDrive> DiscoverDrives();
