#pragma once

#include <cstddef>
#include <cstdint>

// The Extended CSD register as CMD8 (SEND_EXT_CSD) returns it: 512 bytes in register order. Offsets and
// bits as JESD84-B50 (eMMC 5.0) defines them.
namespace ExtCsd {

constexpr std::size_t SIZE = 512;

constexpr std::size_t FW_CONFIG = 169;
constexpr std::size_t EXT_CSD_REV = 192;
constexpr std::size_t SUPPORTED_MODES = 493;

// FW_CONFIG bit 0, Update_Disable: firmware updates are disabled on this device.
constexpr std::uint8_t FW_CONFIG_UPDATE_DISABLE = 0x01;
// SUPPORTED_MODES bit 0: the device offers Field Firmware Update.
constexpr std::uint8_t SUPPORTED_MODES_FFU = 0x01;
// EXT_CSD_REV 7 is register revision 1.7, the first of eMMC 5.0, which introduced FFU.
constexpr std::uint8_t EXT_CSD_REV_EMMC_5_0 = 7;

static_assert(FW_CONFIG < SIZE && EXT_CSD_REV < SIZE && SUPPORTED_MODES < SIZE);

} // namespace ExtCsd
