#pragma once

#include "device/device_inventory.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A package manifest drafted from a pilot machine: the device entry of the probed disk (its bus type,
// vendor and product, and EXT_CSD DEVICE_VERSION), its running FIRMWARE_VERSION as the one version the
// image replaces, and the package's file name, length and SHA-256. The version that the image installs is
// not known to the probe: the draft holds a placeholder there, which the deployment program refuses until
// the operator has written the version in. Nothing when the drive gave no identity or no EXT_CSD.
std::optional<std::string> ManifestDraft(const DeviceInventory& inventory, const std::wstring& packagePath,
                                         const std::vector<std::uint8_t>& image);
