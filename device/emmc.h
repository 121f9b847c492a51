#pragma once

#include "device/drive_handle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The target device: an eMMC behind a physical drive, updated through the Field Firmware Update of
// JEDEC eMMC 5.0 as the Windows storage firmware controls expose it.
class eMMC {
public:
    // Opens the drive, a path of the form \\.\PhysicalDrive<N>. Throws Windows::Win32Error when it does not
    // open.
    explicit eMMC(const std::wstring& drivePath);
    eMMC(const eMMC&) = delete;
    eMMC& operator=(const eMMC&) = delete;

    // Reads EXT_CSD anew and answers whether the device accepts a firmware update. A refusal writes its
    // reason as one line; nothing is written for a yes.
    bool CanUpdateFirmware() const;

    // Downloads the image into the first writable firmware slot and activates it. Writes exactly one
    // closing message; true only when the slot was activated, now or at the next power cycle. Call it only
    // after CanUpdateFirmware answered true.
    bool UpdateFirmware(const std::vector<std::uint8_t>& image) const;

    // The two read requests exactly as the update makes them: the 512-byte EXT_CSD register, and the
    // firmware information of the device's own firmware into a reply of room for every slot. Each fills
    // the vector anew and gives the driver's last error when the request fails; they write nothing.
    std::optional<DWORD> ReadExtCsd(std::vector<std::uint8_t>& extCsd) const;
    std::optional<DWORD> ReadFirmwareInfo(std::vector<std::uint8_t>& reply) const;
    // The descriptor that the storage property query names (StorageProperty::StorageDeviceProperty or
    // StorageAdapterProperty): exactly the bytes the driver returned, the whole descriptor when its Size is
    // sane. Read-only, and quillon.exe's own run never asks it; it writes nothing.
    std::optional<DWORD> ReadProperty(std::uint32_t propertyId, std::vector<std::uint8_t>& descriptor) const;

private:
    // SEND_EXT_CSD: fills the 512-byte register image, or throws Windows::Win32Error.
    void CMD8(std::vector<std::uint8_t>& extCsd) const;
    bool DownloadAndActivate(const std::vector<std::uint8_t>& image, std::uint8_t slot,
                             std::uint32_t segmentSize) const;

    DriveHandle drive;
};
