#pragma once

#include <cstddef>
#include <cstdint>

// The Extended CSD register as CMD8 (SEND_EXT_CSD) returns it: 512 bytes in register order. Offsets and
// bits as JESD84-B50 (eMMC 5.0) defines them; a field of several bytes starts at its lowest offset and is
// little-endian.
namespace ExtCsd {

constexpr std::size_t SIZE = 512;

constexpr std::size_t FFU_STATUS = 26;
constexpr std::size_t MODE_CONFIG = 30;
constexpr std::size_t FW_CONFIG = 169;
constexpr std::size_t EXT_CSD_REV = 192;
constexpr std::size_t FIRMWARE_VERSION = 254;
constexpr std::size_t FIRMWARE_VERSION_LENGTH = 8;
constexpr std::size_t DEVICE_VERSION = 262;
constexpr std::size_t DEVICE_VERSION_LENGTH = 2;
constexpr std::size_t PRE_EOL_INFO = 267;
constexpr std::size_t DEVICE_LIFE_TIME_EST_TYP_A = 268;
constexpr std::size_t DEVICE_LIFE_TIME_EST_TYP_B = 269;
constexpr std::size_t NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED = 302;
constexpr std::size_t NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED_LENGTH = 4;
constexpr std::size_t FFU_ARG = 487;
constexpr std::size_t FFU_ARG_LENGTH = 4;
constexpr std::size_t OPERATION_CODE_TIMEOUT = 491;
constexpr std::size_t FFU_FEATURES = 492;
constexpr std::size_t SUPPORTED_MODES = 493;

// FW_CONFIG bit 0, Update_Disable: firmware updates are disabled on this device.
constexpr std::uint8_t FW_CONFIG_UPDATE_DISABLE = 0x01;
// SUPPORTED_MODES bit 0: the device offers Field Firmware Update.
constexpr std::uint8_t SUPPORTED_MODES_FFU = 0x01;
// SUPPORTED_MODES bit 1: the device offers its vendor-specific mode.
constexpr std::uint8_t SUPPORTED_MODES_VSM = 0x02;
// FFU_STATUS after the firmware was installed, and after an install that failed.
constexpr std::uint8_t FFU_STATUS_SUCCESS = 0x00;
constexpr std::uint8_t FFU_STATUS_INSTALL_ERROR = 0x11;
// EXT_CSD_REV 7 is register revision 1.7, the first of eMMC 5.0, which introduced FFU; 8 is eMMC 5.1.
constexpr std::uint8_t EXT_CSD_REV_EMMC_5_0 = 7;
constexpr std::uint8_t EXT_CSD_REV_EMMC_5_1 = 8;

static_assert(FFU_STATUS < SIZE && MODE_CONFIG < SIZE && FW_CONFIG < SIZE && EXT_CSD_REV < SIZE &&
              FIRMWARE_VERSION + FIRMWARE_VERSION_LENGTH == DEVICE_VERSION &&
              DEVICE_VERSION + DEVICE_VERSION_LENGTH <= PRE_EOL_INFO &&
              NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED + NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED_LENGTH <=
                  SIZE &&
              FFU_ARG + FFU_ARG_LENGTH == OPERATION_CODE_TIMEOUT && SUPPORTED_MODES < SIZE);

} // namespace ExtCsd
