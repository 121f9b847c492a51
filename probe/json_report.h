#pragma once

#include "probe/text_report.h"

#include <string>

// The same report as one JSON object in UTF-8, with the keys of the operator's guide: numbers as numbers,
// byte strings as lower-case hexadecimal text, what is not known as null.
std::string JsonReport(const std::wstring& version, const DeviceInventory& inventory,
                       const std::optional<PackageReport>& package);
