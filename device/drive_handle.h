#pragma once

#include "device/storage_driver.h"

// Owns a drive handle opened through the storage driver boundary and closes it there.
class DriveHandle {
public:
    explicit DriveHandle(HANDLE handle) : handle(handle) {}
    DriveHandle(const DriveHandle&) = delete;
    DriveHandle& operator=(const DriveHandle&) = delete;
    ~DriveHandle() {
        if (IsOpen()) {
            StorageDriver::CloseDrive(handle);
        }
    }

    HANDLE Get() const { return handle; }
    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};
