#pragma once

#include "device/device_inventory.h"

#include <string>

// The simulated-device description that answers the read requests as this device did: the open, the whole
// EXT_CSD register, the firmware information with every slot and the identity that the storage property
// queries gave, or the errors they failed with.
std::string TwinDescription(const DeviceInventory& inventory);
