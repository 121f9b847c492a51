#pragma once

#include "device/device_inventory.h"
#include "win32/unique_handle.h"

#include <string>

// The simulated-device description that answers the read requests as this device did: the open, the whole
// EXT_CSD register, the firmware information with every slot and the identity that the storage property
// queries gave, or the errors they failed with.
std::string TwinDescription(const DeviceInventory& inventory);

// A description file created new. The probe runs elevated: an existing file, a link or anything else of
// that name is never followed, emptied or overwritten.
class TwinFile {
public:
    // Creates the file; IsOpen() tells whether it was created, Error() why not.
    explicit TwinFile(const std::wstring& path);
    bool IsOpen() const { return file.IsValid(); }
    DWORD Error() const { return error; }
    // Writes the whole text with CR LF line ends; on a failed write the file is removed again.
    bool Write(const std::string& text);
    // Removes the file it created, still empty, when the run ends without a description, whatever its name
    // has come to stand for since.
    void Discard();

private:
    Win32::UniqueHandle file;
    DWORD error = ERROR_SUCCESS;
};
