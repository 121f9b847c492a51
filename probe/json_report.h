#pragma once

#include "probe/text_report.h"

#include <string>

// The same report as one JSON object in UTF-8, with the keys of the operator's guide: numbers as numbers,
// byte strings as lower-case hexadecimal text, what is not known as null.
std::string JsonReport(const std::wstring& version, const DeviceInventory& inventory,
                       const std::optional<PackageReport>& package);

// The report of discovery as one JSON object: the program's version, one object for each drive with the
// keys of the single report that discovery reads (open_error, identity, ext_csd_read and the firmware
// version, verdict) and emmc_candidate, and the numbers of the eMMC candidates.
std::string DiscoveryJsonReport(const std::wstring& version, const std::vector<DiscoveredDrive>& drives);
