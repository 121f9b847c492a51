#pragma once

#include <cstdint>
#include <optional>

// The completion status that makes the caller's GetLastError give `error` after a failed CreateFileW or
// DeviceIoControl on the stand-in storage driver, as the system's status-to-error table converts it; none
// for a code that no status gives (0, and most codes above 0xFFFF).
std::optional<std::uint32_t> StatusForLastError(std::uint32_t error);
