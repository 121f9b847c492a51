#include "device/storage_driver.h"

#include <winioctl.h>

namespace StorageDriver {

namespace {

// The EXT_CSD read control of the eMMC storage driver, which the SDK headers do not name.
constexpr DWORD IOCTL_EMMC_READ_EXT_CSD = CTL_CODE(FILE_DEVICE_DISK, 0x7A5, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_EMMC_READ_EXT_CSD == 0x00071E94);
static_assert(IOCTL_STORAGE_FIRMWARE_GET_INFO == 0x002D1C00);
static_assert(IOCTL_STORAGE_FIRMWARE_DOWNLOAD == 0x002DDC04);
static_assert(IOCTL_STORAGE_FIRMWARE_ACTIVATE == 0x002DDC08);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x002D1400);

BOOL Control(HANDLE drive, DWORD code, void* input, DWORD inputLength, void* output, DWORD outputLength) {
    // The byte count is required by the call without an OVERLAPPED structure; nothing relies on its value.
    DWORD returned = 0;
    return DeviceIoControl(drive, code, input, inputLength, output, outputLength, &returned, nullptr);
}

} // namespace

HANDLE OpenDrive(const wchar_t* drivePath) {
    // Not overlapped, so every control on the handle is synchronous.
    return CreateFileW(drivePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr);
}

void CloseDrive(HANDLE drive) {
    CloseHandle(drive);
}

BOOL ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength) {
    return Control(drive, IOCTL_EMMC_READ_EXT_CSD, nullptr, 0, extCsd, extCsdLength);
}

BOOL GetFirmwareInfo(HANDLE drive, void* query, DWORD queryLength, void* info, DWORD infoLength) {
    return Control(drive, IOCTL_STORAGE_FIRMWARE_GET_INFO, query, queryLength, info, infoLength);
}

BOOL DownloadFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength) {
    return Control(drive, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, request, requestLength, reply, replyLength);
}

BOOL ActivateFirmware(HANDLE drive, void* request, DWORD requestLength, void* reply, DWORD replyLength) {
    return Control(drive, IOCTL_STORAGE_FIRMWARE_ACTIVATE, request, requestLength, reply, replyLength);
}

BOOL QueryProperty(HANDLE drive, void* query, DWORD queryLength, void* descriptor, DWORD descriptorLength,
                   DWORD* returned) {
    *returned = 0;
    return DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, query, queryLength, descriptor,
                           descriptorLength, returned, nullptr);
}

} // namespace StorageDriver
