#pragma once

#include <windows.h>

// The boundary between the eMMC object and the storage driver stack under a physical drive. Every request
// the tool makes of a device passes through these functions, one at a time and synchronously. They answer
// as Windows does: a handle or a BOOL, with the reason for a failure in the thread's last error.
//
// quillon.exe links the implementation over CreateFileW and DeviceIoControl; quillon-sim.exe and the
// tests link a simulated eMMC device in its place.
namespace StorageDriver {

// INVALID_HANDLE_VALUE when the drive does not open.
HANDLE OpenDrive(const wchar_t* drivePath);
void CloseDrive(HANDLE drive);

// IOCTL_EMMC_READ_EXT_CSD: no input; the register bytes in register order.
BOOL ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength);
// IOCTL_STORAGE_FIRMWARE_GET_INFO: a STORAGE_HW_FIRMWARE_INFO_QUERY in, a STORAGE_HW_FIRMWARE_INFO out.
BOOL GetFirmwareInfo(HANDLE drive, void* query, DWORD queryLength, void* info, DWORD infoLength);
// IOCTL_STORAGE_FIRMWARE_DOWNLOAD: a STORAGE_HW_FIRMWARE_DOWNLOAD with its payload.
BOOL DownloadFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength);
// IOCTL_STORAGE_FIRMWARE_ACTIVATE: a STORAGE_HW_FIRMWARE_ACTIVATE.
BOOL ActivateFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength);
// IOCTL_STORAGE_QUERY_PROPERTY: a STORAGE_PROPERTY_QUERY in, the descriptor it asks for out. Unlike the
// others it gives the number of bytes returned: a descriptor is read only inside them.
BOOL QueryProperty(HANDLE drive, void* query, DWORD queryLength, void* descriptor, DWORD descriptorLength,
                   DWORD* returned);

} // namespace StorageDriver
