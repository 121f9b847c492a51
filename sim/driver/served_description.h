#pragma once

#include "sim/machine_description.h"

#include <string>

// Why the stand-in storage driver cannot serve a machine description; empty when it can. It serves only
// what it can answer exactly as the description asks: Wine completes every open of a driver's device
// whatever the driver answers, so the driver cannot fail the open of a drive that the machine has, and the
// caller's last error after a failed control can only be a code that some completion status gives.
std::string WhyNotServed(const MachineDescription& description);
