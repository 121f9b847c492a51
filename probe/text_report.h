#pragma once

#include "device/device_inventory.h"
#include "device/drive_discovery.h"

#include <optional>
#include <string>

// A package given with /D:, as Quillon would load and send it.
struct PackageReport {
    std::wstring path;
    PackagePlan plan;
};

// The report as 8-bit text with "\n" line ends, in the fixed layout of the operator's guide: the program
// line, the drive, then the sections EXT_CSD, Firmware information, Verdict and, with a package, Package.
std::string TextReport(const std::wstring& version, const DeviceInventory& inventory,
                       const std::optional<PackageReport>& package);

// The report of discovery as 8-bit text in the same layout: the program line, then for each drive its path
// and either its open failure or its identity, whether EXT_CSD reads, whether it is an eMMC candidate and
// what Quillon would do, then the summary of the candidates.
std::string DiscoveryTextReport(const std::wstring& version, const std::vector<DiscoveredDrive>& drives);
